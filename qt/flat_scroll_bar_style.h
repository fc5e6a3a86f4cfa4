#pragma once
// The grid's scroll bar drawn flat in solid colours, as the window's "Windows10" look has it.
// Fusion paints the groove and the handle with gradients, which Qt's raster engine fills in
// parallel through its thread pool once an area is taller than about a hundred pixel rows: two
// more thread wake-ups for every repaint of a bar that moves with every frame of a busy line.
// A solid fill is a plain memory fill on the painting thread. Sizes, hit testing and behaviour
// stay those of the base style.
#include <QProxyStyle>

namespace quarlex {

class FlatScrollBarStyle : public QProxyStyle {
 public:
  // Takes ownership of `base`, whose geometry it keeps.
  explicit FlatScrollBarStyle(QStyle* base) : QProxyStyle(base) {}

  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                          const QWidget* widget = nullptr) const override;
};

}  // namespace quarlex
