#include "qt/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>
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
QLineEdit* Edit(QWidget* parent, const QFont& font, const QColor& back, const QColor& fg) {
  auto* e = new QLineEdit(parent);
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
    case Qt::Key_F2: return Key::F2;
    case Qt::Key_F3: return Key::F3;
    case Qt::Key_Escape: return Key::Escape;
    case Qt::Key_F: return Key::F;
    case Qt::Key_O: return Key::O;
    case Qt::Key_S: return Key::S;
    case Qt::Key_Up: return Key::Up;
    case Qt::Key_Down: return Key::Down;
    default: return Key::Other;
  }
}
}  // namespace

MainWindow::MainWindow() : Sess(std::make_unique<Session>(*this)) {
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

  TimerMain = new QTimer(this);
  TimerMain->setInterval(100);
  connect(TimerMain, &QTimer::timeout, this, [this] { Sess->TimerMainTimer(); });

  connect(BtnFindClose, &ClickLabel::clicked, this, [this] {
    if (KeyHooks[static_cast<int>(KeyAction::FindClose)]) KeyHooks[static_cast<int>(KeyAction::FindClose)]();
  });
  connect(BtnFind, &ClickLabel::clicked, this, [this] {
    if (KeyHooks[static_cast<int>(KeyAction::FindToggle)]) KeyHooks[static_cast<int>(KeyAction::FindToggle)]();
  });
  connect(BtnOpen, &ClickLabel::clicked, this, [this] {
    if (OpenHook) OpenHook();
  });
  connect(BtnSave, &ClickLabel::clicked, this, [this] { SaveClick(); });
  connect(BtnClear, &ClickLabel::clicked, this, [this] { Sess->ClearFull(); });

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
  PanelAbout = Panel(this, rect(), QColor(230, 230, 230));
  PanelMain = Panel(this, rect(), WindowBack);
  PanelMain->raise();

  // Toolbar.
  PanelNpc1 = Panel(PanelMain, QRect(0, 0, ClientWidth, 30), ToolbarBack);
  BtnViewHex = Label(PanelNpc1, "HEX", QRect(8, 0, 44, 30), ToolbarBack, LabelText);
  BtnViewDec = Label(PanelNpc1, "DEC", QRect(52, 0, 44, 30), ToolbarBack, LabelDim);
  BtnViewChar = Label(PanelNpc1, "CHAR", QRect(96, 0, 50, 30), ToolbarBack, LabelDim);
  Label(PanelNpc1, "|", QRect(146, 0, 14, 30), ToolbarBack, LabelDim)->setCursor(Qt::ArrowCursor);
  BtnModeWin32 = Label(PanelNpc1, "32", QRect(160, 0, 32, 30), ToolbarBack, LabelText);
  BtnModeWin16 = Label(PanelNpc1, "16", QRect(192, 0, 32, 30), ToolbarBack, LabelDim);
  Label(PanelNpc1, "|", QRect(224, 0, 14, 30), ToolbarBack, LabelDim)->setCursor(Qt::ArrowCursor);
  BtnOpen = Label(PanelNpc1, "Open", QRect(238, 0, 50, 30), ToolbarBack, LabelText);
  BtnSave = Label(PanelNpc1, "Save", QRect(288, 0, 50, 30), ToolbarBack, LabelText);
  BtnFind = Label(PanelNpc1, "Find", QRect(900, 0, 50, 30), ToolbarBack, LabelText);
  BtnAutoScroll = Label(PanelNpc1, "Autoscroll", QRect(950, 0, 100, 30), ToolbarBack, LabelText);
  BtnAbout = Label(PanelNpc1, " ? ", QRect(1056, 0, 40, 30), ToolbarBack, LabelText);

  // Grid, text column, minimap, scroll bar.
  ImageExch = new ImageControl(PanelMain);
  ImageExch->setGeometry(5, 38, 1055, 449);
  MemoText = new QPlainTextEdit(PanelMain);
  MemoText->setGeometry(595, 33, 465, 460);
  MemoText->setReadOnly(true);
  MemoText->setFrameShape(QFrame::NoFrame);
  // The text column has no context menu: its request is handled here and goes nowhere.
  MemoText->setContextMenuPolicy(Qt::PreventContextMenu);
  {
    QFont mono("Consolas");
    mono.setStyleHint(QFont::Monospace);
    mono.setPixelSize(24);
    MemoText->setFont(mono);
    QPalette p = MemoText->palette();
    p.setColor(QPalette::Base, WindowBack);
    p.setColor(QPalette::Text, QColor(95, 95, 95));
    MemoText->setPalette(p);
  }
  MemoText->hide();
  ImageMiniMap = new ImageControl(PanelMain);
  ImageMiniMap->setGeometry(1064, 35, 19, 461);
  ScrollBarExch = new QScrollBar(Qt::Vertical, PanelMain);
  ScrollBarExch->setGeometry(ClientWidth - 17, 31, 17, 469);
  ScrollBarExch->setRange(0, static_cast<int>(ScrollBarModel::DesignMax));
  ScrollBarExch->setSingleStep(1);
  ScrollBarExch->setPageStep(1);

  // Find panel: the box with its pads and the close button on top, the step control and the
  // hit counter below.
  MenuFind = Panel(PanelMain, QRect(762, 30, 225, 55), ToolbarBack);
  Panel(MenuFind, QRect(8, 6, 5, 24), BoxBack);
  EditFind = Edit(MenuFind, Font("Segoe UI", 15), BoxBack, QColor(0x37, 0x47, 0x4F));
  EditFind->setGeometry(13, 6, 160, 24);
  EditFind->setMaxLength(255);
  Panel(MenuFind, QRect(173, 6, 5, 24), BoxBack);
  BtnFindClose = Label(MenuFind, "\u00D7", QRect(192, 6, 26, 24), ToolbarBack, LabelText);
  BtnFindClose->setFont(Font("Arial", 16));
  UpDownFind = new UpDownControl(MenuFind);
  UpDownFind->setGeometry(8, 33, 36, 18);
  LabelFind = new QLabel("0 of 0", MenuFind);
  LabelFind->setGeometry(44, 33, 134, 18);
  LabelFind->setAlignment(Qt::AlignCenter);
  LabelFind->setFont(Font("Segoe UI", 13));
  {
    QPalette p = LabelFind->palette();
    p.setColor(QPalette::WindowText, LabelText);
    LabelFind->setPalette(p);
  }
  MenuFind->hide();

  // Send bar: left to right, controls 27 pixels high with 20 pixels free below them. The box
  // takes what the others leave; the line-ending label is as wide as its text.
  PanelNpc3 = Panel(PanelMain, QRect(0, ClientHeight - 30 - 50, ClientWidth, 50), WindowBack);
  const QColor buttonBack(74, 84, 89), buttonText(204, 204, 204);
  BtnModeSend = Label(PanelNpc3, "Hex", QRect(), buttonBack, buttonText);
  BtnModeSend->setFont(Font("Segoe UI", 15));
  BtnModeSend->setFixedWidth(79);
  QWidget* spacer = Panel(PanelNpc3, QRect(), BoxBack);  // joins the button to the box
  spacer->setFixedWidth(5);
  EditSend = Edit(PanelNpc3, Font("Segoe UI", 19), BoxBack, QColor(0x3E, 0x3E, 0x3E));
  EditSend->setMaxLength(4096);
  PanelNpc6 = Label(PanelNpc3, "  ", QRect(), BoxBack, LabelText);
  PanelNpc6->setFont(Font("Segoe UI", 11));
  PanelNpc6->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  BtnSend = Label(PanelNpc3, "Send", QRect(), buttonBack, buttonText);
  BtnSend->setFont(Font("Segoe UI", 15));
  BtnSend->setFixedWidth(100);
  PanelNpc10 = Panel(PanelNpc3, QRect(), buttonBack);
  PanelNpc10->setFixedWidth(59);
  BtnClear = Label(PanelNpc10, "\u2715", QRect(), buttonBack, QColor(254, 254, 254));
  BtnClear->setToolTip("Clear");
  auto* clearFill = new QVBoxLayout(PanelNpc10);
  clearFill->setContentsMargins(0, 0, 0, 0);
  clearFill->addWidget(BtnClear);
  auto* row = new QHBoxLayout(PanelNpc3);
  row->setContentsMargins(5, 3, 5, 20);
  row->setSpacing(0);
  for (QWidget* c : std::initializer_list<QWidget*>{BtnModeSend, spacer, EditSend, PanelNpc6, BtnSend}) {
    c->setFixedHeight(27);
    row->addWidget(c, c == EditSend ? 1 : 0);
  }
  row->addSpacing(5);
  PanelNpc10->setFixedHeight(27);
  row->addWidget(PanelNpc10);

  // Status bar.
  PanelNpc4 = Panel(PanelMain, QRect(0, ClientHeight - 30, ClientWidth, 30), StatusBack);
  BtnCom = Label(PanelNpc4, "Port ", QRect(0, 0, 100, 30), StatusBack, LabelText);
  BtnSetBr = Label(PanelNpc4, "Baud rate 115200", QRect(100, 0, 170, 30), StatusBack, LabelText);
  BtnSetCom = Label(PanelNpc4, ". . .", QRect(270, 0, 50, 30), StatusBack, LabelText);
  PanelSpeed = new QLabel("0 Bps", PanelNpc4);
  PanelSpeed->setGeometry(ClientWidth - 137 - 130, 0, 130, 30);
  PanelSpeed->setAlignment(Qt::AlignCenter);
  {
    QPalette p = PanelSpeed->palette();
    p.setColor(QPalette::WindowText, LabelText);
    PanelSpeed->setPalette(p);
  }
  BtnConnect = Label(PanelNpc4, "Connect", QRect(ClientWidth - 137, 0, 137, 30), StatusBack, LabelText);

  // Message panel over the lower right of the grid.
  Msg = new QLabel(PanelMain);
  Msg->setGeometry(679, 451, 370, 27);
  Msg->setAutoFillBackground(true);
  Msg->setAlignment(Qt::AlignCenter);
  {
    QFont mf("Segoe UI");
    mf.setPixelSize(15);
    Msg->setFont(mf);
    QPalette p = Msg->palette();
    p.setColor(QPalette::WindowText, QColor(254, 254, 254));
    Msg->setPalette(p);
  }
  Msg->hide();
}

