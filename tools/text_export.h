#pragma once
// "Export text…" as the window runs it: the text of a full ring is about 200 MB and takes
// seconds to form, so it is formed and written on a worker, with its progress on the message
// panel and a way to cancel, while the receive path, the tick and drawing go on.
//
// The export reads a copy of what it covers (CaptureCopy), taken on the window's thread when it
// starts: the bytes and attribute bytes of the planned range and the time index. From then on
// the ring may roll over, be cleared, loaded or sent into without reaching the export, which
// shows the capture as it was when the operator asked for it.
//
// The text goes to a hidden temporary file in the chosen folder and gets the chosen name only
// when it is complete (replacing a file of that name, as the operator agreed in the dialog). A
// cancelled or failed export removes its temporary file; a file of the chosen name that existed
// before stays as it was.
//
// Thread rules: everything here is the owner (window) thread's; the job runs on the exporter's
// own worker and touches only its copy and its file.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/session.h"
#include "app/time_index.h"
#include "tools/background.h"
#include "tools/capture_files.h"
#include "tools/capture_times.h"

namespace quarlex {

// The part of the capture an export reads, copied: a ring-sized array of which only the planned
// pieces are filled (the rest is never touched, so it takes no memory), their sent bits packed
// eight to a byte, and the whole index. The copy holds the window's thread (tens of ms for a
// full ring, most of it the system making fresh pages present), so it copies no more than the
// export reads, and its room can be made ahead on a worker.
class CaptureCopy {
 public:
  // Room for a copy; `touched` makes all of its pages present now (on a worker, ahead of Take).
  explicit CaptureCopy(bool touched = false);
  CaptureCopy(const CaptureStore& store, const SavePlan& plan);
  // Copies what an export of `plan` reads, once per room. Owner thread.
  void Take(const CaptureStore& store, const SavePlan& plan);
  ExportSource Source() const { return {bytes_.get(), nullptr, sent_.get(), times_}; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  std::unique_ptr<uint8_t[]> sent_;
  TimeIndex times_;
};

class TextExporter {
 public:
  // Progress is shown each time this many more percent of the bytes are done, so that other
  // messages (a save, a line error) stay readable between reports.
  static constexpr int ProgressStep = 5;

  TextExporter(TaskQueue& owner, Session& session);

  // Starts the export of `plan` of the session's capture, in `base`, to `folder` + `name`
  // (folder ending in a separator). The message panel shows "Exporting  <name>  0 %" and then
  // the progress, at the end "Exported  <name>", "Not exported: <why>", or after Cancel "Export
  // cancelled, partial file removed". False, and nothing started, while an export is running.
  bool Start(const SavePlan& plan, GridBase base, const std::string& port, const std::string& folder,
             const std::string& name);
  // Makes the room of the next export's copy on the worker (while the operator chooses the
  // file), so that Start only copies; Unprepare gives it back (the operator cancelled). An
  // export started before the room is ready makes its own.
  void Prepare();
  void Unprepare();
  bool Prepared() const { return prepared_ != nullptr; }
  // An export started and not yet ended (its end shown).
  bool Running() const { return running_; }
  // Asks the running export to stop; it ends within one chunk of text, its file removed.
  void Cancel();
  // Waits for the running export and shows its end: for a caller that needs the file now.
  void Finish() { worker_.Finish(); }
  // Runs on the owner thread when an export has ended, with whether its file was written.
  std::function<void(bool written)> Ended;

  // The worker the exports run on (tests queue work before an export on it).
  BackgroundWorker& Worker() { return worker_; }

 private:
  enum class End { Written, Failed, Cancelled };
  void Show(End end, const std::string& name, const std::string& error);

  Session& session_;
  bool running_ = false;
  uint64_t job_ = 0;
  std::shared_ptr<CaptureCopy> prepared_;
  bool preparing_ = false, wantRoom_ = false;
  // Last: it ends (a running export stopped, its answer dropped) before the rest goes.
  BackgroundWorker worker_;
};

}  // namespace quarlex
