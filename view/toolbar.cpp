#include "view/toolbar.h"

namespace quarlex {

namespace {
constexpr UiColour SendPanelOver{55, 71, 79};
constexpr UiColour SendPanelRest{74, 84, 89};
constexpr UiColour AboutCloseOver{227, 65, 62};
constexpr UiColour AboutCloseRest{201, 79, 77};

constexpr HoverStyle TextLabel(std::string_view name, std::optional<ToolbarLabel> condition = std::nullopt) {
  return {name, HoverTarget::Text, condition, LabelHover, LabelActive, std::nullopt, std::nullopt};
}
}  // namespace

const std::array<HoverStyle, 20> HoverStyles = {{
    TextLabel("BtnCom"),
    TextLabel("BtnSetBr"),
    TextLabel("BtnSetCom"),
    TextLabel("BtnConnect"),
    TextLabel("BtnFind"),
    TextLabel("BtnAbout"),
    TextLabel("BtnOpen"),
    TextLabel("BtnSave"),
    TextLabel("BtnAutoScroll", ToolbarLabel::AutoScroll),
    TextLabel("BtnModeWin32", ToolbarLabel::ModeWin32),
    TextLabel("BtnModeWin16", ToolbarLabel::ModeWin16),
    TextLabel("BtnViewHex", ToolbarLabel::ViewHex),
    TextLabel("BtnViewDec", ToolbarLabel::ViewDec),
    TextLabel("BtnViewChar", ToolbarLabel::ViewChar),
    {"BtnModeSend", HoverTarget::Background, std::nullopt, SendPanelOver, SendPanelRest, SendPanelRest,
     SendPanelOver},
    {"BtnSend", HoverTarget::Background, std::nullopt, SendPanelOver, SendPanelRest, SendPanelRest,
     SendPanelOver},
    {"BtnClear", HoverTarget::PanelBackground, std::nullopt, SendPanelOver, SendPanelRest, SendPanelRest,
     SendPanelOver},
    {"BtnFindClose",
     HoverTarget::Background,
     std::nullopt,
     {140, 140, 140},
     {230, 230, 230},
     std::nullopt,
     std::nullopt},
    {"BtnAboutClose", HoverTarget::Background, std::nullopt, AboutCloseOver, AboutCloseRest, AboutCloseRest,
     AboutCloseOver},
    {"BtnGoMail",
     HoverTarget::Text,
     std::nullopt,
     {255, 255, 170},
     {204, 204, 204},
     std::nullopt,
     std::nullopt},
}};

const HoverStyle* HoverStyleOf(std::string_view control) {
  for (const HoverStyle& s : HoverStyles) {
    if (s.Control == control) return &s;
  }
  return nullptr;
}

ControlColours ColoursFor(const HoverStyle& style, bool active) {
  if (style.OnlyWhileActive && !active) return {LabelInactive, LabelInactive, std::nullopt};
  return {style.Leave, style.Over, style.Press};
}

bool ViewToolbar::IsActive(ToolbarLabel label) const {
  switch (label) {
    case ToolbarLabel::ViewHex:
      return store_.ViewBase == GridBase::Hex;
    case ToolbarLabel::ViewDec:
      return store_.ViewBase == GridBase::Dec;
    case ToolbarLabel::ViewChar:
      return store_.ViewBase == GridBase::Char;
    case ToolbarLabel::ModeWin32:
      return store_.BytesPerRow == 32;
    case ToolbarLabel::ModeWin16:
      return store_.BytesPerRow == 16;
    case ToolbarLabel::AutoScroll:
      return store_.AutoScroll != 0;
  }
  return false;
}

void ViewToolbar::SetBase(GridBase base) {
  store_.ViewBase = base;
  ui_.OutExchange();
  StatusView();
}

void ViewToolbar::StatusView() {
  for (ToolbarLabel l : {ToolbarLabel::ViewHex, ToolbarLabel::ViewDec, ToolbarLabel::ViewChar}) {
    ui_.SetLabelColour(l, IsActive(l) ? LabelActive : LabelInactive);
  }
  // A pattern typed in one base means something else in another: every base switch ends the search.
  ui_.ClearFindBox();
}

void ViewToolbar::SetWidth(uint8_t width) {
  FirstVisibleOffset = static_cast<uint32_t>(uint64_t{store_.BytesPerRow} * store_.View.TopRow());
  store_.BytesPerRow = width;
  StatusModeWin();
}

void ViewToolbar::StatusModeWin() {
  const bool narrow = store_.BytesPerRow == 16;
  ui_.SetLabelColour(ToolbarLabel::ModeWin32, narrow ? LabelInactive : LabelActive);
  ui_.SetLabelColour(ToolbarLabel::ModeWin16, narrow ? LabelActive : LabelInactive);
  ui_.ShowMemoText(narrow);
  store_.View.SetLastRow(store_.WriteIndex() / store_.BytesPerRow);
  store_.View.ShowRow(FirstVisibleOffset / store_.BytesPerRow);
  ui_.OutExchange();
  ui_.OutMiniMap();
}

void ViewToolbar::BtnAutoScrollClick() {
  store_.AutoScroll = store_.AutoScroll ? 0 : 1;
  ui_.SetLabelColour(ToolbarLabel::AutoScroll, store_.AutoScroll ? LabelActive : LabelInactive);
  if (!store_.AutoScroll) return;
  const uint32_t before = store_.View.TopRow();
  store_.View.FollowEnd(store_.WriteIndex(), store_.BytesPerRow);
  // The tick draws only after received bytes: on an idle line nothing else would bring the grid
  // to the rows the bar now shows.
  if (store_.View.TopRow() != before) ui_.OutExchange();
}

}  // namespace quarlex
