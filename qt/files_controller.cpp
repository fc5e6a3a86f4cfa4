#include "qt/files_controller.h"

#include <QMessageBox>

namespace quarlex {

// On this platform every file matches "*"; "*.*" would hide files without a dot in the name.
const QString FilesController::AllFilter = QStringLiteral("All (*)");
const QString FilesController::DataFilter = QStringLiteral("Data (*.data)");

FilesController::FilesController(MainWindow& window) : w_(window), files_(window.session(), *this) {
  if (w_.session().ExeFolder.empty()) w_.session().ExeFolder = DefaultExeFolder();
  FileChooser = [this]() -> QString {
    std::unique_ptr<QFileDialog> dialog = MakeOpenFile(&w_);
    // A modal dialog: ticks and receive events go on while it is open.
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return {};
    return dialog->selectedFiles().first();
  };
  w_.SaveHook = [this] { return files_.BtnSaveClick(); };
  w_.OpenHook = [this] { files_.BtnOpenClick(); };
}

std::unique_ptr<QFileDialog> FilesController::MakeOpenFile(QWidget* parent) {
  auto dialog = std::make_unique<QFileDialog>(parent);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setNameFilters({AllFilter, DataFilter});
  dialog->selectNameFilter(AllFilter);
  return dialog;
}

bool FilesController::SaveAtClose() {
  if (files_.BtnSaveClick()) return true;
  QMessageBox::warning(&w_, QString(), QString::fromStdString(files_.LastError()));
  return false;
}

std::string FilesController::PortName() {
  if (PortNameSource) {
    std::string name = PortNameSource();
    if (!name.empty()) return name;
  }
  return "COM1";
}

SaveMode FilesController::CheckedSaveMode() {
  return w_.save_Full->isChecked() ? SaveMode::Full : SaveMode::Interval;
}

std::string FilesController::ChooseFileToOpen() {
  const QString path = FileChooser ? FileChooser() : QString();
  // File names are bytes on this platform: hand them over in the local 8-bit encoding.
  return path.isEmpty() ? std::string() : QFile::encodeName(path).toStdString();
}

void FilesController::CloseFindPanel() {
  if (auto& close = w_.KeyHooks[static_cast<int>(KeyAction::FindClose)]) close();
}

void FilesController::Redraw() {
  w_.OutExchange();
  w_.OutMiniMap();
}

}  // namespace quarlex
