#include "qt/image_control.h"

#include <QPainter>
#include <cmath>

namespace quarlex {

ImageControl::ImageControl(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void ImageControl::SizeBitmap() {
  const qreal dpr = devicePixelRatioF();
  frame_ = QImage(qRound(width() * dpr), qRound(height() * dpr), QImage::Format_RGB32);
  frame_.setDevicePixelRatio(dpr);
  frame_.fill(QColor(243, 243, 243));
}

void ImageControl::UpdateRows(int top, int bottom) {
  if (bottom <= top) return;
  const qreal dpr = frame_.isNull() ? devicePixelRatioF() : frame_.devicePixelRatio();
  const int y0 = static_cast<int>(std::floor(top / dpr));
  const int y1 = static_cast<int>(std::ceil(bottom / dpr));
  update(QRect(0, y0, width(), y1 - y0));
}

void ImageControl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (frame_.isNull()) {
    p.fillRect(rect(), QColor(243, 243, 243));
    return;
  }
  p.drawImage(QPoint(0, 0), frame_);
}

}  // namespace quarlex
