#include "qt/grid_controller.h"

#include <QEvent>

#include "qt/main_window.h"

namespace quarlex {

GridController::GridController(MainWindow& window, Renderer& renderer) : w_(window), grid_(renderer) {
  w_.OutExchangeHook = [this] { OutExchange(); };
  w_.ImageExch->installEventFilter(this);
}

void GridController::OutExchange() {
  QImage& frame = w_.ImageExch->Frame();
  if (frame.isNull() || frame.width() != qRound(w_.ImageExch->width() * w_.ImageExch->devicePixelRatioF())) {
    w_.ImageExch->SizeBitmap();
  }
  QImage& img = w_.ImageExch->Frame();
  ImageTarget t{reinterpret_cast<uint32_t*>(img.bits()), img.width(), img.height(),
                static_cast<size_t>(img.bytesPerLine())};
  const GridViewState view = ViewState ? ViewState() : GridViewState{};
  const ChangedRows changed = grid_.OutExchange(w_.session().Store, view, t);
  w_.ImageExch->UpdateRows(changed.Top, changed.Bottom);
  // The text column is shown in 16-byte mode only; skip the widget update when nothing changed.
  if (w_.MemoText->isVisible() && grid_.MemoText() != lastMemo_) {
    lastMemo_ = grid_.MemoText();
    w_.MemoText->setPlainText(QString::fromStdString(grid_.MemoTextUtf8()));
  } else if (!w_.MemoText->isVisible()) {
    lastMemo_.clear();
  }
}

void GridController::FormPaint() {
  const int width = qRound(w_.ImageExch->width() * w_.ImageExch->devicePixelRatioF());
  if (grid_.WidthChanged(static_cast<uint32_t>(width))) OutExchange();
}

bool GridController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == w_.ImageExch && (event->type() == QEvent::Resize || event->type() == QEvent::Show ||
                                  event->type() == QEvent::ScreenChangeInternal)) {
    FormPaint();
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace quarlex
