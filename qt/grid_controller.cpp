#include "qt/grid_controller.h"

#include <QEvent>
#include <QPlainTextEdit>

#include "qt/image_control.h"

namespace quarlex {

GridController::GridController(Session& session, ImageControl& image, QPlainTextEdit& memo,
                               Renderer& renderer, const SearchTool& search)
    : session_(session), image_(image), memo_(memo), search_(search), grid_(renderer) {
  image_.installEventFilter(this);
}

void GridController::OutExchange() {
  QImage& frame = image_.Frame();
  if (frame.isNull() || frame.width() != qRound(image_.width() * image_.devicePixelRatioF())) {
    image_.SizeBitmap();
  }
  QImage& img = image_.Frame();
  ImageTarget t{reinterpret_cast<uint32_t*>(img.bits()), img.width(), img.height(),
                static_cast<size_t>(img.bytesPerLine())};
  const GridViewState view{search_.CurrentMatchIndex(),
                           search_.SearchHitCount() ? search_.SearchPatternLength() : 0u};
  const ChangedRows changed = grid_.OutExchange(session_.Store, view, t);
  image_.UpdateRows(changed.Top, changed.Bottom);
  // The text column is shown in 16-byte mode only; skip the widget update when nothing changed.
  if (memo_.isVisible() && grid_.MemoText() != lastMemo_) {
    lastMemo_ = grid_.MemoText();
    memo_.setPlainText(QString::fromStdString(grid_.MemoTextUtf8()));
  } else if (!memo_.isVisible()) {
    lastMemo_.clear();
  }
}

void GridController::FormPaint() {
  const int width = qRound(image_.width() * image_.devicePixelRatioF());
  if (grid_.WidthChanged(static_cast<uint32_t>(width))) OutExchange();
}

bool GridController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &image_ && (event->type() == QEvent::Resize || event->type() == QEvent::Show ||
                             event->type() == QEvent::ScreenChangeInternal)) {
    FormPaint();
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace quarlex
