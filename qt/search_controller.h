#pragma once
// Connects the find panel (MenuFind: EditFind, LabelFind, the up-down control UpDownFind) to the
// search logic. The "Find" and "×" buttons and the keys F2, F3, Esc and Ctrl+F reach the logic
// through the wiring, as does the session's search pass.
// Main thread only.
#include <QObject>

#include "app/session.h"
#include "qt/window_widgets.h"
#include "tools/search.h"

class QLineEdit;

namespace quarlex {

// What other controllers ask of the find panel: the base switch empties its box and drops the
// hits, a file load closes it.
class FindPanel {
 public:
  virtual void ClearFindBox() = 0;
  virtual void CloseFindPanel() = 0;

 protected:
  ~FindPanel() = default;
};

class SearchController : public QObject, public FindPanel, private SearchUi {
  Q_OBJECT
 public:
  // `sendBox` takes the focus when the panel closes; `ui` redraws the grid.
  SearchController(Session& session, const FindWidgets& widgets, QLineEdit& sendBox, SessionUi& ui);

  // The grid reads CurrentMatchIndex() and the pattern length from here; the keys and buttons
  // run its Btn*/UpDown* entry points.
  SearchTool& tool() { return tool_; }

  // FindPanel
  void ClearFindBox() override;
  void CloseFindPanel() override;

 private:
  // SearchUi
  std::string FindText() override;
  void SetFindText(const std::string& utf8) override;
  void SetFindLabel(const std::string& text) override;
  void SetUpDown(uint32_t maximum, uint32_t position) override;
  void ShowFindPanel() override;
  void HideFindPanel() override;
  void OutExchange() override;

  const FindWidgets w_;
  QLineEdit& sendBox_;
  SessionUi& ui_;
  SearchTool tool_;
};

}  // namespace quarlex
