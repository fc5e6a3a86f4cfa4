#include "qt/main_window.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>

namespace quarlex {

namespace {
const QColor WindowBack(243, 243, 243);
const QColor ToolbarBack(230, 230, 230);
const QColor StatusBack(221, 221, 221);
const QColor LabelText(85, 85, 85);
const QColor LabelDim(190, 190, 190);
const QColor BoxBack(204, 204, 204);  // send box, find box and what joins them

QWidget* Panel(QWidget* parent, const QRect& r, const QColor& back) {
  auto* w = new QWidget(parent);
  w->setGeometry(r);
  w->setAutoFillBackground(true);
  QPalette p = w->palette();
  p.setColor(QPalette::Window, back);
  w->setPalette(p);
  return w;
}

QFont Font(const char* family, int px) {
  QFont f(family);
  f.setPixelSize(px);
  return f;
}

// A borderless single-line edit in the given colours.
// The send box takes the focus without selecting its text: Tab (or a shortcut) into it leaves the
// text and the cursor as the operator left them, as a click does.
class SendBox : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;

 protected:
  void focusInEvent(QFocusEvent* e) override {
    const Qt::FocusReason r = e->reason();
    if (r == Qt::TabFocusReason || r == Qt::BacktabFocusReason || r == Qt::ShortcutFocusReason) {
      // Those are the reasons QLineEdit selects everything for.
      QFocusEvent plain(e->type(), Qt::OtherFocusReason);
      QLineEdit::focusInEvent(&plain);
      return;
    }
    QLineEdit::focusInEvent(e);
  }
};

QLineEdit* Edit(QLineEdit* e, const QFont& font, const QColor& back, const QColor& fg) {
  e->setFrame(false);
  e->setFont(font);
  QPalette p = e->palette();
  p.setColor(QPalette::Base, back);
  p.setColor(QPalette::Text, fg);
  e->setPalette(p);
  return e;
}

ClickLabel* Label(QWidget* parent, const QString& text, const QRect& r, const QColor& back,
                  const QColor& fg) {
  auto* l = new ClickLabel(text, parent);
  l->setGeometry(r);
  l->SetColours({back, fg, back, fg, back, fg});
  return l;
}

Key KeyOf(int qtKey) {
  switch (qtKey) {
    case Qt::Key_F2:
      return Key::F2;
    case Qt::Key_F3:
      return Key::F3;
    case Qt::Key_Escape:
      return Key::Escape;
    case Qt::Key_F:
      return Key::F;
    case Qt::Key_O:
      return Key::O;
    case Qt::Key_S:
      return Key::S;
    case Qt::Key_Up:
      return Key::Up;
    case Qt::Key_Down:
      return Key::Down;
    default:
      return Key::Other;
  }
}
}  // namespace

MainWindow::MainWindow(WindowActions& actions) : actions_(actions), Sess(std::make_unique<Session>(*this)) {
  setWindowTitle(" Quarlex");
  setFixedSize(ClientWidth, ClientHeight);
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QFont f("Segoe UI Semibold");
  f.setPixelSize(15);
  setFont(f);
  BuildLayout();
  BuildMenus();
  if (const QScreen* s = screen()) move(CentredOrigin(s->availableGeometry(), size()));

  frame_.TimerMain = new QTimer(this);
  frame_.TimerMain->setInterval(100);
  connect(frame_.TimerMain, &QTimer::timeout, this, [this] { Sess->TimerMainTimer(); });

  connect(find_.BtnFindClose, &ClickLabel::clicked, this, [this] { actions_.FindClose(); });
  connect(toolbar_.BtnFind, &ClickLabel::clicked, this, [this] { actions_.FindToggle(); });
  connect(toolbar_.BtnOpen, &ClickLabel::clicked, this, [this] { actions_.Open(); });
  connect(toolbar_.BtnSave, &ClickLabel::clicked, this, [this] { SaveClick(); });
  connect(send_.BtnClear, &ClickLabel::clicked, this, [this] { Sess->ClearFull(); });

  // Key preview: the window sees every key before the focused control does.
  qApp->installEventFilter(this);
}

