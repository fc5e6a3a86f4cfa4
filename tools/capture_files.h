#pragma once
// Capture files: saving the capture as a headerless `.data` file (the whole ring, or what
// arrived since the previous save) and loading any file back into the capture.
//
// Guarantees the rest of the program relies on:
//  - Interval saves chain: the files written by consecutive saves (including the autosave of
//    every full ring and the one at close) concatenate to exactly the bytes that entered the
//    capture, however often the ring rolled over.
//  - A save never overwrites an earlier file: a name already taken gets a _1, _2 ... suffix.
//  - A save that fails leaves no file under a capture name and moves nothing: the bytes go to a
//    hidden temporary file in the same folder, are flushed to disk, and only then receive their
//    final name.
//  - Loading accepts regular files only and never blocks on a FIFO or a device.
// Everything here runs on the main thread (it reads and changes the capture store), except the
// formatting and writing of a save's times file, which may run on a worker (WriteTimesOn).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/session.h"
#include "tools/background.h"

namespace quarlex {

enum class SaveMode { Interval, Full };

// Local date and time of a save, as the file name shows it.
struct LocalTime {
  int year = 1970, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0;
};
LocalTime NowLocal();

// `<port>_<yyyymmdd>_<hhnnss>.data`, or `<port>_<yyyymmdd>_<hhnnss>_<suffix>.data` when suffix > 0.
// A port given as a device path (/dev/ttyUSB0) contributes its last component only, and any
// character that cannot be part of a file name is replaced by '_'.
std::string CaptureFileName(const std::string& port, const LocalTime& t, unsigned suffix = 0);

// Folder where saves go, ending in a separator: the executable's folder when the program may
// write there, otherwise `<home>/Quarlex/` (created by the first save; written with the home
// folder's own separator, so "C:\Users\op\Quarlex\" on Windows). `Fallback` tells which.
struct CaptureFolder {
  std::string Path;
  bool Fallback = false;
};
CaptureFolder CaptureFolderFor(const std::string& exePath, const std::string& home);
std::string ExeFolderFor(const std::string& exePath, const std::string& home);
// CaptureFolderFor applied to this process (the system's record of its executable, the user's home).
CaptureFolder DefaultCaptureFolder();
std::string DefaultExeFolder();
// Gives the session the default capture folder when it has none yet.
void EnsureExeFolder(Session& session);

// The byte ranges of the ring that one save writes, in order, and where the next Interval save
// starts. A full ring is saved whole (all CaptureSize bytes) in either mode when nothing of it
// was saved before.
struct SavePiece {
  uint32_t offset = 0;
  uint32_t length = 0;
};
struct SavePlan {
  SavePiece pieces[2];
  int count = 0;
  uint32_t nextSavedUpTo = 0;
  uint64_t Total() const { return uint64_t{pieces[0].length} + (count > 1 ? pieces[1].length : 0); }
};
SavePlan PlanSave(const CaptureStore& store, SaveMode mode);

// Outcome of writing one file.
struct SaveResult {
  bool ok = false;
  std::string fileName;  // name without folder, as written (with its suffix)
  std::string error;     // why, when !ok: the OS error text ("No space left on device")
};
// Writes the planned ranges of `ring` to `folder` under `baseName` (a CaptureFileName without
// suffix), or under the first free `_<n>` variant of it. Creates `folder` if it is missing.
SaveResult WriteCaptureFile(const std::string& folder, const std::string& baseName, const uint8_t* ring,
                            const SavePlan& plan);

// Writes `bytes` to `folder` + `name` through a temporary file, replacing a file of that name.
// Returns the OS error text, empty on success.
std::string WriteFileReplacing(const std::string& folder, const std::string& name, std::string_view bytes);

// What loading needs from the window.
class FilesUi {
 public:
  virtual ~FilesUi() = default;
  // The port name last given to the port component; "COM1" before the first connection.
  virtual std::string PortName() = 0;
  // Which of the radio items "Interval" / "Full" of the Save menu is checked.
  virtual SaveMode CheckedSaveMode() = 0;
  // Runs the file-open dialog; the chosen path, or empty when the operator cancelled.
  virtual std::string ChooseFileToOpen() = 0;
  // The find panel's close action (empties the find box, clears the search hits).
  virtual void CloseFindPanel() = 0;
  // Redraws the grid and the minimap.
  virtual void Redraw() = 0;
};

class CaptureFiles {
 public:
  // A whole ring: every file a save wrote loads back whole.
  static constexpr uint32_t LoadLimit = CaptureSize;

  CaptureFiles(Session& session, FilesUi& ui, std::function<LocalTime()> clock = NowLocal)
      : session_(session), ui_(ui), clock_(std::move(clock)) {}

  // The Save button's action (click, Ctrl+S, autosave of a full ring, autosave at close).
  // Writes the range of the checked mode to Session::ExeFolder, and the times of those bytes
  // beside it (`<name>.idx`), and reports on the message panel.
  // Returns false when nothing was saved; SavedUpTo is then unchanged.
  bool BtnSaveClick();

  // Where the times file of a save is formatted and written: on `worker` (a full table takes
  // over half a second, which the window must not wait), from a copy of the time index taken at
  // the save, so the ring may roll over and the index be cleared meanwhile; the message panel
  // shows the .data file saved at once and, should the times file fail, says so when it does.
  // Without a worker (nullptr, the default) both are written before BtnSaveClick returns.
  // The worker must outlive this object's saves or be destroyed first.
  void WriteTimesOn(BackgroundWorker* worker) { timesWorker_ = worker; }
  // Waits until the times files of the saves so far are written, and reports them: before the
  // window closes, and before a file is opened (it may be one just saved).
  void FinishTimes();
  // A times file queued or being written on the worker, or its report not yet shown.
  bool TimesPending() const { return timesWorker_ && timesWorker_->Busy(); }

  // The Open button's action: asks for a file and loads it.
  void BtnOpenClick();

  enum class LoadResult { Loaded, LoadedFirstPart, NotFound, ReadFailed };
  // Loads `path` into the capture (at most LoadLimit bytes; of a longer file its first part, and
  // the message panel says how many bytes were left out), with the times of `<name>.idx` when
  // that is present and sound; a damaged one is ignored and the message panel says so. A path that is not an
  // existing, readable regular file shows "File not found" and changes nothing.
  LoadResult LoadFile(const std::string& path);

  // Text of the last failed save, for a caller that must tell the operator in another way
  // (the window is closing and the message panel will not be seen).
  const std::string& LastError() const { return lastError_; }

 private:
  // Reads the times file of `dataPath`; the problem to report, empty when none.
  std::string LoadTimes(const std::string& dataPath, uint64_t dataSize, uint32_t loaded);

  Session& session_;
  FilesUi& ui_;
  std::function<LocalTime()> clock_;
  std::string lastError_;
  BackgroundWorker* timesWorker_ = nullptr;
};

}  // namespace quarlex
