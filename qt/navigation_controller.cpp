#include "qt/navigation_controller.h"

#include <QActionGroup>
#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>
#include <QPixmap>
#include <QScrollBar>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionSlider>
#include <QWheelEvent>
#include <cmath>

#include "qt/click_label.h"
#include "qt/flat_scroll_bar_style.h"
#include "qt/image_control.h"
#include "view/exchange_grid.h"

namespace quarlex {

namespace {

QColor ToQColor(UiColour c) {
  return QColor(c.r, c.g, c.b);
}

// The right Ctrl key never opens the marker menu. Platforms name the two keys apart only in their
// native codes: the keysym Control_R (X11, Wayland); on Windows the key message gives VK_CONTROL
// for both, and only the scan code's extended bit (0x100 in Qt's scan code, 0xE0 1D on the wire)
// marks the right one; VK_RCONTROL comes from input that names the key itself. The codes do not
// collide across platforms. A key event that carries no native code (synthesised input) counts
// as the left key.
bool IsRightControl(const QKeyEvent* k) {
  const quint32 vk = k->nativeVirtualKey();
  if (vk == 0xFFE4 || vk == 0xA3) return true;
  return vk == 0x11 && k->nativeScanCode() == 0x11D;
}

ScrollKind KindOf(int action, bool* known) {
  *known = true;
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
      return ScrollKind::LineDown;
    case QAbstractSlider::SliderSingleStepSub:
      return ScrollKind::LineUp;
    case QAbstractSlider::SliderPageStepAdd:
      return ScrollKind::PageDown;
    case QAbstractSlider::SliderPageStepSub:
      return ScrollKind::PageUp;
    case QAbstractSlider::SliderMove:
      return ScrollKind::ThumbTrack;
    case QAbstractSlider::SliderToMinimum:
      return ScrollKind::Top;
    case QAbstractSlider::SliderToMaximum:
      return ScrollKind::Bottom;
    default:
      *known = false;
      return ScrollKind::EndScroll;
  }
}

std::string_view StyleNameOf(ToolbarLabel label) {
  switch (label) {
    case ToolbarLabel::ViewHex:
      return "BtnViewHex";
    case ToolbarLabel::ViewDec:
      return "BtnViewDec";
    case ToolbarLabel::ViewChar:
      return "BtnViewChar";
    case ToolbarLabel::ModeWin32:
      return "BtnModeWin32";
    case ToolbarLabel::ModeWin16:
      return "BtnModeWin16";
    case ToolbarLabel::AutoScroll:
      return "BtnAutoScroll";
  }
  return {};
}

}  // namespace

NavigationController::NavigationController(QWidget& window, Session& session, const ToolbarWidgets& toolbar,
                                           const ExchangeWidgets& exchange, SessionUi& ui,
                                           FindPanel& findPanel, Renderer& renderer, const ExchangeGrid* grid)
    : QObject(&window),
      window_(window),
      session_(session),
      tb_(toolbar),
      ex_(exchange),
      ui_(ui),
      findPanel_(findPanel),
      grid_(grid),
      nav_(session.Store, *this),
      miniMap_(session.Store, renderer, *this, *this),
      toolbar_(session.Store, *this) {
  BuildMarkerMenu();
  ConnectScrollBar();
  ConnectImages();
  ConnectToolbar();
  ApplyHoverStyles();
  ex_.ImageMiniMap->installEventFilter(this);
}

NavigationController::~NavigationController() {
  session_.Store.View.ScrollBarExch().OnMirror = nullptr;
}

// ---- marker menu ----

void NavigationController::BuildMarkerMenu() {
  markerGroup_ = new QActionGroup(this);
  markerGroup_->setExclusive(true);
  QAction** items[4] = {&color1, &color2, &color3, &color4};
  for (int n = 1; n <= 4; ++n) {
    QPixmap swatch(16, 16);
    swatch.fill(QColor(MarkerColors[n].r, MarkerColors[n].g, MarkerColors[n].b));
    QAction* a = ex_.PopupMenuImgExch->addAction(QIcon(swatch), QStringLiteral("Marker %1").arg(n));
    a->setObjectName(QStringLiteral("color%1").arg(n));
    a->setCheckable(true);
    markerGroup_->addAction(a);
    connect(a, &QAction::triggered, this, [this, n] {
      nav_.ColorClick(n);
      // The radio group has checked the chosen item already; the logic's choice is the one kept.
      ColorAction(nav_.CheckedMarker)->setChecked(true);
    });
    *items[n - 1] = a;
  }
  color1->setChecked(true);
}

