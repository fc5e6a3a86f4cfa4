#pragma once
// The minimap strip ImageMiniMap: the whole filled part of the capture mapped onto the strip's
// height, a line in a marker's colour on every pixel row whose share holds a marked byte, and a
// press that scrolls the grid to the first marked byte at or after the pressed point. Drawn
// through the shared off-screen renderer; main thread only.
#include <cstdint>

#include "app/capture_store.h"
#include "view/minimap_rows.h"
#include "view/navigation.h"
#include "view/renderer.h"

namespace quarlex {

// What the minimap needs of its image control (ImageMiniMap), in the control's pixels.
class MiniMapControl {
 public:
  virtual ~MiniMapControl() = default;
  virtual int ControlWidth() const = 0;
  virtual int ControlHeight() const = 0;
  // Sizes the control's bitmap to the control; the target then shows that bitmap.
  virtual void SizeBitmap() = 0;
  virtual ImageTarget Target() = 0;
  // Shows rows [top, bottom) of the freshly presented bitmap, the ones that changed.
  virtual void Repaint(int top, int bottom) = 0;
};

class MiniMap {
 public:
  MiniMap(CaptureStore& store, Renderer& renderer, MiniMapControl& control, ViewRedraw& redraw)
      : store_(store), renderer_(renderer), control_(control), redraw_(redraw) {}

  uint32_t MiniMapSpan = 0;
  uint16_t MiniMapWidth = 0, MiniMapHeight = 0;
  uint16_t LastMiniMapHeight = 0;

  // Draws the strip. markerSeen: the grid has drawn a marked cell at some time; until then the
  // rows are not recomputed. Large captures are throttled: a call that finds too little growth
  // since the last recomputation neither draws nor presents.
  void OutMiniMap(bool markerSeen);

  // A press at pixel row y of the strip: the grid scrolls to put the next marked byte on its
  // ninth row (TopRow unchanged when there is none) and is redrawn; the strip is not.
  void ImageMiniMapMouseDown(int y);

  // Pixel rows that can be mapped: the strip's height, at most the MiniMapRows entries.
  uint32_t MappedHeight() const { return MiniMapHeight < MiniMapRowCount ? MiniMapHeight : MiniMapRowCount; }

 private:
  CaptureStore& store_;
  Renderer& renderer_;
  MiniMapControl& control_;
  ViewRedraw& redraw_;
};

}  // namespace quarlex