MainWindow::~MainWindow() {
  qApp->removeEventFilter(this);
  // Controllers use the session and the widgets: they go first, the last attached (the port,
  // whose threads post into the others) before the rest.
  while (!controllers_.empty()) controllers_.pop_back();
}

QPoint MainWindow::CentredOrigin(const QRect& area, const QSize& size) {
  return QPoint(std::max(area.left(), area.left() + (area.width() - size.width()) / 2),
                std::max(area.top(), area.top() + (area.height() - size.height()) / 2));
}

void MainWindow::BuildLayout() {
  frame_.PanelAbout = Panel(this, rect(), QColor(230, 230, 230));
  // Hidden, not only behind the main panel, until it is opened: Tab must not reach its page.
  frame_.PanelAbout->hide();
  frame_.PanelMain = Panel(this, rect(), WindowBack);
  frame_.PanelMain->raise();

  // Toolbar.
  toolbar_.PanelNpc1 = Panel(frame_.PanelMain, QRect(0, 0, ClientWidth, 30), ToolbarBack);
  toolbar_.BtnViewHex = Label(toolbar_.PanelNpc1, "HEX", QRect(8, 0, 44, 30), ToolbarBack, LabelText);
  toolbar_.BtnViewDec = Label(toolbar_.PanelNpc1, "DEC", QRect(52, 0, 44, 30), ToolbarBack, LabelDim);
  toolbar_.BtnViewChar = Label(toolbar_.PanelNpc1, "CHAR", QRect(96, 0, 50, 30), ToolbarBack, LabelDim);
  Label(toolbar_.PanelNpc1, "|", QRect(146, 0, 14, 30), ToolbarBack, LabelDim)->setCursor(Qt::ArrowCursor);
  toolbar_.BtnModeWin32 = Label(toolbar_.PanelNpc1, "32", QRect(160, 0, 32, 30), ToolbarBack, LabelText);
  toolbar_.BtnModeWin16 = Label(toolbar_.PanelNpc1, "16", QRect(192, 0, 32, 30), ToolbarBack, LabelDim);
  Label(toolbar_.PanelNpc1, "|", QRect(224, 0, 14, 30), ToolbarBack, LabelDim)->setCursor(Qt::ArrowCursor);
  toolbar_.BtnOpen = Label(toolbar_.PanelNpc1, "Open", QRect(238, 0, 50, 30), ToolbarBack, LabelText);
  toolbar_.BtnSave = Label(toolbar_.PanelNpc1, "Save", QRect(288, 0, 50, 30), ToolbarBack, LabelText);
  toolbar_.BtnFind = Label(toolbar_.PanelNpc1, "Find", QRect(900, 0, 50, 30), ToolbarBack, LabelText);
  toolbar_.BtnAutoScroll =
      Label(toolbar_.PanelNpc1, "Autoscroll", QRect(950, 0, 100, 30), ToolbarBack, LabelText);
  toolbar_.BtnAbout = Label(toolbar_.PanelNpc1, " ? ", QRect(1056, 0, 40, 30), ToolbarBack, LabelText);

  // Grid, text column, minimap, scroll bar.
  exchange_.ImageExch = new ImageControl(frame_.PanelMain);
  exchange_.ImageExch->setGeometry(5, 38, 1055, 449);
  exchange_.MemoText = new QPlainTextEdit(frame_.PanelMain);
  exchange_.MemoText->setGeometry(595, 33, 465, 460);
  exchange_.MemoText->setReadOnly(true);
  exchange_.MemoText->setFrameShape(QFrame::NoFrame);
  // The text column has no context menu: its request is handled here and goes nowhere.
  exchange_.MemoText->setContextMenuPolicy(Qt::PreventContextMenu);
  {
    QFont mono("Consolas");
    mono.setStyleHint(QFont::Monospace);
    mono.setPixelSize(24);
    exchange_.MemoText->setFont(mono);
    QPalette p = exchange_.MemoText->palette();
    p.setColor(QPalette::Base, WindowBack);
    p.setColor(QPalette::Text, QColor(95, 95, 95));
    exchange_.MemoText->setPalette(p);
  }
  exchange_.MemoText->hide();
  exchange_.ImageMiniMap = new ImageControl(frame_.PanelMain);
  exchange_.ImageMiniMap->setGeometry(1064, 35, 19, 461);
  exchange_.ScrollBarExch = new QScrollBar(Qt::Vertical, frame_.PanelMain);
  exchange_.ScrollBarExch->setGeometry(ClientWidth - 17, 31, 17, 469);
  exchange_.ScrollBarExch->setRange(0, static_cast<int>(ScrollBarModel::DesignMax));
  exchange_.ScrollBarExch->setSingleStep(1);
  exchange_.ScrollBarExch->setPageStep(1);

  // Find panel: the box with its pads and the close button on top, the step control and the
  // hit counter below.
  find_.MenuFind = Panel(frame_.PanelMain, QRect(762, 30, 225, 55), ToolbarBack);
  Panel(find_.MenuFind, QRect(8, 6, 5, 24), BoxBack);
  find_.EditFind =
      Edit(new QLineEdit(find_.MenuFind), Font("Segoe UI", 15), BoxBack, QColor(0x37, 0x47, 0x4F));
  find_.EditFind->setGeometry(13, 6, 160, 24);
  find_.EditFind->setMaxLength(255);
  Panel(find_.MenuFind, QRect(173, 6, 5, 24), BoxBack);
  find_.BtnFindClose = Label(find_.MenuFind, "\u00D7", QRect(192, 6, 26, 24), ToolbarBack, LabelText);
  find_.BtnFindClose->setFont(Font("Arial", 16));
  find_.UpDownFind = new UpDownControl(find_.MenuFind);
  find_.UpDownFind->setGeometry(8, 33, 36, 18);
  find_.LabelFind = new QLabel("0 of 0", find_.MenuFind);
  find_.LabelFind->setGeometry(44, 33, 134, 18);
  find_.LabelFind->setAlignment(Qt::AlignCenter);
  find_.LabelFind->setFont(Font("Segoe UI", 13));
  {
    QPalette p = find_.LabelFind->palette();
    p.setColor(QPalette::WindowText, LabelText);
    find_.LabelFind->setPalette(p);
  }
  find_.MenuFind->hide();

  // Send bar: left to right, controls 27 pixels high with 20 pixels free below them. The box
  // takes what the others leave; the line-ending label is as wide as its text.
  send_.PanelNpc3 = Panel(frame_.PanelMain, QRect(0, ClientHeight - 30 - 50, ClientWidth, 50), WindowBack);
  const QColor buttonBack(74, 84, 89), buttonText(204, 204, 204);
  send_.BtnModeSend = Label(send_.PanelNpc3, "Hex", QRect(), buttonBack, buttonText);
  send_.BtnModeSend->setFont(Font("Segoe UI", 15));
  send_.BtnModeSend->setFixedWidth(79);
  QWidget* spacer = Panel(send_.PanelNpc3, QRect(), BoxBack);  // joins the button to the box
  spacer->setFixedWidth(5);
  send_.EditSend =
      Edit(new SendBox(send_.PanelNpc3), Font("Segoe UI", 19), BoxBack, QColor(0x3E, 0x3E, 0x3E));
  send_.EditSend->setMaxLength(4096);
  send_.PanelNpc6 = Label(send_.PanelNpc3, "  ", QRect(), BoxBack, LabelText);
  send_.PanelNpc6->setFont(Font("Segoe UI", 11));
  send_.PanelNpc6->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  send_.BtnSend = Label(send_.PanelNpc3, "Send", QRect(), buttonBack, buttonText);
  send_.BtnSend->setFont(Font("Segoe UI", 15));
  send_.BtnSend->setFixedWidth(100);
  send_.PanelNpc10 = Panel(send_.PanelNpc3, QRect(), buttonBack);
  send_.PanelNpc10->setFixedWidth(59);
  send_.BtnClear = Label(send_.PanelNpc10, "\u2715", QRect(), buttonBack, QColor(254, 254, 254));
  send_.BtnClear->setToolTip("Clear");
  auto* clearFill = new QVBoxLayout(send_.PanelNpc10);
  clearFill->setContentsMargins(0, 0, 0, 0);
  clearFill->addWidget(send_.BtnClear);
  auto* row = new QHBoxLayout(send_.PanelNpc3);
  row->setContentsMargins(5, 3, 5, 20);
  row->setSpacing(0);
  for (QWidget* c : std::initializer_list<QWidget*>{send_.BtnModeSend, spacer, send_.EditSend,
                                                    send_.PanelNpc6, send_.BtnSend}) {
    c->setFixedHeight(27);
    row->addWidget(c, c == send_.EditSend ? 1 : 0);
  }
  row->addSpacing(5);
  send_.PanelNpc10->setFixedHeight(27);
  row->addWidget(send_.PanelNpc10);

  // Status bar.
  status_.PanelNpc4 = Panel(frame_.PanelMain, QRect(0, ClientHeight - 30, ClientWidth, 30), StatusBack);
  status_.BtnCom = Label(status_.PanelNpc4, "Port ", QRect(0, 0, 100, 30), StatusBack, LabelText);
  status_.BtnSetBr =
      Label(status_.PanelNpc4, "Baud rate 115200", QRect(100, 0, 170, 30), StatusBack, LabelText);
  status_.BtnSetCom = Label(status_.PanelNpc4, ". . .", QRect(270, 0, 50, 30), StatusBack, LabelText);
  {
    const std::pair<QLabel**, const char*> lamps[] = {{&status_.LampCts, "CTS"},
                                                      {&status_.LampDsr, "DSR"},
                                                      {&status_.LampDcd, "DCD"},
                                                      {&status_.LampRi, "RI"}};
    int x = 330;
    for (const auto& [lamp, name] : lamps) {
      *lamp = new QLabel(name, status_.PanelNpc4);
      (*lamp)->setObjectName(QString("Lamp") + name);
      (*lamp)->setGeometry(x, 0, 54, 30);
      (*lamp)->setAlignment(Qt::AlignCenter);
      (*lamp)->setTextFormat(Qt::RichText);
      x += 56;
    }
  }
  status_.PanelSpeed = new QLabel("0 Bps", status_.PanelNpc4);
  status_.PanelSpeed->setGeometry(ClientWidth - 137 - 130, 0, 130, 30);
  status_.PanelSpeed->setAlignment(Qt::AlignCenter);
  {
    QPalette p = status_.PanelSpeed->palette();
    p.setColor(QPalette::WindowText, LabelText);
    status_.PanelSpeed->setPalette(p);
  }
  status_.BtnConnect =
      Label(status_.PanelNpc4, "Connect", QRect(ClientWidth - 137, 0, 137, 30), StatusBack, LabelText);

  // Message panel over the lower right of the grid.
  frame_.Msg = new QLabel(frame_.PanelMain);
  frame_.Msg->setGeometry(679, 451, 370, 27);
  frame_.Msg->setAutoFillBackground(true);
  frame_.Msg->setAlignment(Qt::AlignCenter);
  {
    QFont mf("Segoe UI");
    mf.setPixelSize(15);
    frame_.Msg->setFont(mf);
    QPalette p = frame_.Msg->palette();
    p.setColor(QPalette::WindowText, QColor(254, 254, 254));
    frame_.Msg->setPalette(p);
  }
  frame_.Msg->hide();
  send_.BtnSendCancel = Label(frame_.PanelMain, "Cancel", QRect(679 - 70, 451, 68, 27), QColor(85, 85, 85),
                              QColor(254, 254, 254));
  send_.BtnSendCancel->hide();

  // The buttons whose look does not follow the toolbar's state; the navigation styles the rest.
  const std::pair<const char*, ClickLabel*> styled[] = {
      {"BtnCom", status_.BtnCom},         {"BtnSetBr", status_.BtnSetBr},
      {"BtnSetCom", status_.BtnSetCom},   {"BtnConnect", status_.BtnConnect},
      {"BtnFind", toolbar_.BtnFind},      {"BtnAbout", toolbar_.BtnAbout},
      {"BtnOpen", toolbar_.BtnOpen},      {"BtnSave", toolbar_.BtnSave},
      {"BtnModeSend", send_.BtnModeSend}, {"BtnSend", send_.BtnSend},
      {"BtnClear", send_.BtnClear},       {"BtnFindClose", find_.BtnFindClose},
  };
  for (const auto& [name, label] : styled) ApplyHoverStyle(*label, name);
}