// ---- scroll bar ----

void NavigationController::ConnectScrollBar() {
  QScrollBar* bar = ex_.ScrollBarExch;
  auto* flat = new FlatScrollBarStyle(QStyleFactory::create(bar->style()->name()));
  flat->setParent(bar);
  bar->setStyle(flat);
  ViewPosition& view = session_.Store.View;
  const ScrollBarModel& model = view.ScrollBarExch();
  view.ScrollBarExch().OnMirror = [this, bar, &model] {
    mirroring_ = true;
    bar->setRange(0, static_cast<int>(model.Max()));
    bar->setValue(static_cast<int>(model.Position()));
    mirroring_ = false;
  };
  model.OnMirror();
  connect(bar, &QAbstractSlider::actionTriggered, this, [this](int action) {
    bool known = false;
    const ScrollKind kind = KindOf(action, &known);
    if (known) nav_.ScrollBarExchScroll(kind);
  });
  // Letting the thumb go ends a drag with a "thumb position" notification, as a native bar does;
  // with tracking on, the position has already been taken.
  connect(bar, &QAbstractSlider::sliderReleased, this,
          [this] { nav_.ScrollBarExchScroll(ScrollKind::ThumbPosition); });
  connect(bar, &QAbstractSlider::valueChanged, this, [this, &view](int value) {
    if (!mirroring_) view.MoveBar(value);
  });

  // The bar's own context menu, with every entry sent as the scroll notification its kind has:
  // the toolkit's built-in menu moves the thumb for "Scroll here" without telling anyone.
  bar->setContextMenuPolicy(Qt::CustomContextMenu);
  barMenu_ = new QMenu(bar);
  QAction* here = barMenu_->addAction(QStringLiteral("Scroll here"));
  connect(here, &QAction::triggered, this, [this, bar] {
    nav_.ScrollBarExchScroll(ScrollKind::ThumbPosition);
    bar->setValue(ScrollBarValueAt(barMenuAt_));
  });
  const std::pair<const char*, QAbstractSlider::SliderAction> steps[] = {
      {nullptr, QAbstractSlider::SliderNoAction},
      {"Top", QAbstractSlider::SliderToMinimum},
      {"Bottom", QAbstractSlider::SliderToMaximum},
      {nullptr, QAbstractSlider::SliderNoAction},
      {"Page up", QAbstractSlider::SliderPageStepSub},
      {"Page down", QAbstractSlider::SliderPageStepAdd},
      {nullptr, QAbstractSlider::SliderNoAction},
      {"Scroll up", QAbstractSlider::SliderSingleStepSub},
      {"Scroll down", QAbstractSlider::SliderSingleStepAdd},
  };
  for (const auto& [text, action] : steps) {
    if (!text) {
      barMenu_->addSeparator();
      continue;
    }
    connect(barMenu_->addAction(QString::fromLatin1(text)), &QAction::triggered, bar,
            [bar, action = action] { bar->triggerAction(action); });
  }
  connect(bar, &QWidget::customContextMenuRequested, this, [this, bar](QPoint at) {
    barMenuAt_ = at;
    barMenu_->popup(bar->mapToGlobal(at));
  });
}

int NavigationController::ScrollBarValueAt(QPoint at) const {
  // Where the thumb's centre would be at `at`, in the style's own geometry of the bar.
  QScrollBar* bar = ex_.ScrollBarExch;
  QStyleOptionSlider opt;
  opt.initFrom(bar);
  opt.orientation = bar->orientation();
  opt.minimum = bar->minimum();
  opt.maximum = bar->maximum();
  opt.sliderPosition = bar->sliderPosition();
  opt.sliderValue = bar->value();
  opt.singleStep = bar->singleStep();
  opt.pageStep = bar->pageStep();
  opt.subControls = QStyle::SC_All;
  const QStyle* style = bar->style();
  const QRect groove = style->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarGroove, bar);
  const QRect thumb = style->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, bar);
  return QStyle::sliderValueFromPosition(opt.minimum, opt.maximum, at.y() - groove.top() - thumb.height() / 2,
                                         groove.height() - thumb.height());
}

