#pragma once
// Connects the find panel (MenuFind: EditFind, LabelFind, the up-down control UpDownFind,
// BtnFindClose), the "Find" button and the keys F2, F3, Esc and Ctrl+F to the search logic, and
// gives the session's tick and clear their search pass (the window's FindHook).
// Main thread only.
#include <QObject>

#include "tools/search.h"

namespace quarlex {

class MainWindow;

class SearchController : public QObject, private SearchUi {
  Q_OBJECT
 public:
  explicit SearchController(MainWindow& window);

  // The grid reads CurrentMatchIndex() and the pattern length from here; the base switch runs
  // ClearFind(); a file load and Esc run BtnFindCloseClick().
  SearchTool& tool() { return tool_; }

 private:
  // SearchUi
  std::string FindText() override;
  void SetFindText(const std::string& utf8) override;
  void SetFindLabel(const std::string& text) override;
  void SetUpDown(uint32_t maximum, uint32_t position) override;
  void ShowFindPanel() override;
  void HideFindPanel() override;
  void OutExchange() override;

  MainWindow& w_;
  SearchTool tool_;
};

}  // namespace quarlex
