#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>

#include "qt/main_window.h"
#include "qt/navigation_controller.h"
#include "qt/support/stand_in_actions.h"
#include "tests/app/support/store_fields.h"

namespace quarlex {
namespace {

struct NavControllerTest : ::testing::Test, testing_support::StandInActions, FindPanel {
  Renderer renderer{std::make_shared<GlyphFonts>()};  // outlives the window that draws with it
  MainWindow w{*this};
  NavigationController* c = nullptr;
  int exchangeFrames = 0;
  CaptureStore& s = w.session().Store;

  void OutExchange() override { ++exchangeFrames; }
  void OutMiniMap() override { c->OutMiniMap(); }
  void KeySeen(const QKeyEvent& k) override { c->KeySeen(k); }
  void KeyboardLost() override { c->KeyboardLost(); }
  bool Wheel(const QWheelEvent& e) override { return c->Wheel(e); }
  void ClearFindBox() override { w.findPanel().EditFind->clear(); }
  void CloseFindPanel() override {}

  void SetUp() override {
    c = w.Attach(std::make_shared<NavigationController>(w, w.session(), w.toolbar(), w.exchange(), w, *this,
                                                        renderer));
    w.FormCreate();
    c->ApplyViewDefaults();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QApplication::setActiveWindow(&w);
  }
  void TearDown() override { w.exchange().PopupMenuImgExch->hide(); }

  // Centre of byte cell (column, row) of ImageExch at design scale.
  static QPoint Cell(int column, int row) { return QPoint(93 + column * 30 + 15, row * 28 + 14); }

  // A right click as the platform delivers it: the press, then the context-menu request.
  void RightClick(QPoint at, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::mousePress(w.exchange().ImageExch, Qt::RightButton, mods, at);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, at, w.exchange().ImageExch->mapToGlobal(at), mods);
    QApplication::sendEvent(w.exchange().ImageExch, &menu);
    QTest::mouseRelease(w.exchange().ImageExch, Qt::RightButton, mods, at);
  }

