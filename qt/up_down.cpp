#include "qt/up_down.h"

#include <algorithm>

namespace quarlex {

UpDownControl::UpDownControl(QWidget* parent)
    : QWidget(parent), previous_(new QToolButton(this)), next_(new QToolButton(this)) {
  previous_->setArrowType(Qt::LeftArrow);
  next_->setArrowType(Qt::RightArrow);
  for (QToolButton* b : {previous_, next_}) {
    b->setAutoRaise(false);
    b->setFocusPolicy(Qt::NoFocus);  // stepping must not take the focus from the find box
  }
  connect(previous_, &QToolButton::clicked, this, [this] { Step(Button::Previous); });
  connect(next_, &QToolButton::clicked, this, [this] { Step(Button::Next); });
}

void UpDownControl::SetRange(uint32_t minimum, uint32_t maximum) {
  minimum_ = minimum;
  maximum_ = std::max(minimum, maximum);
  SetPosition(position_);
}

void UpDownControl::SetPosition(uint32_t position) {
  position_ = std::clamp(position, minimum_, maximum_);
}

void UpDownControl::Step(Button button) {
  if (button == Button::Next && position_ < maximum_) ++position_;
  if (button == Button::Previous && position_ > minimum_) --position_;
  emit clicked(button);
}

void UpDownControl::resizeEvent(QResizeEvent* e) {
  const int half = width() / 2;
  previous_->setGeometry(0, 0, half, height());
  next_->setGeometry(half, 0, width() - half, height());
  QWidget::resizeEvent(e);
}

}  // namespace quarlex
