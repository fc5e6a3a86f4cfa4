#pragma once
// The recording of the capture while Record is on: every byte the capture takes, received or
// sent, goes to a RecordWriter as it is appended, into `.data` files named as a save names them
// (`<port>_<yyyymmdd>_<hhnnss>.data`, with a suffix when the name is taken), one file per ring.
// A file is started by the first byte after Start or after a rollover, so Record on without
// traffic leaves no empty file. Main thread only (the writer has its own thread).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/session.h"
#include "tools/capture_files.h"
#include "tools/record_writer.h"

namespace quarlex {

class Recording : public CaptureRecorder {
 public:
  // `folder` (ending in a separator) and `port` are asked when a file starts.
  Recording(std::function<std::string()> folder, std::function<std::string()> port,
            std::function<LocalTime()> clock = NowLocal);
  ~Recording() override;

  // Record on: bytes from now on are recorded.
  void Start();
  // Record off: writes and syncs what is queued and ends the writer. Returns what is not on
  // disk after all (the text for the message panel), empty when everything is.
  std::string Stop();
  bool On() const { return on_; }
  // The file being written, with its folder; empty before the first byte.
  const std::string& CurrentFile() const { return file_; }

  // CaptureRecorder
  void Record(const uint8_t* data, size_t count) override;
  void NextRing() override { fileWanted_ = true; }
  std::string Trouble() override;

 private:
  std::string FreeName();
  static std::string TroubleOf(const RecordWriter::Status& status);

  std::function<std::string()> folder_, port_;
  std::function<LocalTime()> clock_;
  std::unique_ptr<RecordWriter> writer_;
  std::string file_;
  bool on_ = false;
  bool fileWanted_ = true;
};

}  // namespace quarlex
