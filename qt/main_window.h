#pragma once
// The one window of the program. It lays out the controls, owns the session logic and maps
// toolkit events onto it; behaviour lives in the plain C++ session and tool objects, which the
// controllers made by the wiring connect to these widgets.
#include <QWidget>
#include <memory>
#include <vector>

#include "app/session.h"
#include "qt/window_widgets.h"

class QKeyEvent;
class QWheelEvent;

namespace quarlex {

// What the window hands on to the controllers: the session's drawing and tool passes, the keys
// the session's key map chose (the "Find", "×" and "Open" buttons share theirs), the keys and
// wheel the view follows, start-up and close. The wiring implements it by calling the controller
// that owns each, so every action has its target from the moment the window exists; tests that
// attach only some controllers implement it themselves.
class WindowActions {
 public:
  // SessionUi's passes that belong to the grid, the minimap, search and the capture files.
  virtual void OutExchange() = 0;
  virtual void OutMiniMap() = 0;
  virtual void Find() = 0;
  virtual bool SaveClick() = 0;  // the Save button and Ctrl+S; false on failure
  // Mapped keys and the buttons that do the same.
  virtual void Open() = 0;
  virtual void FindToggle() = 0;
  virtual void FindClose() = 0;
  virtual void FindPrevious() = 0;
  virtual void FindNext() = 0;
  virtual void HistoryUp() = 0;
  virtual void HistoryDown() = 0;
  // Every key press and release in the application, the loss of the keyboard to another
  // application, and a wheel turn over the window (true when it was taken).
  virtual void KeySeen(const QKeyEvent& key) = 0;
  virtual void KeyboardLost() = 0;
  virtual bool Wheel(const QWheelEvent& wheel) = 0;
  // Start-up applies the view defaults to the toolbar; close autosaves and lets the port go.
  virtual void ApplyViewDefaults() = 0;
  virtual void Closing() = 0;

 protected:
  ~WindowActions() = default;
};

class MainWindow : public QWidget, public SessionUi {
  Q_OBJECT
 public:
  static constexpr int ClientWidth = 1104;
  static constexpr int ClientHeight = 581;

  // `actions` carries out what the window's session, keys and buttons ask for; it outlives the
  // window.
  explicit MainWindow(WindowActions& actions);
  ~MainWindow() override;

  // Top-left corner that centres a window of `size` in `area` (a screen's work area); a window
  // larger than the area keeps its top-left corner inside it, so the caption stays reachable.
  static QPoint CentredOrigin(const QRect& area, const QSize& size);

  Session& session() { return *Sess; }

  const ToolbarWidgets& toolbar() const { return toolbar_; }
  const SaveMenu& saveMenu() const { return saveMenu_; }
  const ExchangeWidgets& exchange() const { return exchange_; }
  const FindWidgets& findPanel() const { return find_; }
  const SendWidgets& sendBar() const { return send_; }
  const StatusWidgets& statusBar() const { return status_; }
  const FrameWidgets& frame() const { return frame_; }

  // SessionUi: the tick and the store call these; the controllers' passes go to the actions.
  void OutExchange() override;
  void OutMiniMap() override;
  void SetSpeedText(const std::string& text) override;
  void ShowMessageText(const std::string& text, uint32_t rgb) override;
  void HideMessageText() override;
  void Find() override;
  bool AutosaveChecked() override;
  bool SaveClick() override;

  // Runs the keyboard map for one key press; true when an action ran. Exposed for tests.
  bool PreviewKey(int qtKey, Qt::KeyboardModifiers mods);

  // Runs the start-up sequence; called once the window exists.
  void FormCreate();
  void ClearUi();

 protected:
  // The application's one event filter: the window sees every key before the focused control
  // does, and the view follows the left Ctrl key and the wheel.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void BuildLayout();
  void BuildMenus();
  WindowActions& actions_;
  std::unique_ptr<Session> Sess;
  ToolbarWidgets toolbar_;
  SaveMenu saveMenu_;
  ExchangeWidgets exchange_;
  FindWidgets find_;
  SendWidgets send_;
  StatusWidgets status_;
  FrameWidgets frame_;
  std::vector<std::shared_ptr<void>> controllers_;  // keep-alive for attached controllers

 public:
  // Controllers attach here and are destroyed with the window.
  template <class T>
  T* Attach(std::shared_ptr<T> c) {
    controllers_.push_back(c);
    return c.get();
  }
};

}  // namespace quarlex