void MainWindow::BuildMenus() {
  PopupMenuImgExch = new QMenu(this);
  PopupMenuSetBr = new QMenu(this);
  PopupMenuSetCom = new QMenu(this);
  PopupMenuSave = new QMenu(this);
  PopupMenuSend = new QMenu(this);

  auto* saveGroup = new QActionGroup(this);
  save_Interval = PopupMenuSave->addAction("Interval");
  save_Full = PopupMenuSave->addAction("Full");
  for (QAction* a : {save_Full, save_Interval}) {
    a->setCheckable(true);
    saveGroup->addAction(a);
  }
  PopupMenuSave->addSeparator();
  save_Auto = PopupMenuSave->addAction("Autosave");
  save_Auto->setCheckable(true);
  // Stored defaults; ClearUi replaces them at start.
  save_Full->setChecked(true);
  save_Auto->setChecked(true);

  auto* endGroup = new QActionGroup(this);
  str_None = PopupMenuSend->addAction("None");
  str_NL = PopupMenuSend->addAction("NL");
  str_CR = PopupMenuSend->addAction("CR");
  str_CRNL = PopupMenuSend->addAction("CR+NL");
  for (QAction* a : {str_None, str_NL, str_CR, str_CRNL}) {
    a->setCheckable(true);
    endGroup->addAction(a);
  }
  str_None->setChecked(true);

  connect(BtnSave, &ClickLabel::rightClicked, this, [this](QPoint p) { PopupMenuSave->popup(p); });
}

