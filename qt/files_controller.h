#pragma once
// Thin Qt side of the capture files: wires the Open and Save buttons (and Ctrl+O / Ctrl+S, the
// autosave of the tick) to CaptureFiles, answers its questions from the window's widgets, and
// runs the file-open dialog. The file logic itself lives in tools/capture_files.
// Main thread only.
#include <QFileDialog>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "qt/main_window.h"
#include "tools/capture_files.h"

namespace quarlex {

class FilesController : public FilesUi {
 public:
  // Sets the window's SaveHook and OpenHook, and ExeFolder if the window has not set it.
  explicit FilesController(MainWindow& window);

  CaptureFiles& Files() { return files_; }

  // The port name for file names, from the port component; "COM1" until it is set.
  std::function<std::string()> PortNameSource;
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

  // FilesUi.
  std::string PortName() override;
  SaveMode CheckedSaveMode() override;
  std::string ChooseFileToOpen() override;
  void CloseFindPanel() override;
  void Redraw() override;

 private:
  MainWindow& w_;
  CaptureFiles files_;
};

}  // namespace quarlex
