#pragma once
// The view toolbar: the base labels "HEX" / "DEC" / "CHAR", the width labels "32" / "16" and
// "Autoscroll", whose text colour shows which is chosen; and the hover / press colours of every
// button-like control of the window, as a table the Qt layer applies. Plain logic; main thread.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "app/capture_store.h"
#include "view/navigation.h"

namespace quarlex {

struct UiColour {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const UiColour&, const UiColour&) = default;
};

constexpr UiColour LabelActive{85, 85, 85};  // chosen, and any label at rest
constexpr UiColour LabelInactive{190, 190, 190};
constexpr UiColour LabelHover{15, 15, 15};  // active label under the mouse

enum class ToolbarLabel { ViewHex, ViewDec, ViewChar, ModeWin32, ModeWin16, AutoScroll };

// What the toolbar asks of the window.
class ToolbarUi : public ViewRedraw {
 public:
  virtual void SetLabelColour(ToolbarLabel label, UiColour colour) = 0;
  virtual void ShowMemoText(bool shown) = 0;
  // Empties the find box (running its change handling when it held text) and runs ClearFind.
  virtual void ClearFindBox() = 0;
};

class ViewToolbar {
 public:
  ViewToolbar(CaptureStore& store, ToolbarUi& ui) : store_(store), ui_(ui) {}

  // Capture index of the first visible byte, taken just before a width switch.
  uint32_t FirstVisibleOffset = 0;

  void BtnViewHexClick() { SetBase(GridBase::Hex); }
  void BtnViewDecClick() { SetBase(GridBase::Dec); }
  void BtnViewCharClick() { SetBase(GridBase::Char); }
  // Colours the base labels by ViewBase and ends the current search.
  void StatusView();

  void BtnModeWin16Click() { SetWidth(16); }
  void BtnModeWin32Click() { SetWidth(32); }
  // Applies BytesPerRow: width labels, text column, bar range, TopRow from FirstVisibleOffset,
  // then redraws the grid and the minimap. Re-applying the chosen width changes nothing.
  void StatusModeWin();

  // Toggles AutoScroll; switching it on jumps to 14 rows above the write row (when there are
  // that many), moves the bar there and, when that moved the view, redraws the grid.
  void BtnAutoScrollClick();

  // Whether a label shows its "chosen" state now.
  bool IsActive(ToolbarLabel label) const;

 private:
  void SetBase(GridBase base);
  void SetWidth(uint8_t width);
  CaptureStore& store_;
  ToolbarUi& ui_;
};

// Hover styling of one button-like control: which colour its handlers set on mouse over, leave,
// button press and release. No value means "no change". A control with a condition reacts to the
// mouse only while that toolbar label is active.
enum class HoverTarget { Text, Background, PanelBackground };
struct HoverStyle {
  std::string_view Control;
  HoverTarget Target;
  std::optional<ToolbarLabel> OnlyWhileActive;
  UiColour Over, Leave;
  std::optional<UiColour> Press, Release;
};

extern const std::array<HoverStyle, 20> HoverStyles;
const HoverStyle* HoverStyleOf(std::string_view control);

// The colours a control shows at rest, under the mouse and with the button held, given whether
// its condition holds. An inactive conditional label stays light in every state.
struct ControlColours {
  UiColour Rest, Over;
  std::optional<UiColour> Press;
};
ControlColours ColoursFor(const HoverStyle& style, bool active);

}  // namespace quarlex