void MainWindow::FormCreate() {
  ImageExch->SizeBitmap();
  ImageMiniMap->SizeBitmap();
  Sess->PortConnected = false;
  Sess->SendMode = InputMode::Hex;
  CaptureStore& s = Sess->Store;
  s.ViewBase = GridBase::Hex;
  s.BytesPerRow = 32;
  s.AutoScroll = 1;
  s.SearchOpen = 0;
  if (ViewDefaultsHook) ViewDefaultsHook();
  Sess->MessageShown = 0;
  s.SavedUpTo = 0;
  s.CaptureFull = 0;
  ClearUi();
  OutExchange();
  OutMiniMap();
  TimerMain->start();
}

void MainWindow::ClearUi() {
  MenuFind->lower();
  MenuFind->hide();
  Msg->clear();
  Msg->hide();
  save_Interval->setChecked(true);
  save_Auto->setChecked(false);
  LabelFind->setText("0 of 0");
  if (ClearUiHook) ClearUiHook();
}

void MainWindow::OutExchange() {
  if (OutExchangeHook) OutExchangeHook();
}

void MainWindow::OutMiniMap() {
  if (OutMiniMapHook) OutMiniMapHook();
}

void MainWindow::SetSpeedText(const std::string& text) { PanelSpeed->setText(QString::fromStdString(text)); }

