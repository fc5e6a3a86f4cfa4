#pragma once
// The one window of the program. It lays out the controls, owns the session logic and maps
// toolkit events onto it; behaviour lives in the plain C++ session and tool objects, which the
// controllers attached in the constructor connect to these widgets.
#include <QAction>
#include <QActionGroup>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "app/session.h"
#include "qt/click_label.h"
#include "qt/image_control.h"
#include "qt/up_down.h"

namespace quarlex {

class MainWindow : public QWidget, public SessionUi {
  Q_OBJECT
 public:
  static constexpr int ClientWidth = 1104;
  static constexpr int ClientHeight = 581;

  MainWindow();
  ~MainWindow() override;

  // Top-left corner that centres a window of `size` in `area` (a screen's work area); a window
  // larger than the area keeps its top-left corner inside it, so the caption stays reachable.
  static QPoint CentredOrigin(const QRect& area, const QSize& size);

  Session& session() { return *Sess; }

  // SessionUi: the tick and the store call these; each forwards to the hook a controller set.
  void OutExchange() override;
  void OutMiniMap() override;
  void SetSpeedText(const std::string& text) override;
  void ShowMessageText(const std::string& text, uint32_t rgb) override;
  void HideMessageText() override;
  void Find() override;
  bool AutosaveChecked() override;
  bool SaveClick() override;

  // Hooks for the controllers of the view and the operator tools.
  std::function<void()> OutExchangeHook;
  std::function<void()> OutMiniMapHook;
  std::function<void()> FindHook;
  std::function<bool()> SaveHook;           // the Save button's action; false on failure
  std::function<void()> OpenHook;           // the Open button's action
  std::function<void()> CloseHook;          // shutdown: autosave, stop watcher, close the port
  std::function<void()> ViewDefaultsHook;   // start-up: apply row width and base to the toolbar
  std::function<void()> ClearUiHook;        // ClearUi: the About panel's blank page
  std::array<std::function<void()>, 9> KeyHooks;  // indexed by KeyAction

  // Runs the keyboard map for one key press; true when an action ran. Exposed for tests.
  bool PreviewKey(int qtKey, Qt::KeyboardModifiers mods);

  // Controls, named as the program's design names them.
  QWidget* PanelMain;
  QWidget* PanelAbout;
  QWidget* PanelNpc1;  // toolbar
  ClickLabel* BtnViewHex;
  ClickLabel* BtnViewDec;
  ClickLabel* BtnViewChar;
  ClickLabel* BtnModeWin32;
  ClickLabel* BtnModeWin16;
  ClickLabel* BtnOpen;
  ClickLabel* BtnSave;
  ClickLabel* BtnFind;
  ClickLabel* BtnAutoScroll;
  ClickLabel* BtnAbout;
  ImageControl* ImageExch;
  QPlainTextEdit* MemoText;
  ImageControl* ImageMiniMap;
  QScrollBar* ScrollBarExch;
  QWidget* MenuFind;
  QLineEdit* EditFind;
  QLabel* LabelFind;
  UpDownControl* UpDownFind;
  ClickLabel* BtnFindClose;
  QWidget* PanelNpc3;  // send bar
  ClickLabel* BtnModeSend;
  QLineEdit* EditSend;
  ClickLabel* PanelNpc6;  // line-ending label
  ClickLabel* BtnSend;
  QWidget* PanelNpc10;
  ClickLabel* BtnClear;
  QWidget* PanelNpc4;  // status bar
  ClickLabel* BtnCom;
  ClickLabel* BtnSetBr;
  ClickLabel* BtnSetCom;
  QLabel* PanelSpeed;
  ClickLabel* BtnConnect;
  QLabel* Msg;
  QTimer* TimerMain;

  QMenu* PopupMenuImgExch;
  QMenu* PopupMenuSetBr;
  QMenu* PopupMenuSetCom;
  QMenu* PopupMenuSave;
  QMenu* PopupMenuSend;
  QAction* save_Full;
  QAction* save_Interval;
  QAction* save_Auto;
  QAction* str_None;
  QAction* str_NL;
  QAction* str_CR;
  QAction* str_CRNL;

  // Runs the start-up sequence; called once the window exists.
  void FormCreate();
  void ClearUi();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void BuildLayout();
  void BuildMenus();
  std::unique_ptr<Session> Sess;
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
