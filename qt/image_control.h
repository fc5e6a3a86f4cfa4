#pragma once
// An image control: shows a frame buffer that the renderer presents into. The buffer has the
// control's size in device pixels, so the grid renders sharp on high-density screens.
#include <QImage>
#include <QMouseEvent>
#include <QWidget>

namespace quarlex {

class ImageControl : public QWidget {
  Q_OBJECT
 public:
  explicit ImageControl(QWidget* parent = nullptr);

  // Re-allocates the frame to the control's current size x device pixel ratio.
  void SizeBitmap();
  QImage& Frame() { return frame_; }
  // Schedules a repaint of frame rows [top, bottom) (device pixels) and of nothing else, so a
  // frame that changed one row of cells costs the window system that strip only.
  void UpdateRows(int top, int bottom);

 signals:
  void mousePressed(QMouseEvent* e);
  void mouseDoubleClicked(QMouseEvent* e);

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent* e) override { emit mousePressed(e); }
  void mouseDoubleClickEvent(QMouseEvent* e) override { emit mouseDoubleClicked(e); }

 private:
  QImage frame_;
};

}  // namespace quarlex
