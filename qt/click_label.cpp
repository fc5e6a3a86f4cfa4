#include "qt/click_label.h"

#include "view/toolbar.h"

namespace quarlex {

ClickLabel::ClickLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setAutoFillBackground(true);
  setAlignment(Qt::AlignCenter);
  setCursor(Qt::PointingHandCursor);
}

void ClickLabel::SetColours(const Colours& c) {
  colours_ = c;
  if (pressed_) {
    Apply(c.pressBackground, c.pressText);
  } else if (hovered_) {
    Apply(c.hoverBackground, c.hoverText);
  } else {
    Apply(c.background, c.text);
  }
}

void ClickLabel::Apply(const QColor& bg, const QColor& fg) {
  QPalette p = palette();
  if (bg.isValid()) p.setColor(QPalette::Window, bg);
  if (fg.isValid()) p.setColor(QPalette::WindowText, fg);
  setPalette(p);
}

void ClickLabel::enterEvent(QEnterEvent* e) {
  hovered_ = true;
  Apply(colours_.hoverBackground, colours_.hoverText);
  QLabel::enterEvent(e);
}

void ClickLabel::leaveEvent(QEvent* e) {
  hovered_ = false;
  pressed_ = false;
  leftDown_ = false;
  Apply(colours_.background, colours_.text);
  QLabel::leaveEvent(e);
}

void ClickLabel::mousePressEvent(QMouseEvent* e) {
  pressed_ = true;
  if (e->button() == Qt::LeftButton) leftDown_ = true;
  Apply(colours_.pressBackground, colours_.pressText);
  if (e->button() == Qt::RightButton) emit rightClicked(e->globalPosition().toPoint());
  QLabel::mousePressEvent(e);
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* e) {
  const bool inside = rect().contains(e->position().toPoint());
  const bool click = e->button() == Qt::LeftButton && leftDown_ && inside;
  if (e->button() == Qt::LeftButton) leftDown_ = false;
  if (pressed_) {
    pressed_ = false;
    if (inside) {
      Apply(colours_.hoverBackground, colours_.hoverText);
    } else {
      Apply(colours_.background, colours_.text);
    }
  }
  if (click) emit clicked();
  QLabel::mouseReleaseEvent(e);
}

void ApplyHoverStyle(ClickLabel& label, std::string_view control, bool active) {
  const HoverStyle* style = HoverStyleOf(control);
  if (!style) return;
  const ControlColours c = ColoursFor(*style, active);
  auto q = [](UiColour u) { return QColor(u.r, u.g, u.b); };
  ClickLabel::Colours colours = label.colours();
  const QColor press = c.Press ? q(*c.Press) : QColor();
  if (style->Target == HoverTarget::Text) {
    colours.text = q(c.Rest);
    colours.hoverText = q(c.Over);
    colours.pressText = press;
  } else {
    // BtnClear covers its panel PanelNpc10 whole, so its own background is the panel's colour.
    colours.background = q(c.Rest);
    colours.hoverBackground = q(c.Over);
    colours.pressBackground = press;
  }
  label.SetColours(colours);
}

}  // namespace quarlex
