#include "qt/flat_scroll_bar_style.h"

#include <QPainter>
#include <QPolygon>
#include <QStyleOptionSlider>

namespace quarlex {

namespace {
const QColor Track(240, 240, 240);
const QColor Thumb(205, 205, 205);
const QColor ThumbHot(166, 166, 166);
const QColor Pressed(96, 96, 96);
const QColor ButtonHot(218, 218, 218);
const QColor Arrow(96, 96, 96);
const QColor ArrowDisabled(191, 191, 191);
const QColor ArrowPressed(255, 255, 255);

// A small filled triangle in the middle of `r`, pointing up, down, left or right.
void DrawArrow(QPainter* p, const QRect& r, Qt::ArrowType type, const QColor& colour) {
  const QPoint c = r.center();
  const int h = 3;
  QPolygon tri;
  switch (type) {
    case Qt::UpArrow:
      tri << QPoint(c.x() - h, c.y() + 1) << QPoint(c.x() + h, c.y() + 1) << QPoint(c.x(), c.y() - 2);
      break;
    case Qt::DownArrow:
      tri << QPoint(c.x() - h, c.y() - 1) << QPoint(c.x() + h, c.y() - 1) << QPoint(c.x(), c.y() + 2);
      break;
    case Qt::LeftArrow:
      tri << QPoint(c.x() + 1, c.y() - h) << QPoint(c.x() + 1, c.y() + h) << QPoint(c.x() - 2, c.y());
      break;
    default:
      tri << QPoint(c.x() - 1, c.y() - h) << QPoint(c.x() - 1, c.y() + h) << QPoint(c.x() + 2, c.y());
      break;
  }
  p->setPen(Qt::NoPen);
  p->setBrush(colour);
  p->drawPolygon(tri);
}
}  // namespace

void FlatScrollBarStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                            QPainter* painter, const QWidget* widget) const {
  const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
  if (control != CC_ScrollBar || !bar) {
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    return;
  }
  painter->save();
  painter->fillRect(bar->rect, Track);
  const bool vertical = bar->orientation == Qt::Vertical;
  const bool enabled = (bar->state & State_Enabled) && bar->maximum > bar->minimum;
  const bool sunken = (bar->state & State_Sunken) != 0;

  const QRect handle = subControlRect(control, bar, SC_ScrollBarSlider, widget);
  if (enabled && handle.isValid()) {
    QColor c = Thumb;
    if (bar->activeSubControls & SC_ScrollBarSlider) c = sunken ? Pressed : ThumbHot;
    painter->fillRect(vertical ? handle.adjusted(2, 0, -2, 0) : handle.adjusted(0, 2, 0, -2), c);
  }
  const struct {
    SubControl part;
    Qt::ArrowType arrow;
  } buttons[] = {{SC_ScrollBarSubLine, vertical ? Qt::UpArrow : Qt::LeftArrow},
                 {SC_ScrollBarAddLine, vertical ? Qt::DownArrow : Qt::RightArrow}};
  for (const auto& b : buttons) {
    const QRect r = subControlRect(control, bar, b.part, widget);
    if (!r.isValid()) continue;
    const bool hot = enabled && (bar->activeSubControls & b.part);
    if (hot) painter->fillRect(r, sunken ? Pressed : ButtonHot);
    DrawArrow(painter, r, b.arrow, !enabled ? ArrowDisabled : hot && sunken ? ArrowPressed : Arrow);
  }
  painter->restore();
}

}  // namespace quarlex
