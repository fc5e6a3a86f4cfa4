#pragma once
// The main window's controls, one struct per panel, named as the program's design names them.
// The window makes them and owns them; a controller is given the panels it works with.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTimer>
#include <QWidget>

#include "qt/click_label.h"
#include "qt/image_control.h"
#include "qt/up_down.h"

namespace quarlex {

struct ToolbarWidgets {
  QWidget* PanelNpc1;
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
};
struct SaveMenu {  // BtnSave's context menu
  QMenu* PopupMenuSave;
  QAction* save_Full;
  QAction* save_Interval;
  QAction* save_Auto;
  QAction* save_Record;  // checkable, off at start
};
struct ExchangeWidgets {  // grid, text column, minimap, scroll bar, and the grid's marker menu
  ImageControl* ImageExch;
  QPlainTextEdit* MemoText;
  ImageControl* ImageMiniMap;
  QScrollBar* ScrollBarExch;
  QMenu* PopupMenuImgExch;
};
struct FindWidgets {
  QWidget* MenuFind;
  QLineEdit* EditFind;
  QLabel* LabelFind;
  UpDownControl* UpDownFind;
  ClickLabel* BtnFindClose;
};
struct SendWidgets {
  QWidget* PanelNpc3;
  ClickLabel* BtnModeSend;
  QLineEdit* EditSend;
  ClickLabel* PanelNpc6;  // line-ending label
  ClickLabel* BtnSend;
  QWidget* PanelNpc10;
  ClickLabel* BtnClear;
  QMenu* PopupMenuSend;  // line endings, then "Send file…"
  QAction* item_SendFile;
  ClickLabel* BtnSendCancel;  // beside the message panel while a file is being sent
  QAction* str_None;
  QAction* str_NL;
  QAction* str_CR;
  QAction* str_CRNL;
};
struct StatusWidgets {
  QWidget* PanelNpc4;
  ClickLabel* BtnCom;
  ClickLabel* BtnSetBr;
  ClickLabel* BtnSetCom;
  // The peer's modem lines, lit while on (property "lit"), all dim while disconnected ("live").
  QLabel* LampCts;
  QLabel* LampDsr;
  QLabel* LampDcd;
  QLabel* LampRi;
  QLabel* PanelSpeed;
  ClickLabel* BtnConnect;
  QMenu* PopupMenuSetBr;
  QMenu* PopupMenuSetCom;
};
struct FrameWidgets {  // what lies over the panels, and the tick's timer
  QWidget* PanelMain;
  QWidget* PanelAbout;
  QLabel* Msg;  // message panel
  QTimer* TimerMain;
};

}  // namespace quarlex
