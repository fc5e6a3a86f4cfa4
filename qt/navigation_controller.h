#pragma once
// Connects the main window's widgets to the view's navigation, minimap and toolbar logic:
//  - ScrollBarExch mirrors the store's ScrollBarModel (range and position), and the operator's
//    actions on it become scroll notifications;
//  - ScrollBarExch has its own context menu whose entries are scroll notifications too;
//  - a wheel step anywhere over the window scrolls two rows;
//  - presses, right clicks (context-menu requests) and double clicks on ImageExch become marker
//    and highlight commands; Ctrl + right click opens PopupMenuImgExch, which this controller
//    fills with the radio items color1..color4 and their colour swatches;
//  - the left Ctrl key's state is tracked from every key event the window's application filter
//    sees (KeySeen), and a wheel turn anywhere over the window arrives through it too;
//  - OutMiniMap draws ImageMiniMap through the shared renderer (also when the strip's height
//    changes), a press on it jumps to a marker;
//  - the toolbar labels "HEX" .. "Autoscroll" run the toolbar logic, and their hover and press
//    colours follow which of them is chosen.
// Positions are taken in the image controls' device pixels, as the frames are drawn.
// Main thread only.
#include <QAction>
#include <QObject>
#include <QPoint>
#include <functional>
#include <string_view>

#include "qt/search_controller.h"
#include "qt/window_widgets.h"
#include "view/minimap.h"
#include "view/navigation.h"
#include "view/renderer.h"
#include "view/toolbar.h"

class QActionGroup;
class QEvent;
class QKeyEvent;
class QMenu;
class QWheelEvent;

namespace quarlex {

class ExchangeGrid;

class NavigationController : public QObject, private ToolbarUi, private MiniMapControl {
  Q_OBJECT
 public:
  // Works the `toolbar` and `exchange` panels of `window` for `session`. `renderer` is the
  // process's one renderer, shared with the grid; every base switch empties `findPanel`'s box;
  // `ui` redraws the grid. `grid`, when given, tells whether it has ever drawn a marked cell
  // (its MarkerSeen): until then the minimap does not recompute its rows; without it, it does.
  NavigationController(QWidget& window, Session& session, const ToolbarWidgets& toolbar,
                       const ExchangeWidgets& exchange, SessionUi& ui, FindPanel& findPanel,
                       Renderer& renderer, const ExchangeGrid* grid = nullptr);
  ~NavigationController() override;

  // The minimap's drawing entry point (the session's OutMiniMap).
  void OutMiniMap() override;
  // Applies the view defaults to the toolbar at start-up: StatusModeWin, then StatusView.
  void ApplyViewDefaults();

  // From the window's application filter: every key press and release (the left Ctrl key opens
  // the marker menu), the keyboard lost to another application, a wheel turn over the window.
  void KeySeen(const QKeyEvent& key);
  void KeyboardLost();
  bool Wheel(const QWheelEvent& wheel);

  Navigation& navigation() { return nav_; }
  MiniMap& miniMap() { return miniMap_; }
  ViewToolbar& toolbar() { return toolbar_; }

  // The marker menu's radio items, "Marker 1" .. "Marker 4".
  QAction* color1;
  QAction* color2;
  QAction* color3;
  QAction* color4;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // ToolbarUi
  void OutExchange() override;
  void SetLabelColour(ToolbarLabel label, UiColour colour) override;
  void ShowMemoText(bool shown) override;
  void ClearFindBox() override;
  // MiniMapControl
  int ControlWidth() const override;
  int ControlHeight() const override;
  void SizeBitmap() override;
  ImageTarget Target() override;
  void Repaint(int top, int bottom) override;

  void BuildMarkerMenu();
  void ConnectScrollBar();
  void ConnectImages();
  void ConnectToolbar();
  void ApplyHoverStyles();
  ClickLabel* LabelOf(ToolbarLabel label) const;
  QAction* ColorAction(int n) const;
  QPoint DevicePoint(const ImageControl* control, QPointF logical) const;
  void RefreshMetrics();
  void ContextPopup();
  int ScrollBarValueAt(QPoint at) const;

  QWidget& window_;
  Session& session_;
  const ToolbarWidgets tb_;
  const ExchangeWidgets ex_;
  SessionUi& ui_;
  FindPanel& findPanel_;
  const ExchangeGrid* grid_;
  Navigation nav_;
  MiniMap miniMap_;
  ViewToolbar toolbar_;
  bool mirroring_ = false;  // copying the model into the widget: its echo is not an operator scroll
  int wheelRest_ = 0;       // wheel travel below one step, kept for the next event
  Qt::KeyboardModifiers pressModifiers_;  // of the last press on ImageExch
  QActionGroup* markerGroup_ = nullptr;
  QMenu* barMenu_ = nullptr;  // ScrollBarExch's context menu
  QPoint barMenuAt_;          // where it was asked for, in the bar's coordinates
};

}  // namespace quarlex
