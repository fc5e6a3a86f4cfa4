#include "qt/times_controller.h"

#include <QAction>
#include <QFileDialog>
#include <QHelpEvent>
#include <QMenu>
#include <QToolTip>
#include <cmath>
#include <optional>

#include "app/tap_capture.h"
#include "qt/image_control.h"
#include "tools/capture_file_system.h"
#include "tools/capture_times.h"
#include "view/grid_layout.h"

namespace quarlex {

TimesController::TimesController(Session& session, ImageControl& grid, QMenu& saveMenu, FilesUi& files,
                                 QWidget& dialogParent)
    : session_(session), grid_(grid), files_(files), dialogParent_(dialogParent) {
  saveMenu.addSeparator();
  exportItem_ = saveMenu.addAction(QStringLiteral("Export text\u2026"));
  connect(exportItem_, &QAction::triggered, this, [this] {
    if (exporter_.Running()) {
      exporter_.Cancel();
    } else {
      ExportClick();
    }
  });
  exporter_.Ended = [this](bool) { exportItem_->setText(QStringLiteral("Export text\u2026")); };
  grid_.installEventFilter(this);
}

bool TimesController::eventFilter(QObject* watched, QEvent* event) {
  if (watched != &grid_ || event->type() != QEvent::ToolTip) return QObject::eventFilter(watched, event);
  auto* help = static_cast<QHelpEvent*>(event);
  // Measured in the frame's pixels, as the grid draws and a click hits.
  const qreal dpr = grid_.devicePixelRatioF();
  const QImage& frame = grid_.Frame();
  const int width = frame.isNull() ? qRound(grid_.width() * dpr) : frame.width();
  const std::optional<ByteHit> hit = ByteAtPoint(session_.Store, static_cast<uint32_t>(width),
                                                 static_cast<int>(std::floor(help->pos().x() * dpr)),
                                                 static_cast<int>(std::floor(help->pos().y() * dpr)));
  if (!hit) {
    QToolTip::hideText();
    return true;
  }
  // While a tap is on, the tooltip names the port each byte came from.
  std::optional<TapPortNames> tap;
  if (const TapCapture* t = session_.Tap) tap = TapPortNames{t->Name(TapSide::A), t->Name(TapSide::B)};
  // Shown until the mouse leaves the byte's cell; resting on the next one asks again.
  const QRect cell(QPoint(static_cast<int>(std::floor(hit->Cell.x0 / dpr)),
                          static_cast<int>(std::floor(hit->Cell.y0 / dpr))),
                   QPoint(static_cast<int>(std::ceil(hit->Cell.x1 / dpr)) - 1,
                          static_cast<int>(std::ceil(hit->Cell.y1 / dpr)) - 1));
  QToolTip::showText(
      help->globalPos(),
      QString::fromStdString(ByteTooltipText(session_.Store, hit->Index, tap ? &*tap : nullptr)), &grid_,
      cell);
  return true;
}

void TimesController::ExportClick() {
  EnsureExeFolder(session_);
  exporter_.Prepare();  // the copy's room is made while the dialog is open
  std::string suggested = CaptureFileName(files_.PortName(), NowLocal());
  suggested.replace(suggested.size() - 5, 5, ".txt");
  // A modal dialog: ticks and receive events go on while it is open.
  const QString path = QFileDialog::getSaveFileName(&dialogParent_, QStringLiteral("Export text"),
                                                    QString::fromStdString(session_.ExeFolder + suggested),
                                                    QStringLiteral("Text (*.txt);;All (*)"));
  if (path.isEmpty()) {
    exporter_.Unprepare();
    return;
  }
  ExportTo(QFile::encodeName(path).toStdString());
}

bool TimesController::ExportTo(const std::string& path) {
  const SavePlan plan = PlanSave(session_.Store, files_.CheckedSaveMode());
  if (plan.Total() == 0) {
    exporter_.Unprepare();
    session_.ShowMessage("Nothing to export", ErrorColour, 20);
    return false;
  }
  // A dialog's path has '/' on every system; one given otherwise may use Windows' backslash.
  const size_t slash = path.find_last_of(capture_fs::FolderSeparators);
  const std::string folder = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!exporter_.Start(plan, session_.Store.ViewBase, files_.PortName(), folder, name)) return false;
  exportItem_->setText(QStringLiteral("Cancel export"));
  return true;
}

}  // namespace quarlex
