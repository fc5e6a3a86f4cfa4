#pragma once
// The recording of the capture while Record is on: every byte the capture takes, received or
// sent, goes to a RecordWriter as it is appended, into `.data` files named as a save names them
// (`<port>_<yyyymmdd>_<hhnnss>.data`, with a suffix when the name is taken), each with its `.idx`
// times file. A file holds one unbroken run of ring positions: it starts with the first byte
// after Start, after the ring was cleared, or where the ring wrapped, so it never holds more
// than one ring, and Record on without traffic leaves no empty file. Its times are the capture's
// own entries of those bytes, at offsets from the file's start.
//
// The writer's queue is bounded: what it cannot take yet stays in the ring (which the session
// then keeps, as Trouble says) and is handed over at the next byte or tick. Bytes the ring is
// cleared with before they were taken are handed over all the same, beyond the bound, as long
// as the writer holds less than HardLimit; past it they are lost, and the recording says how many.
// Main thread only (the writer has its own thread).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/session.h"
#include "tools/capture_files.h"
#include "tools/record_writer.h"

namespace quarlex {

// Finds the unfinished recordings in `folder` (ending in a separator): a `.idx` that is still a
// journal (times_file.h) beside its `.data`, which no writer holds open, was left by a recording
// that ended without leaving its file (the program killed, the power cut). Each such index is
// completed from what the `.data` holds: the journal's entries of the bytes on the disk, and one
// entry for those after the last of them; it then has the full form. One line per recording for
// the message panel ("Recording COM5_20261210_143005.data was not finished: completed its index
// (1048576 bytes)"), or why it could not be completed.
std::vector<std::string> CompleteUnfinishedRecordings(const std::string& folder);

class Recording : public CaptureRecorder {
 public:
  // Bytes the writer may hold when a cleared ring's bytes are forced on it.
  static constexpr size_t HardLimit = size_t{64} << 20;

  // `folder` (ending in a separator) and `port` are asked when a file starts.
  Recording(std::function<std::string()> folder, std::function<std::string()> port,
            std::function<LocalTime()> clock = NowLocal, size_t queueLimit = RecordWriter::DefaultQueueLimit);
  ~Recording() override;

  // Record on: bytes from now on are recorded.
  void Start();
  // Record off: hands over what waits in the ring, writes and syncs what is queued and ends
  // the writer. Returns what is not on disk after all (the text for the message panel), empty
  // when everything is.
  std::string Stop();
  bool On() const { return on_; }
  // The file being written, with its folder; empty before the first byte.
  const std::string& CurrentFile() const { return file_; }
  // Bytes of the current file that wait in the ring.
  size_t Held() const { return held_; }

  // CaptureRecorder
  void Record(const uint8_t* ring, uint32_t from, size_t count) override;
  std::string NextRing() override;
  void CatchUp() override;
  std::string Trouble() override;
  void BatchAdded(uint32_t position, uint32_t count, Direction dir, int64_t timeNs) override;
  void EventsAdded(uint32_t position, LineEvents events, int64_t timeNs) override;

 private:
  std::string FreeName();
  void StartFile(uint32_t base);
  // Hands what waits in the ring to the writer, all of it with `force`.
  // Bytes that could not be taken even so: how many.
  size_t HandOver(bool force);
  static std::string LostText(size_t lost);
  std::string TroubleOf(const RecordWriter::Status& status) const;

  std::function<std::string()> folder_, port_;
  std::function<LocalTime()> clock_;
  const size_t queueLimit_;
  std::unique_ptr<RecordWriter> writer_;
  std::string file_;
  std::string givenBase_;           // the name without suffix of the files given in this second
  std::vector<std::string> given_;  // and those names
  bool on_ = false;
  bool fileWanted_ = true;
  const uint8_t* ring_ = nullptr;
  uint32_t base_ = 0;      // ring position of the current file's offset 0
  uint32_t next_ = 0;      // ring position after its last byte
  uint32_t heldFrom_ = 0;  // held_ bytes from here on wait in the ring
  size_t held_ = 0;
  size_t lostAtWrap_ = 0;  // said at the next NextRing
  struct PendingEvent {
    uint32_t position;
    LineEvents events;
    int64_t timeNs;
  };
  // Events at the write position before a file was started: they go into the next file when it
  // starts there.
  std::vector<PendingEvent> pendingEvents_;
};

}  // namespace quarlex
