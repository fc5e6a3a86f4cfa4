#include "qt/files_controller.h"

#include <QMessageBox>

namespace quarlex {

// On this platform every file matches "*"; "*.*" would hide files without a dot in the name.
const QString FilesController::AllFilter = QStringLiteral("All (*)");
const QString FilesController::DataFilter = QStringLiteral("Data (*.data)");

FilesController::FilesController(Session& session, const SaveMenu& saveMenu, FindPanel& findPanel,
                                 SessionUi& ui, QWidget& dialogParent, std::function<std::string()> portName)
    : saveMenu_(saveMenu),
      findPanel_(findPanel),
      ui_(ui),
      dialogParent_(dialogParent),
      portName_(std::move(portName)),
      files_(session, *this),
      session_(session),
      recording_([&session] { return session.ExeFolder; }, [this] { return PortName(); }) {
  files_.WriteTimesOn(&timesWorker_);
  EnsureExeFolder(session);
  QObject::connect(saveMenu_.save_Record, &QAction::toggled, &dialogParent_, [this](bool on) {
    if (on) {
      recording_.Start();
      session_.SetRecorder(&recording_);
      return;
    }
    session_.SetRecorder(nullptr);
    const std::string trouble = recording_.Stop();
    if (!trouble.empty()) session_.ShowMessage(trouble, ErrorColour, 0);
  });
  FileChooser = [this]() -> QString {
    std::unique_ptr<QFileDialog> dialog = MakeOpenFile(&dialogParent_);
    // A modal dialog: ticks and receive events go on while it is open.
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return {};
    return dialog->selectedFiles().first();
  };
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
  const bool saved = files_.BtnSaveClick();
  files_.FinishTimes();  // the process ends after this
  if (saved) return true;
  QMessageBox::warning(&dialogParent_, QString(), QString::fromStdString(files_.LastError()));
  return false;
}

void FilesController::StopRecording() {
  session_.SetRecorder(nullptr);
  const std::string trouble = recording_.Stop();
  if (!trouble.empty()) QMessageBox::warning(&dialogParent_, QString(), QString::fromStdString(trouble));
}

void FilesController::CompleteUnfinishedRecordings() {
  timesWorker_.Start([folder = session_.ExeFolder, &session = session_](JobContext&) -> Answer {
    // Run even when asked to stop: an index half rewritten is never left (it is replaced whole).
    const std::vector<std::string> said = quarlex::CompleteUnfinishedRecordings(folder);
    if (said.empty()) return {};
    std::string text;
    for (const std::string& line : said) text += (text.empty() ? "" : "; ") + line;
    return [text, &session] { session.ShowMessage(text, ErrorColour, 0); };
  });
}

std::string FilesController::PortName() {
  std::string name = portName_();
  return name.empty() ? "COM1" : name;
}

SaveMode FilesController::CheckedSaveMode() {
  return saveMenu_.save_Full->isChecked() ? SaveMode::Full : SaveMode::Interval;
}

std::string FilesController::ChooseFileToOpen() {
  const QString path = FileChooser ? FileChooser() : QString();
  // File names are bytes on this platform: hand them over in the local 8-bit encoding.
  return path.isEmpty() ? std::string() : QFile::encodeName(path).toStdString();
}

void FilesController::CloseFindPanel() {
  findPanel_.CloseFindPanel();
}

void FilesController::Redraw() {
  ui_.OutExchange();
  ui_.OutMiniMap();
}

}  // namespace quarlex