  void Wheel(QWidget* target, int delta) {
    const QPointF at(10, 10);
    QWheelEvent e(at, target->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &e);
  }
  QColor TextOf(QWidget* label) { return label->palette().color(QPalette::WindowText); }
};

TEST_F(NavControllerTest, RightClickOnACellMarksItASecondRemovesIt) {
  const int before = exchangeFrames;
  RightClick(Cell(3, 2));
  EXPECT_EQ(s.CaptureAttributes[2 * 32 + 3], 1);
  EXPECT_EQ(exchangeFrames, before + 1);
  EXPECT_FALSE(w.exchange().PopupMenuImgExch->isVisible());
  RightClick(Cell(3, 2));
  EXPECT_EQ(s.CaptureAttributes[2 * 32 + 3], 0);
}

TEST_F(NavControllerTest, CtrlRightClickOpensTheMenuAndItsChoiceReplaces) {
  ASSERT_EQ(w.exchange().PopupMenuImgExch->actions().size(), 4);
  EXPECT_EQ(c->color1->text(), "Marker 1");
  EXPECT_TRUE(c->color1->isChecked());
  EXPECT_FALSE(c->color4->icon().isNull());
  s.CaptureAttributes[5] = 0x81;  // sent byte with marker 1

  QTest::keyPress(&w, Qt::Key_Control);
  RightClick(Cell(5, 0), Qt::ControlModifier);
  EXPECT_TRUE(w.exchange().PopupMenuImgExch->isVisible());
  EXPECT_EQ(s.CaptureAttributes[5], 0x81);
  c->color2->trigger();
  EXPECT_EQ(s.CaptureAttributes[5], 0x82);
  EXPECT_TRUE(c->color2->isChecked());
  EXPECT_FALSE(c->color1->isChecked());
  w.exchange().PopupMenuImgExch->hide();

  // Ctrl still held: not newly pressed, so a plain right click with the new colour.
  RightClick(Cell(6, 0), Qt::ControlModifier);
  EXPECT_FALSE(w.exchange().PopupMenuImgExch->isVisible());
  EXPECT_EQ(s.CaptureAttributes[6], 2);
  QTest::keyRelease(&w, Qt::Key_Control);
}

TEST_F(NavControllerTest, RightCtrlNeverOpensTheMenu) {
  // The X11 / Wayland keysym of the right Ctrl key; the left one is 0xFFE3.
  QKeyEvent right(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 105, 0xFFE4, 0);
  QApplication::sendEvent(&w, &right);
  RightClick(Cell(1, 1), Qt::ControlModifier);
  EXPECT_FALSE(w.exchange().PopupMenuImgExch->isVisible());
  EXPECT_EQ(s.CaptureAttributes[32 + 1], 1);
  QKeyEvent rightUp(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier, 105, 0xFFE4, 0);
  QApplication::sendEvent(&w, &rightUp);
  QKeyEvent left(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 37, 0xFFE3, 0);
  QApplication::sendEvent(&w, &left);
  RightClick(Cell(1, 1), Qt::ControlModifier);
  EXPECT_TRUE(w.exchange().PopupMenuImgExch->isVisible());
  EXPECT_EQ(s.CaptureAttributes[32 + 1], 1);
  QKeyEvent leftUp(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier, 37, 0xFFE3, 0);
  QApplication::sendEvent(&w, &leftUp);
  w.exchange().PopupMenuImgExch->hide();

  // Windows: both keys come as VK_CONTROL; the right one's scan code has the extended bit.
  for (const auto& [scan, opens] : {std::pair{0x11Du, false}, {0x1Du, true}}) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, scan, 0x11, 0);
    QApplication::sendEvent(&w, &press);
    RightClick(Cell(2, 1), Qt::ControlModifier);
    EXPECT_EQ(w.exchange().PopupMenuImgExch->isVisible(), opens) << std::hex << scan;
    w.exchange().PopupMenuImgExch->hide();
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier, scan, 0x11, 0);
    QApplication::sendEvent(&w, &release);
  }
}

TEST_F(NavControllerTest, DoubleClickTogglesTheHighlightOfTheValue) {
  s.CaptureBuffer[33] = 0x41;
  StoreFields(s).WriteIndex = 64;
  QTest::mouseDClick(w.exchange().ImageExch, Qt::LeftButton, Qt::NoModifier, Cell(1, 1));
  EXPECT_EQ(s.ValueHighlight[0x41], 1);
  QTest::mouseDClick(w.exchange().ImageExch, Qt::LeftButton, Qt::NoModifier, Cell(1, 1));
  EXPECT_EQ(s.ValueHighlight[0x41], 0);
  // A right double click is no highlight command.
  QTest::mouseDClick(w.exchange().ImageExch, Qt::RightButton, Qt::NoModifier, Cell(1, 1));
  EXPECT_EQ(s.ValueHighlight[0x41], 0);
}

TEST_F(NavControllerTest, WheelAtTheTopStaysAndWheelDownMovesTwoRows) {
  Wheel(w.exchange().ImageExch, 120);
  EXPECT_EQ(s.View.TopRow(), 0u);
  EXPECT_EQ(w.exchange().ScrollBarExch->value(), 0);
  StoreFields(s).WriteIndex = 3200;
  s.View.SetLastRow(100);
  EXPECT_EQ(w.exchange().ScrollBarExch->maximum(), 100);
  Wheel(w.exchange().MemoText, -120);  // anywhere over the main panel
  Wheel(w.exchange().ScrollBarExch, -60);
  Wheel(w.exchange().ScrollBarExch, -60);  // two half notches make one
  EXPECT_EQ(s.View.TopRow(), 4u);
  EXPECT_EQ(w.exchange().ScrollBarExch->value(), 4);
  // Not while the About panel covers the grid: there the wheel belongs to its page.
  w.frame().PanelAbout->show();
  w.frame().PanelAbout->raise();
  Wheel(w.frame().PanelAbout, -120);
  EXPECT_EQ(s.View.TopRow(), 4u);
  w.frame().PanelAbout->hide();
  Wheel(w.exchange().MemoText, -120);
  EXPECT_EQ(s.View.TopRow(), 6u);
}

