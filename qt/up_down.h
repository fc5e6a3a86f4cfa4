#pragma once
// A horizontal up-down control, as the find panel's step control: two arrow buttons side by side
// that step a position within a range. The left arrow is "previous" (one down), the right one
// "next" (one up). A click at either end of the range leaves the position where it is and is
// still reported, so the owner decides what a step means (and may set the position afterwards).
// Main thread only.
#include <QToolButton>
#include <QWidget>
#include <cstdint>

namespace quarlex {

class UpDownControl : public QWidget {
  Q_OBJECT
 public:
  enum class Button { Next, Previous };

  explicit UpDownControl(QWidget* parent = nullptr);

  // The position is kept within the range; a maximum below the minimum is taken as the minimum.
  void SetRange(uint32_t minimum, uint32_t maximum);
  void SetPosition(uint32_t position);
  uint32_t Minimum() const { return minimum_; }
  uint32_t Maximum() const { return maximum_; }
  uint32_t Position() const { return position_; }

  QToolButton* PreviousButton() const { return previous_; }
  QToolButton* NextButton() const { return next_; }

 signals:
  // After the position has moved (or stayed at its end of the range).
  void clicked(quarlex::UpDownControl::Button button);

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void Step(Button button);

  QToolButton* previous_;
  QToolButton* next_;
  uint32_t minimum_ = 0;
  uint32_t maximum_ = 0;
  uint32_t position_ = 0;
};

}  // namespace quarlex
