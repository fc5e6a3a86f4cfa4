#include "tools/recording.h"

#include "tools/capture_file_system.h"

namespace quarlex {

Recording::Recording(std::function<std::string()> folder, std::function<std::string()> port,
                     std::function<LocalTime()> clock)
    : folder_(std::move(folder)), port_(std::move(port)), clock_(std::move(clock)) {}

Recording::~Recording() {
  Stop();
}

void Recording::Start() {
  if (on_) return;
  on_ = true;
  fileWanted_ = true;
}

std::string Recording::Stop() {
  on_ = false;
  if (!writer_) return {};
  const RecordWriter::Status status = writer_->Stop();
  writer_.reset();
  return TroubleOf(status);
}

std::string Recording::FreeName() {
  const std::string folder = folder_();
  const LocalTime t = clock_();
  const std::string port = port_().empty() ? std::string("COM1") : port_();
  // A folder that cannot be made shows as the writer's failure to create the file (and is
  // retried there); nothing in it can be asked about.
  if (!capture_fs::MakeFolders(folder).empty()) return folder + CaptureFileName(port, t);
  for (unsigned suffix = 0;; ++suffix) {
    std::string path = folder + CaptureFileName(port, t, suffix);
    // The file just left may not be on the disk yet (the writer creates it on its thread). A
    // name that cannot be asked about counts as taken, up to a bound.
    if ((path != file_ && !capture_fs::Exists(path)) || suffix >= 10000) return path;
  }
}

void Recording::Record(const uint8_t* data, size_t count) {
  if (!on_ || count == 0) return;
  if (!writer_) writer_ = std::make_unique<RecordWriter>();
  if (fileWanted_) {
    file_ = FreeName();
    writer_->NextFile(file_);
    fileWanted_ = false;
  }
  writer_->Append(data, count);
}

std::string Recording::Trouble() {
  return writer_ ? TroubleOf(writer_->GetStatus()) : std::string();
}

std::string Recording::TroubleOf(const RecordWriter::Status& status) {
  if (status.Error.empty() || status.Written >= status.Appended) return {};
  return "Recording: " + std::to_string(status.Appended - status.Written) + " bytes not on disk (" +
         status.Error + ")";
}

}  // namespace quarlex