// ---- ImageExch, ImageMiniMap ----

QPoint NavigationController::DevicePoint(const ImageControl* control, QPointF logical) const {
  const qreal dpr = control->devicePixelRatioF();
  return QPoint(static_cast<int>(std::floor(logical.x() * dpr)),
                static_cast<int>(std::floor(logical.y() * dpr)));
}

void NavigationController::RefreshMetrics() {
  // The grid measures from the width of ImageExch's frame; the same function gives the same cells.
  const QImage& frame = ex_.ImageExch->Frame();
  const int width =
      frame.isNull() ? qRound(ex_.ImageExch->width() * ex_.ImageExch->devicePixelRatioF()) : frame.width();
  nav_.Metrics = GridMetricsForWidth(static_cast<uint32_t>(width));
}

void NavigationController::ConnectImages() {
  ImageControl* grid = ex_.ImageExch;
  grid->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(grid, &ImageControl::mousePressed, this, [this, grid](QMouseEvent* e) {
    const QPoint p = DevicePoint(grid, e->position());
    pressModifiers_ = e->modifiers();
    nav_.ImageExchMouseDown(p.x(), p.y());
  });
  connect(grid, &ImageControl::mouseDoubleClicked, this, [this, grid](QMouseEvent* e) {
    // The second press of a double click arrives as the double click itself: it is a press too.
    const QPoint p = DevicePoint(grid, e->position());
    pressModifiers_ = e->modifiers();
    nav_.ImageExchMouseDown(p.x(), p.y());
    if (e->button() != Qt::LeftButton) return;
    RefreshMetrics();
    nav_.ImageExchDblClick();
  });
  connect(grid, &QWidget::customContextMenuRequested, this, [this] { ContextPopup(); });

  ImageControl* strip = ex_.ImageMiniMap;
  auto stripPress = [this, strip](QMouseEvent* e) {
    miniMap_.ImageMiniMapMouseDown(DevicePoint(strip, e->position()).y());
  };
  connect(strip, &ImageControl::mousePressed, this, stripPress);
  connect(strip, &ImageControl::mouseDoubleClicked, this, stripPress);  // its second press
}

void NavigationController::ContextPopup() {
  const QPoint cursor = QCursor::pos();
  // A Ctrl release may have happened while another window had the keyboard; the press that
  // started this click knows whether Ctrl is down now.
  if (!pressModifiers_.testFlag(Qt::ControlModifier)) nav_.LeftCtrl.Lost();
  RefreshMetrics();
  if (nav_.ImageExchContextPopup()) {
    QMenu* menu = ex_.PopupMenuImgExch;
    menu->popup(QPoint(cursor.x() - menu->sizeHint().width() / 2, cursor.y()));
  }
}

void NavigationController::OutMiniMap() {
  miniMap_.OutMiniMap(grid_ ? grid_->MarkerSeen : true);
}

int NavigationController::ControlWidth() const {
  return qRound(ex_.ImageMiniMap->width() * ex_.ImageMiniMap->devicePixelRatioF());
}
int NavigationController::ControlHeight() const {
  return qRound(ex_.ImageMiniMap->height() * ex_.ImageMiniMap->devicePixelRatioF());
}
void NavigationController::SizeBitmap() {
  ex_.ImageMiniMap->SizeBitmap();
}
ImageTarget NavigationController::Target() {
  QImage& f = ex_.ImageMiniMap->Frame();
  if (f.isNull()) return {};
  return {reinterpret_cast<uint32_t*>(f.bits()), f.width(), f.height(),
          static_cast<size_t>(f.bytesPerLine())};
}
void NavigationController::Repaint(int top, int bottom) {
  // Painted with the grid's frame in the same pass of the event loop, not on its own at once.
  ex_.ImageMiniMap->UpdateRows(top, bottom);
}

// ---- wheel and keys ----

bool NavigationController::Wheel(const QWheelEvent& e) {
  // One notch is 120; finer wheels and touch pads add up until a notch is reached.
  wheelRest_ += e.angleDelta().y();
  while (wheelRest_ >= 120) {
    wheelRest_ -= 120;
    nav_.FormMouseWheelUp();
  }
  while (wheelRest_ <= -120) {
    wheelRest_ += 120;
    nav_.FormMouseWheelDown();
  }
  return true;
}

