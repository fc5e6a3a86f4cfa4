#pragma once
// The capture's times in the window: the tooltip of the byte under the resting mouse on the grid,
// and the Save menu's "Export text…" item, which writes the readable log of the capture (the
// range of the checked save mode) to a file the operator chooses. The texts themselves come from
// tools/capture_times. The export runs on a worker (TextExporter); while it runs the item reads
// "Cancel export" and stops it.
// Main thread only.
#include <QObject>
#include <string>

#include "app/session.h"
#include "qt/window_queue.h"
#include "tools/capture_files.h"
#include "tools/text_export.h"

class QAction;
class QMenu;
class QWidget;

namespace quarlex {

class ImageControl;

class TimesController : public QObject {
  Q_OBJECT
 public:
  // Watches `grid` for tooltip requests and adds "Export text…" to `saveMenu`. `files` names the
  // port and the checked save mode, as it does for saving; `dialogParent` owns the file dialog.
  TimesController(Session& session, ImageControl& grid, QMenu& saveMenu, FilesUi& files,
                  QWidget& dialogParent);

  QAction* ExportItem() const { return exportItem_; }
  // Starts the export to `path`; it reports on the message panel. False when it could not start
  // (nothing to export, or an export is running).
  bool ExportTo(const std::string& path);
  TextExporter& Exporter() { return exporter_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ExportClick();

  Session& session_;
  ImageControl& grid_;
  FilesUi& files_;
  QWidget& dialogParent_;
  QAction* exportItem_;
  WindowQueue queue_{*this};
  TextExporter exporter_{queue_, session_};  // last: a running export stops before the rest goes
};

}  // namespace quarlex