void MainWindow::BuildMenus() {
  exchange_.PopupMenuImgExch = new QMenu(this);
  status_.PopupMenuSetBr = new QMenu(this);
  status_.PopupMenuSetCom = new QMenu(this);
  saveMenu_.PopupMenuSave = new QMenu(this);
  send_.PopupMenuSend = new QMenu(this);

  auto* saveGroup = new QActionGroup(this);
  saveMenu_.save_Interval = saveMenu_.PopupMenuSave->addAction("Interval");
  saveMenu_.save_Full = saveMenu_.PopupMenuSave->addAction("Full");
  for (QAction* a : {saveMenu_.save_Full, saveMenu_.save_Interval}) {
    a->setCheckable(true);
    saveGroup->addAction(a);
  }
  saveMenu_.PopupMenuSave->addSeparator();
  saveMenu_.save_Auto = saveMenu_.PopupMenuSave->addAction("Autosave");
  saveMenu_.save_Auto->setCheckable(true);
  saveMenu_.save_Record = saveMenu_.PopupMenuSave->addAction("Record");
  saveMenu_.save_Record->setCheckable(true);
  // Stored defaults; ClearUi replaces them at start.
  saveMenu_.save_Full->setChecked(true);
  saveMenu_.save_Auto->setChecked(true);

  auto* endGroup = new QActionGroup(this);
  send_.str_None = send_.PopupMenuSend->addAction("None");
  send_.str_NL = send_.PopupMenuSend->addAction("NL");
  send_.str_CR = send_.PopupMenuSend->addAction("CR");
  send_.str_CRNL = send_.PopupMenuSend->addAction(QString::fromUtf8("CR и NL "));
  for (QAction* a : {send_.str_None, send_.str_NL, send_.str_CR, send_.str_CRNL}) {
    a->setCheckable(true);
    endGroup->addAction(a);
  }
  send_.str_None->setChecked(true);
  send_.PopupMenuSend->addSeparator();
  send_.item_SendFile = send_.PopupMenuSend->addAction("Send file\u2026");

  connect(toolbar_.BtnSave, &ClickLabel::rightClicked, this,
          [this](QPoint p) { saveMenu_.PopupMenuSave->popup(p); });
}

