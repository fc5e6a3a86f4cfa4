#pragma once
// A label that acts as a button, as the window's toolbar and status bar use them. Hover and press
// colours are set per label (SetColours); the label repaints itself on enter, leave, press and
// release, so controllers only decide the colours. Any mouse button shows the pressed colours;
// only the left one clicks, and the right one also asks for the label's menu (rightClicked).
#include <QLabel>
#include <QMouseEvent>
#include <string_view>

namespace quarlex {

class ClickLabel : public QLabel {
  Q_OBJECT
 public:
  struct Colours {
    QColor background, text;            // at rest
    QColor hoverBackground, hoverText;  // mouse over
    QColor pressBackground, pressText;  // button held
  };

  explicit ClickLabel(const QString& text, QWidget* parent = nullptr);

  void SetColours(const Colours& c);
  const Colours& colours() const { return colours_; }
  bool Hovered() const { return hovered_; }

 signals:
  void clicked();
  void rightClicked(QPoint globalPos);

 protected:
  void enterEvent(QEnterEvent* e) override;
  void leaveEvent(QEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  void Apply(const QColor& bg, const QColor& fg);
  Colours colours_;
  bool hovered_ = false;
  bool pressed_ = false;   // a button went down: the pressed colours show until a release
  bool leftDown_ = false;  // the left button is held: its release inside is a click
};

// Gives `label` the hover and press colours of the design's control named `control`; `active`
// is false for a toolbar label whose choice is not the present one. Unknown names change nothing.
void ApplyHoverStyle(ClickLabel& label, std::string_view control, bool active = true);

}  // namespace quarlex