void NavigationController::KeySeen(const QKeyEvent& k) {
  if (k.key() != Qt::Key_Control || IsRightControl(&k)) return;
  if (k.type() == QEvent::KeyPress) {
    nav_.LeftCtrl.Press(k.isAutoRepeat());
  } else if (!k.isAutoRepeat()) {
    nav_.LeftCtrl.Release();
  }
}

void NavigationController::KeyboardLost() {
  nav_.LeftCtrl.Lost();
}

bool NavigationController::eventFilter(QObject* watched, QEvent* event) {
  // A strip whose height changed gets a new frame at once (the window's paint rule for it).
  if (watched == ex_.ImageMiniMap && event->type() == QEvent::Resize &&
      ControlHeight() != miniMap_.LastMiniMapHeight)
    OutMiniMap();
  return QObject::eventFilter(watched, event);
}

// ---- toolbar ----

ClickLabel* NavigationController::LabelOf(ToolbarLabel label) const {
  switch (label) {
    case ToolbarLabel::ViewHex:
      return tb_.BtnViewHex;
    case ToolbarLabel::ViewDec:
      return tb_.BtnViewDec;
    case ToolbarLabel::ViewChar:
      return tb_.BtnViewChar;
    case ToolbarLabel::ModeWin32:
      return tb_.BtnModeWin32;
    case ToolbarLabel::ModeWin16:
      return tb_.BtnModeWin16;
    case ToolbarLabel::AutoScroll:
      return tb_.BtnAutoScroll;
  }
  return nullptr;
}

void NavigationController::ConnectToolbar() {
  connect(tb_.BtnViewHex, &ClickLabel::clicked, this, [this] { toolbar_.BtnViewHexClick(); });
  connect(tb_.BtnViewDec, &ClickLabel::clicked, this, [this] { toolbar_.BtnViewDecClick(); });
  connect(tb_.BtnViewChar, &ClickLabel::clicked, this, [this] { toolbar_.BtnViewCharClick(); });
  connect(tb_.BtnModeWin32, &ClickLabel::clicked, this, [this] { toolbar_.BtnModeWin32Click(); });
  connect(tb_.BtnModeWin16, &ClickLabel::clicked, this, [this] { toolbar_.BtnModeWin16Click(); });
  connect(tb_.BtnAutoScroll, &ClickLabel::clicked, this, [this] { toolbar_.BtnAutoScrollClick(); });
}

void NavigationController::ApplyViewDefaults() {
  toolbar_.StatusModeWin();
  toolbar_.StatusView();
  // Autoscroll has no status step of its own; its label shows the flag from the start.
  SetLabelColour(ToolbarLabel::AutoScroll,
                 toolbar_.IsActive(ToolbarLabel::AutoScroll) ? LabelActive : LabelInactive);
}

void NavigationController::OutExchange() {
  ui_.OutExchange();
}

QAction* NavigationController::ColorAction(int n) const {
  switch (n) {
    case 2:
      return color2;
    case 3:
      return color3;
    case 4:
      return color4;
    default:
      return color1;
  }
}

void NavigationController::SetLabelColour(ToolbarLabel label, UiColour colour) {
  ClickLabel* l = LabelOf(label);
  const HoverStyle* style = HoverStyleOf(StyleNameOf(label));
  const bool active = toolbar_.IsActive(label);
  if (!l || !style) return;
  ControlColours c = ColoursFor(*style, active);
  c.Rest = colour;
  if (!active) c.Over = colour;
  ClickLabel::Colours q = l->colours();
  q.text = ToQColor(c.Rest);
  q.hoverText = ToQColor(c.Over);
  q.pressText = c.Press ? ToQColor(*c.Press) : QColor();
  l->SetColours(q);
}

void NavigationController::ShowMemoText(bool shown) {
  ex_.MemoText->setVisible(shown);
}

void NavigationController::ClearFindBox() {
  findPanel_.ClearFindBox();
}

void NavigationController::ApplyHoverStyles() {
  for (ToolbarLabel label : {ToolbarLabel::AutoScroll, ToolbarLabel::ModeWin32, ToolbarLabel::ModeWin16,
                             ToolbarLabel::ViewHex, ToolbarLabel::ViewDec, ToolbarLabel::ViewChar})
    ApplyHoverStyle(*LabelOf(label), StyleNameOf(label), toolbar_.IsActive(label));
}

}  // namespace quarlex