void MainWindow::FormCreate() {
  exchange_.ImageExch->SizeBitmap();
  exchange_.ImageMiniMap->SizeBitmap();
  Sess->PortConnected = false;
  Sess->SendMode = InputMode::Hex;
  CaptureStore& s = Sess->Store;
  s.ViewBase = GridBase::Hex;
  s.BytesPerRow = 32;
  s.AutoScroll = 1;
  s.SearchOpen = 0;
  actions_.ApplyViewDefaults();
  Sess->MessageShown = 0;
  ClearUi();
  OutExchange();
  OutMiniMap();
  frame_.TimerMain->start();
}

void MainWindow::ClearUi() {
  find_.MenuFind->lower();
  find_.MenuFind->hide();
  frame_.Msg->clear();
  frame_.Msg->hide();
  saveMenu_.save_Interval->setChecked(true);
  saveMenu_.save_Auto->setChecked(false);
  find_.LabelFind->setText("0 of 0");
}

void MainWindow::OutExchange() {
  actions_.OutExchange();
}

void MainWindow::OutMiniMap() {
  actions_.OutMiniMap();
}

void MainWindow::SetSpeedText(const std::string& text) {
  status_.PanelSpeed->setText(QString::fromStdString(text));
}

void MainWindow::ShowMessageText(const std::string& text, uint32_t rgb) {
  QPalette p = frame_.Msg->palette();
  p.setColor(QPalette::Window, QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
  frame_.Msg->setPalette(p);
  frame_.Msg->setText(QString::fromStdString(text));
  frame_.Msg->raise();
  frame_.Msg->show();
}

void MainWindow::HideMessageText() {
  frame_.Msg->clear();
  frame_.Msg->hide();
}

void MainWindow::Find() {
  actions_.Find();
}

bool MainWindow::AutosaveChecked() {
  return saveMenu_.save_Auto->isChecked();
}

bool MainWindow::SaveClick() {
  return actions_.SaveClick();
}

bool MainWindow::PreviewKey(int qtKey, Qt::KeyboardModifiers mods) {
  KeyModifiers m;
  m.ctrl = mods.testFlag(Qt::ControlModifier);
  m.shift = mods.testFlag(Qt::ShiftModifier);
  m.alt = mods.testFlag(Qt::AltModifier);
  const bool sendFocused = send_.EditSend->hasFocus();
  const KeyAction a = Sess->MapKey(KeyOf(qtKey), m, sendFocused);
  switch (a) {
    case KeyAction::None:
      return false;
    case KeyAction::FindPrevious:
      actions_.FindPrevious();
      break;
    case KeyAction::FindNext:
      actions_.FindNext();
      break;
    case KeyAction::FindClose:
      actions_.FindClose();
      break;
    case KeyAction::FindToggle:
      actions_.FindToggle();
      break;
    case KeyAction::Open:
      actions_.Open();
      break;
    case KeyAction::Save:
      actions_.SaveClick();
      break;
    case KeyAction::HistoryUp:
      actions_.HistoryUp();
      break;
    case KeyAction::HistoryDown:
      actions_.HistoryDown();
      break;
  }
  return true;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress: {
      auto* k = static_cast<QKeyEvent*>(event);
      actions_.KeySeen(*k);
      // A key press travels from the focused control up through its parents when they ignore
      // it; the application filter sees every step. Only the first delivery counts, so a key is
      // mapped once however far it travels.
      if (!watched->isWidgetType()) break;
      auto* w = static_cast<QWidget*>(watched);
      QWidget* first = QApplication::focusWidget() ? QApplication::focusWidget() : this;
      if (w == first && w->window() == this) PreviewKey(k->key(), k->modifiers());
      break;
    }
    case QEvent::KeyRelease:
      actions_.KeySeen(*static_cast<QKeyEvent*>(event));
      break;
    case QEvent::ApplicationDeactivate:
      actions_.KeyboardLost();
      break;
    case QEvent::Wheel:
      // Anywhere over the window the wheel scrolls the grid: also over the text column and the
      // bar, which would otherwise scroll by their own rules. The open About panel covers the
      // grid: there the wheel scrolls its page. Pop-up menus are windows of their own and keep
      // their wheel.
      if (frame_.PanelAbout->isVisible()) break;
      if (watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this)
        return actions_.Wheel(*static_cast<QWheelEvent*>(event));
      break;
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);  // the focused control still gets the key
}

void MainWindow::closeEvent(QCloseEvent* e) {
  actions_.Closing();
  frame_.TimerMain->stop();
  e->accept();
}

}  // namespace quarlex