TEST_F(NavControllerTest, OperatorScrollMovesTheGridProgramPositionsOnlyTheBar) {
  s.View.SetLastRow(100);
  const int before = exchangeFrames;
  w.exchange().ScrollBarExch->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 1u);
  EXPECT_EQ(s.View.TopRow(), 1u);
  EXPECT_EQ(exchangeFrames, before + 1);
  s.View.MoveBar(50);  // from code: mirrored, not drawn
  EXPECT_EQ(w.exchange().ScrollBarExch->value(), 50);
  EXPECT_EQ(s.View.TopRow(), 1u);
  EXPECT_EQ(exchangeFrames, before + 1);
  w.exchange().ScrollBarExch->triggerAction(QAbstractSlider::SliderToMaximum);  // the bar's own "bottom"
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 100u);
  EXPECT_EQ(s.View.TopRow(), 1u);

  // The bar's context menu: each entry is the scroll notification of its kind, so "Scroll here"
  // and the steps move the grid, while "Top" and "Bottom" move only the thumb.
  auto menuEntry = [&](const QString& entry) {
    const QPoint low(8, w.exchange().ScrollBarExch->height() - 20);
    QContextMenuEvent request(QContextMenuEvent::Mouse, low, w.exchange().ScrollBarExch->mapToGlobal(low));
    QApplication::sendEvent(w.exchange().ScrollBarExch, &request);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return QStringList();
    QStringList entries;
    for (QAction* a : menu->actions()) {
      if (a->isSeparator()) continue;
      entries << a->text();
      if (a->text() == entry) a->trigger();
    }
    menu->close();
    return entries;
  };
  s.View.MoveBar(0);
  EXPECT_EQ(menuEntry("Scroll here"), QStringList({"Scroll here", "Top", "Bottom", "Page up", "Page down",
                                                   "Scroll up", "Scroll down"}));
  EXPECT_GT(s.View.TopRow(), 90u) << "near the bottom of the bar";
  EXPECT_EQ(s.View.TopRow(), s.View.ScrollBarExch().Position());
  const uint32_t here = s.View.TopRow();
  menuEntry("Scroll up");
  EXPECT_EQ(s.View.TopRow(), here - 1);
  menuEntry("Page up");
  EXPECT_EQ(s.View.TopRow(), here - 2);
  menuEntry("Top");
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 0u);
  EXPECT_EQ(s.View.TopRow(), here - 2);
}