void MainWindow::ShowMessageText(const std::string& text, uint32_t rgb) {
  QPalette p = Msg->palette();
  p.setColor(QPalette::Window, QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
  Msg->setPalette(p);
  Msg->setText(QString::fromStdString(text));
  Msg->raise();
  Msg->show();
}

void MainWindow::HideMessageText() {
  Msg->clear();
  Msg->hide();
}

void MainWindow::Find() {
  if (FindHook) FindHook();
}

bool MainWindow::AutosaveChecked() { return save_Auto->isChecked(); }

bool MainWindow::SaveClick() { return SaveHook ? SaveHook() : false; }

bool MainWindow::PreviewKey(int qtKey, Qt::KeyboardModifiers mods) {
  KeyModifiers m;
  m.ctrl = mods.testFlag(Qt::ControlModifier);
  m.shift = mods.testFlag(Qt::ShiftModifier);
  m.alt = mods.testFlag(Qt::AltModifier);
  const bool sendFocused = EditSend->hasFocus();
  const KeyAction a = Sess->MapKey(KeyOf(qtKey), m, sendFocused);
  if (a == KeyAction::None) return false;
  if (a == KeyAction::Open) {
    if (OpenHook) OpenHook();
  } else if (a == KeyAction::Save) {
    SaveClick();
  } else if (auto& h = KeyHooks[static_cast<int>(a)]) {
    h();
  }
  return true;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
    // A key press travels from the focused control up through its parents when they ignore it;
    // the application filter sees every step. Only the first delivery counts, so a key is
    // mapped once however far it travels.
    auto* w = static_cast<QWidget*>(watched);
    QWidget* first = QApplication::focusWidget() ? QApplication::focusWidget() : this;
    if (w == first && w->window() == this) {
      auto* k = static_cast<QKeyEvent*>(event);
      PreviewKey(k->key(), k->modifiers());
    }
  }
  return QWidget::eventFilter(watched, event);  // the focused control still gets the key
}

void MainWindow::closeEvent(QCloseEvent* e) {
  if (CloseHook) {
    CloseHook();
  } else if (save_Auto->isChecked()) {
    SaveClick();
  }
  TimerMain->stop();
  e->accept();
}

}  // namespace quarlex
