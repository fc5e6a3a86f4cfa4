#include "view/toolbar.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/app/support/store_fields.h"

namespace quarlex {
namespace {

struct RecordingUi : ToolbarUi {
  std::vector<std::string> calls;
  std::map<ToolbarLabel, UiColour> colours;
  bool memoShown = false;
  void OutExchange() override { calls.push_back("OutExchange"); }
  void OutMiniMap() override { calls.push_back("OutMiniMap"); }
  void SetLabelColour(ToolbarLabel l, UiColour c) override { colours[l] = c; }
  void ShowMemoText(bool shown) override { memoShown = shown; }
  void ClearFindBox() override { calls.push_back("ClearFindBox"); }
};

struct ToolbarTest : ::testing::Test {
  CaptureStore s;
  RecordingUi ui;
  ViewToolbar bar{s, ui};
  void Capture(uint32_t bytes) {
    StoreFields(s).WriteIndex = bytes;
    s.View.SetLastRow(bytes / s.BytesPerRow);
  }
};

TEST_F(ToolbarTest, WidthSwitchKeepsTheFirstVisibleByte) {
  Capture(100000);
  s.View.ShowRow(10);
  bar.BtnModeWin16Click();
  EXPECT_EQ(s.BytesPerRow, 16);
  EXPECT_EQ(s.View.TopRow(), 20u);
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 20u);
  EXPECT_EQ(s.View.ScrollBarExch().Max(), 100000u / 16);
  EXPECT_TRUE(ui.memoShown);
  EXPECT_EQ(ui.colours[ToolbarLabel::ModeWin16], LabelActive);
  EXPECT_EQ(ui.colours[ToolbarLabel::ModeWin32], LabelInactive);
  EXPECT_EQ(ui.calls, (std::vector<std::string>{"OutExchange", "OutMiniMap"}));
  bar.BtnModeWin32Click();
  EXPECT_EQ(s.View.TopRow(), 10u);
  EXPECT_FALSE(ui.memoShown);
  EXPECT_EQ(s.View.ScrollBarExch().Max(), 100000u / 32);
  // An odd row in 16-byte mode rounds down in 32-byte mode.
  bar.BtnModeWin16Click();
  s.View.ShowRow(7);
  bar.BtnModeWin32Click();
  EXPECT_EQ(s.View.TopRow(), 3u);
  // Re-applying the chosen width changes nothing.
  bar.BtnModeWin32Click();
  EXPECT_EQ(s.View.TopRow(), 3u);
  EXPECT_EQ(s.BytesPerRow, 32);
}

TEST_F(ToolbarTest, WidthSwitchOnAnEmptyCapture) {
  bar.BtnModeWin16Click();
  EXPECT_EQ(s.View.ScrollBarExch().Max(), 0u);
  EXPECT_EQ(s.View.TopRow(), 0u);
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 0u);
}

TEST_F(ToolbarTest, AutoscrollOnJumpsBackToTheNewestRows) {
  s.AutoScroll = 0;
  Capture(320);
  s.View.ShowRow(3);
  bar.BtnAutoScrollClick();  // row 10 - 14 is negative: TopRow kept, bar set to it
  EXPECT_EQ(s.AutoScroll, 1);
  EXPECT_EQ(s.View.TopRow(), 3u);
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 3u);
  EXPECT_EQ(ui.colours[ToolbarLabel::AutoScroll], LabelActive);
  EXPECT_TRUE(ui.calls.empty()) << "the view did not move: nothing to draw";

  bar.BtnAutoScrollClick();
  EXPECT_EQ(s.AutoScroll, 0);
  EXPECT_EQ(ui.colours[ToolbarLabel::AutoScroll], LabelInactive);
  Capture(32000);
  bar.BtnAutoScrollClick();
  EXPECT_EQ(s.View.TopRow(), 986u);
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 986u);
  // The tick draws only after received bytes, so on an idle line the grid would stay on the old
  // rows under a thumb that moved: the toolbar draws the new rows itself.
  EXPECT_EQ(ui.calls, (std::vector<std::string>{"OutExchange"}));
}

