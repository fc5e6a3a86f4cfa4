#include "tools/capture_files.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "tools/capture_file_system.h"
#include "tools/times_file.h"

namespace quarlex {

namespace {

std::string TwoDigits(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d", v);
  return b;
}

// A port may be named by its device path; only its last component belongs in a file name, and
// nothing in it may turn the name into a path or a hidden file.
std::string PortForFileName(const std::string& port) {
  std::string p = port.substr(port.find_last_of('/') == std::string::npos ? 0 : port.find_last_of('/') + 1);
  for (char& c : p) {
    const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    if (!safe) c = '_';
  }
  if (p.empty()) return "COM1";
  if (p[0] == '.') p[0] = '_';
  return p;
}

}  // namespace

std::string WriteFileReplacing(const std::string& folder, const std::string& name, std::string_view bytes) {
  capture_fs::PendingFile file;
  if (!file.Create(folder) || !file.Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) ||
      !file.Finish() || !file.PublishReplacing(folder + name))
    return file.Error();
  return {};
}

LocalTime NowLocal() {
  const std::time_t now = std::time(nullptr);
  const std::tm tm = capture_fs::LocalTimeOf(now);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::string CaptureFileName(const std::string& port, const LocalTime& t, unsigned suffix) {
  std::string name = PortForFileName(port) + "_" + std::to_string(t.year) + TwoDigits(t.month) +
                     TwoDigits(t.day) + "_" + TwoDigits(t.hour) + TwoDigits(t.minute) + TwoDigits(t.second);
  if (suffix > 0) name.append("_").append(std::to_string(suffix));
  return name + ".data";
}

CaptureFolder CaptureFolderFor(const std::string& exePath, const std::string& home) {
  const char* const separators = capture_fs::FolderSeparators;
  const size_t slash = exePath.find_last_of(separators);
  std::string folder = slash == std::string::npos ? "./" : exePath.substr(0, slash + 1);
  if (capture_fs::CanWriteIn(folder) || home.empty()) return {folder, false};
  // Windows homes use backslashes, and the folder name shown in messages should match them.
  const std::string_view seps(separators);
  const bool backslashes = seps.find('\\') != std::string_view::npos && home.find('\\') != std::string::npos;
  const char separator = backslashes ? '\\' : '/';
  std::string h = home;
  while (h.size() > 1 && seps.find(h.back()) != std::string_view::npos) h.pop_back();
  return {(h == "/" ? "" : h) + separator + "Quarlex" + separator, true};
}

std::string ExeFolderFor(const std::string& exePath, const std::string& home) {
  return CaptureFolderFor(exePath, home).Path;
}

CaptureFolder DefaultCaptureFolder() {
  const std::string exe = capture_fs::ExecutablePath();
  return CaptureFolderFor(exe.empty() ? "./quarlex" : exe, capture_fs::HomeFolder());
}

std::string DefaultExeFolder() {
  return DefaultCaptureFolder().Path;
}

void EnsureExeFolder(Session& session) {
  if (!session.ExeFolder.empty()) return;
  const CaptureFolder chosen = DefaultCaptureFolder();
  session.ExeFolder = chosen.Path;
  session.ExeFolderIsFallback = chosen.Fallback;
}

SavePlan PlanSave(const CaptureStore& store, SaveMode mode) {
  SavePlan plan;
  auto add = [&plan](uint32_t from, uint32_t to) {
    if (to > from) plan.pieces[plan.count++] = {from, to - from};
  };
  const uint32_t w = store.WriteIndex();  // CaptureSize when the ring is full
  plan.nextSavedUpTo = w;
  if (mode == SaveMode::Full) {
    add(0, w);
    return plan;
  }
  const uint32_t saved = std::min(store.SavedUpTo(), CaptureSize);
  if (saved <= w) {
    add(saved, w);
  } else {
    // A send wrapped the ring after the last save: the rest of the ring, then its start.
    add(saved, CaptureSize);
    add(0, w);
  }
  return plan;
}

SaveResult WriteCaptureFile(const std::string& folder, const std::string& baseName, const uint8_t* ring,
                            const SavePlan& plan) {
  SaveResult result;
  result.error = capture_fs::MakeFolders(folder);
  if (!result.error.empty()) return result;
  // The bytes go to a hidden temporary name first, so a failure never leaves a partial file
  // under a capture name, and a finished file never replaces another.
  capture_fs::PendingFile file;
  bool ok = file.Create(folder);
  for (int i = 0; i < plan.count && ok; ++i)
    ok = file.Write(ring + plan.pieces[i].offset, plan.pieces[i].length);
  ok = ok && file.Finish();
  if (!ok) {
    result.error = file.Error();
    return result;
  }
  const std::string stem =
      baseName.size() > 5 && baseName.ends_with(".data") ? baseName.substr(0, baseName.size() - 5) : baseName;
  for (unsigned n = 0; n < 100000; ++n) {
    const std::string name = n == 0 ? stem + ".data" : stem + "_" + std::to_string(n) + ".data";
    const auto published = file.PublishAs(folder + name);
    if (published == capture_fs::PendingFile::Publish::NameTaken) continue;
    if (published == capture_fs::PendingFile::Publish::Failed) {
      result.error = file.Error();
      return result;
    }
    result.ok = true;
    result.fileName = name;
    return result;
  }
  result.error = "every name of this second is taken";
  return result;
}

bool CaptureFiles::BtnSaveClick() {
  EnsureExeFolder(session_);
  CaptureStore& store = session_.Store;
  const LocalTime t = clock_();
  const SavePlan plan = PlanSave(store, ui_.CheckedSaveMode());
  const SaveResult r =
      WriteCaptureFile(session_.ExeFolder, CaptureFileName(ui_.PortName(), t), store.CaptureBuffer, plan);
  if (!r.ok) {
    lastError_ = "File not saved: " + r.error;
    session_.SaveFailed(r.error);
    session_.ShowMessage(lastError_, ErrorColour, 0);
    return false;
  }
  lastError_.clear();
  // A full ring whose autosave failed is released by this: the next tick sees it saved.
  store.MarkSaved(plan.nextSavedUpTo);
  // The bytes are safe; their times are a companion that may fail on its own without undoing
  // the save (the operator is told).
  // Saved somewhere the operator did not expect: the message names the folder and why.
  const std::string saved =
      "File  " + r.fileName + "  saved" +
      (session_.ExeFolderIsFallback ? " in " + session_.ExeFolder + " (the program's folder is not writable)"
                                    : "");
  auto timesNotSaved = [saved](Session& session, const std::string& error) {
    session.ShowMessage(saved + ", times not: " + error, ErrorColour, 0);
  };
  if (!timesWorker_) {
    const std::string timesError =
        WriteFileReplacing(session_.ExeFolder, TimesPathFor(r.fileName), TimesFileText(store.Times, plan));
    if (!timesError.empty()) {
      timesNotSaved(session_, timesError);
      return true;
    }
    session_.ShowMessage(saved, SuccessColour, 0);
    return true;
  }
  session_.ShowMessage(saved, SuccessColour, 0);
  // The index is copied here, on the window's thread: a rollover right after this save clears
  // it, and new bytes are added to it while the file is formatted.
  timesWorker_->Start([times = store.Times, plan, folder = session_.ExeFolder,
                       name = TimesPathFor(r.fileName), timesNotSaved,
                       &session = session_](JobContext&) -> Answer {
    // Written even when asked to stop (the window closing): the .data file waits for it.
    const std::string error = WriteFileReplacing(folder, name, TimesFileText(times, plan));
    if (error.empty()) return {};
    return [timesNotSaved, error, &session] { timesNotSaved(session, error); };
  });
  return true;
}

void CaptureFiles::FinishTimes() {
  if (timesWorker_) timesWorker_->Finish();
}

void CaptureFiles::BtnOpenClick() {
  const std::string path = ui_.ChooseFileToOpen();
  if (path.empty()) return;
  LoadFile(path);
}

CaptureFiles::LoadResult CaptureFiles::LoadFile(const std::string& path) {
  auto notFound = [this] {
    session_.ShowMessage("File not found", ErrorColour, 0);
    return LoadResult::NotFound;
  };
  FinishTimes();  // the file may be one just saved, whose times are still being written
  capture_fs::SourceFile file;
  if (!file.Open(path)) return notFound();
  const uint64_t size = file.Size();
  const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(size, LoadLimit));

  session_.ClearFull();
  CaptureStore& store = session_.Store;
  uint32_t got = 0;
  bool readFailed = false;
  while (got < want) {
    const int64_t n = file.ReadAt(store.CaptureBuffer + got, want - got, got);
    if (n < 0) {
      readFailed = true;
      break;
    }
    if (n == 0) break;  // the file shrank since it was opened
    got += static_cast<uint32_t>(n);
  }

  // Only bytes really read become capture: a short read shows what the file held, not zeros.
  store.LoadBytes(got);
  if (store.SearchOpen) ui_.CloseFindPanel();
  ui_.Redraw();
  if (got < want) {
    session_.ShowMessage(
        readFailed ? "File not read: " + file.Error() : std::string("File not read completely"), ErrorColour,
        0);
    return LoadResult::ReadFailed;
  }
  const std::string timesProblem = LoadTimes(path, size, got);
  if (size > want) {
    // The operator must not take the first part for the whole file.
    session_.ShowMessage(
        "First " + std::to_string(want) + " bytes loaded, " + std::to_string(size - want) + " left out",
        ErrorColour, 0);
    return LoadResult::LoadedFirstPart;
  }
  if (!timesProblem.empty()) session_.ShowMessage(timesProblem, ErrorColour, 0);
  return LoadResult::Loaded;
}

std::string CaptureFiles::LoadTimes(const std::string& dataPath, uint64_t dataSize, uint32_t loaded) {
  const std::string path = TimesPathFor(dataPath);
  const size_t slash = path.find_last_of(capture_fs::FolderSeparators);
  const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  if (!capture_fs::Exists(path)) return {};  // a capture without times
  capture_fs::SourceFile file;
  if (!file.Open(path)) return "Times not loaded: " + name + ": not a readable file";
  if (file.Size() > TimesFileLimit) return "Times not loaded: " + name + ": too large";
  std::string text(static_cast<size_t>(file.Size()), '\0');
  size_t got = 0;
  while (got < text.size()) {
    const int64_t n = file.ReadAt(reinterpret_cast<uint8_t*>(text.data()) + got,
                                  static_cast<uint32_t>(text.size() - got), got);
    if (n < 0) return "Times not loaded: " + name + ": " + file.Error();
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  const TimesLoad r = LoadTimesText(text, dataSize, loaded, session_.Store.Times);
  if (r.ok) return {};
  return "Times not loaded: " + name + " damaged (line " + std::to_string(r.line) + ", " + r.error + ")";
}

}  // namespace quarlex
