#pragma once
// Thin Qt side of the capture files: the Open and Save buttons, Ctrl+O / Ctrl+S and the autosave
// of the tick reach CaptureFiles through the wiring; this answers its questions from the Save
// menu, the port and the find panel, and runs the file-open dialog. The file logic itself lives
// in tools/capture_files; the times file of each save is written on this controller's worker.
// Main thread only.
#include <QFileDialog>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "qt/search_controller.h"
#include "qt/window_queue.h"
#include "qt/window_widgets.h"
#include "tools/capture_files.h"
#include "tools/recording.h"

namespace quarlex {

class FilesController : public FilesUi {
 public:
  // Sets the session's ExeFolder if it has none. `portName` names the port for file names
  // ("COM1" while it gives an empty name); a file load closes `findPanel`; `ui` redraws;
  // `dialogParent` owns the dialogs.
  FilesController(Session& session, const SaveMenu& saveMenu, FindPanel& findPanel, SessionUi& ui,
                  QWidget& dialogParent, std::function<std::string()> portName);

  CaptureFiles& Files() { return files_; }

  // Runs the file-open dialog; tests replace it. Returns an empty text when cancelled.
  std::function<QString()> FileChooser;

  // The file-open dialog `OpenFile`: two file types, "All" (every file) selected first and
  // "Data" (*.data); no title and no folder of its own.
  static std::unique_ptr<QFileDialog> MakeOpenFile(QWidget* parent);
  static const QString AllFilter;
  static const QString DataFilter;

  // Autosave at close: the Save button's action, but a failure is also shown in a dialog box,
  // because the message panel disappears with the window.
  bool SaveAtClose();
  // Record off at close: what the recording holds is written before the window goes; bytes
  // that cannot be are said in a dialog box.
  void StopRecording();
  Recording& recording() { return recording_; }
  // At start, once the save folder is settled: completes the indexes of recordings in it that
  // did not end (on the worker) and says so on the message panel.
  void CompleteUnfinishedRecordings();

  // FilesUi.
  std::string PortName() override;
  SaveMode CheckedSaveMode() override;
  std::string ChooseFileToOpen() override;
  void CloseFindPanel() override;
  void Redraw() override;

 private:
  const SaveMenu saveMenu_;
  FindPanel& findPanel_;
  SessionUi& ui_;
  QWidget& dialogParent_;
  const std::function<std::string()> portName_;
  CaptureFiles files_;
  Session& session_;
  // The Save menu's "Record": on while checked.
  Recording recording_;
  // The times files of saves are formatted and written here, off the window's thread. Last: it
  // ends (writing what is queued) before the files object its answers reach goes.
  WindowQueue queue_{dialogParent_};
  BackgroundWorker timesWorker_{queue_};
};

}  // namespace quarlex