TEST_F(NavControllerTest, HoverColoursOfAnActiveAndAnInactiveLabel) {
  ASSERT_EQ(s.ViewBase, GridBase::Hex);
  QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
  QEvent leave(QEvent::Leave);
  // The virtual cursor may rest on a label when the window appears; start from "not hovered".
  QApplication::sendEvent(w.toolbar().BtnViewHex, &leave);
  QApplication::sendEvent(w.toolbar().BtnViewDec, &leave);
  EXPECT_EQ(TextOf(w.toolbar().BtnViewHex), QColor(85, 85, 85));
  EXPECT_EQ(TextOf(w.toolbar().BtnViewDec), QColor(190, 190, 190));
  QApplication::sendEvent(w.toolbar().BtnViewHex, &enter);
  EXPECT_EQ(TextOf(w.toolbar().BtnViewHex), QColor(15, 15, 15));
  QApplication::sendEvent(w.toolbar().BtnViewHex, &leave);
  EXPECT_EQ(TextOf(w.toolbar().BtnViewHex), QColor(85, 85, 85));
  QApplication::sendEvent(w.toolbar().BtnViewDec, &enter);
  EXPECT_EQ(TextOf(w.toolbar().BtnViewDec), QColor(190, 190, 190));
  QApplication::sendEvent(w.toolbar().BtnViewDec, &leave);
  // Choosing DEC makes it the active one.
  QTest::mouseClick(w.toolbar().BtnViewDec, Qt::LeftButton);
  EXPECT_EQ(s.ViewBase, GridBase::Dec);
  QApplication::sendEvent(w.toolbar().BtnViewDec, &leave);
  EXPECT_EQ(TextOf(w.toolbar().BtnViewDec), QColor(85, 85, 85));
  EXPECT_EQ(TextOf(w.toolbar().BtnViewHex), QColor(190, 190, 190));
  // A panel-like control changes its background, and a press shows the colour at rest.
  QApplication::sendEvent(w.sendBar().BtnSend, &enter);
  EXPECT_EQ(w.sendBar().BtnSend->palette().color(QPalette::Window), QColor(55, 71, 79));
  int clicks = 0;
  QObject::connect(w.sendBar().BtnSend, &ClickLabel::clicked, [&] { ++clicks; });
  // Any button shows the pressed colour; only the left one clicks.
  for (const Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
    QTest::mousePress(w.sendBar().BtnSend, b);
    EXPECT_EQ(w.sendBar().BtnSend->palette().color(QPalette::Window), QColor(74, 84, 89)) << b;
    QTest::mouseRelease(w.sendBar().BtnSend, b);
    EXPECT_EQ(w.sendBar().BtnSend->palette().color(QPalette::Window), QColor(55, 71, 79)) << b;
  }
  EXPECT_EQ(clicks, 1);
}

TEST_F(NavControllerTest, WidthLabelsSwitchAndShowTheTextColumn) {
  StoreFields(s).WriteIndex = 32000;
  s.View.SetLastRow(1000);
  s.View.ShowRow(10);
  QTest::mouseClick(w.toolbar().BtnModeWin16, Qt::LeftButton);
  EXPECT_EQ(s.BytesPerRow, 16);
  EXPECT_EQ(s.View.TopRow(), 20u);
  EXPECT_EQ(w.exchange().ScrollBarExch->value(), 20);
  EXPECT_EQ(w.exchange().ScrollBarExch->maximum(), 2000);
  EXPECT_TRUE(w.exchange().MemoText->isVisible());
  QTest::mouseClick(w.toolbar().BtnAutoScroll, Qt::LeftButton);  // on at start: now off
  EXPECT_EQ(s.AutoScroll, 0);
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(w.toolbar().BtnAutoScroll, &leave);
  EXPECT_EQ(TextOf(w.toolbar().BtnAutoScroll), QColor(190, 190, 190));
}

TEST_F(NavControllerTest, MiniMapPressJumpsToTheNextMarker) {
  StoreFields(s).WriteIndex = 461000;
  s.View.SetLastRow(461000 / 32);
  s.CaptureAttributes[200000] = 1;
  c->OutMiniMap();
  EXPECT_EQ(w.exchange().ImageMiniMap->Frame().pixelColor(0, 199), QColor(233, 30, 99));
  QTest::mouseClick(w.exchange().ImageMiniMap, Qt::LeftButton, Qt::NoModifier, QPoint(5, 1));
  EXPECT_EQ(s.View.TopRow(), 6242u);
  EXPECT_EQ(w.exchange().ScrollBarExch->value(), 6242);
  // The second press of a double click arrives as the double click: it is a press as well.
  s.View.ShowRow(0);
  QMouseEvent second(QEvent::MouseButtonDblClick, QPointF(5, 1),
                     w.exchange().ImageMiniMap->mapToGlobal(QPointF(5, 1)), Qt::LeftButton, Qt::LeftButton,
                     Qt::NoModifier);
  QApplication::sendEvent(w.exchange().ImageMiniMap, &second);
  EXPECT_EQ(s.View.TopRow(), 6242u);
}

}  // namespace
}  // namespace quarlex