TEST_F(ToolbarTest, BaseSwitchRedrawsThenEndsTheSearch) {
  bar.BtnViewDecClick();
  EXPECT_EQ(s.ViewBase, GridBase::Dec);
  EXPECT_EQ(ui.calls, (std::vector<std::string>{"OutExchange", "ClearFindBox"}));
  EXPECT_EQ(ui.colours[ToolbarLabel::ViewDec], LabelActive);
  EXPECT_EQ(ui.colours[ToolbarLabel::ViewHex], LabelInactive);
  EXPECT_EQ(ui.colours[ToolbarLabel::ViewChar], LabelInactive);
  bar.BtnViewCharClick();
  EXPECT_EQ(s.ViewBase, GridBase::Char);
  EXPECT_EQ(ui.colours[ToolbarLabel::ViewChar], LabelActive);
  EXPECT_EQ(ui.colours[ToolbarLabel::ViewDec], LabelInactive);
  EXPECT_TRUE(bar.IsActive(ToolbarLabel::ViewChar));
  EXPECT_FALSE(bar.IsActive(ToolbarLabel::ViewHex));
}

TEST(HoverStyles, ConditionalLabelsStayLightWhileInactive) {
  const HoverStyle* dec = HoverStyleOf("BtnViewDec");
  ASSERT_NE(dec, nullptr);
  const ControlColours inactive = ColoursFor(*dec, false);
  EXPECT_EQ(inactive.Rest, LabelInactive);
  EXPECT_EQ(inactive.Over, LabelInactive);
  const ControlColours active = ColoursFor(*dec, true);
  EXPECT_EQ(active.Rest, (UiColour{85, 85, 85}));
  EXPECT_EQ(active.Over, (UiColour{15, 15, 15}));
  EXPECT_FALSE(active.Press);
}

TEST(HoverStyles, EveryButtonLikeControlHasItsColours) {
  struct Expect {
    const char* name;
    HoverTarget target;
    UiColour over, leave;
    bool pressChanges;
  } table[] = {
      {"BtnConnect", HoverTarget::Text, {15, 15, 15}, {85, 85, 85}, false},
      {"BtnSave", HoverTarget::Text, {15, 15, 15}, {85, 85, 85}, false},
      {"BtnSend", HoverTarget::Background, {55, 71, 79}, {74, 84, 89}, true},
      {"BtnClear", HoverTarget::PanelBackground, {55, 71, 79}, {74, 84, 89}, true},
      {"BtnFindClose", HoverTarget::Background, {140, 140, 140}, {230, 230, 230}, false},
      {"BtnAboutClose", HoverTarget::Background, {227, 65, 62}, {201, 79, 77}, true},
      {"BtnGoMail", HoverTarget::Text, {255, 255, 170}, {204, 204, 204}, false},
  };
  for (const Expect& e : table) {
    const HoverStyle* s = HoverStyleOf(e.name);
    ASSERT_NE(s, nullptr) << e.name;
    EXPECT_EQ(s->Target, e.target) << e.name;
    EXPECT_EQ(s->Over, e.over) << e.name;
    EXPECT_EQ(s->Leave, e.leave) << e.name;
    EXPECT_EQ(s->Press.has_value(), e.pressChanges) << e.name;
    EXPECT_FALSE(s->OnlyWhileActive) << e.name;
    if (e.pressChanges) {
      // A press shows the colour at rest until the release brings the hover colour back.
      EXPECT_EQ(*s->Press, e.leave) << e.name;
      EXPECT_EQ(*s->Release, e.over) << e.name;
    }
  }
  EXPECT_EQ(HoverStyleOf("BtnModeWin16")->OnlyWhileActive, ToolbarLabel::ModeWin16);
  EXPECT_EQ(HoverStyleOf("BtnAutoScroll")->OnlyWhileActive, ToolbarLabel::AutoScroll);
  EXPECT_EQ(HoverStyleOf("PanelSpeed"), nullptr);
}

}  // namespace
}  // namespace quarlex
