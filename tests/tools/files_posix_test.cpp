// Capture files on POSIX systems: folder rights, a disk that fills, FIFOs, devices and sparse
// files of more than 4 GiB.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/capture_file_system.h"
#include "tools/files_fixture.h"

namespace quarlex {

namespace testing_support {

namespace {
// The immutable flag refuses new names even to root, who ignores the folder's mode.
bool SetImmutable(const std::string& folder, bool on) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}
}  // namespace

UnwritableFolder::UnwritableFolder(std::string folder) : folder_(std::move(folder)) {
  chmod(folder_.c_str(), 0555);
  if (capture_fs::CanWriteIn(folder_ + "/")) SetImmutable(folder_, true);
  made_ = !capture_fs::CanWriteIn(folder_ + "/");
}

UnwritableFolder::~UnwritableFolder() {
  SetImmutable(folder_, false);
  chmod(folder_.c_str(), 0755);
}

}  // namespace testing_support

namespace {

using namespace testing_support;

TEST(ExeFolderTest, ExecutableFolderWhenWritableElsePerUserFolder) {
  TempDir d;
  EXPECT_EQ(ExeFolderFor(d.Path("quarlex"), "/home/op"), d.Folder());
  EXPECT_EQ(ExeFolderFor("/no/such/folder/quarlex", "/home/op"), "/home/op/Quarlex/");
  EXPECT_EQ(ExeFolderFor("/no/such/folder/quarlex", "/home/op/"), "/home/op/Quarlex/");
  if (geteuid() != 0) {  // root may write anywhere
    ASSERT_EQ(chmod(d.Folder().c_str(), 0555), 0);
    EXPECT_EQ(ExeFolderFor(d.Path("quarlex"), "/home/op"), "/home/op/Quarlex/");
  }
  // This test program's own folder is writable (the build folder).
  EXPECT_EQ(DefaultExeFolder().back(), '/');
}

TEST_F(FilesTest, FailedSaveReportsAndMovesNothing) {
  WriteWhole(dir.Path("plainfile"), {1, 2, 3});
  session.ExeFolder = dir.Path("plainfile/sub/");  // a folder that cannot exist
  Receive(100);
  EXPECT_FALSE(files.BtnSaveClick());
  EXPECT_EQ(LastMessage().text, "File not saved: Not a directory");
  EXPECT_EQ(LastMessage().rgb, ErrorColour);
  EXPECT_EQ(files.LastError(), "File not saved: Not a directory");
  EXPECT_EQ(store().SavedUpTo(), 0u);
  EXPECT_EQ(store().WriteIndex(), 100u);
}

// A write that fails half-way (the disk fills): no partial file under a capture name, and an
// earlier file of the same name is not touched.
TEST_F(FilesTest, SaveThatRunsOutOfSpaceLeavesNoPartialFile) {
  Receive(1000);
  ASSERT_TRUE(files.BtnSaveClick());
  const auto first = Saved("COM3_20240701_140509.data");
  Receive(3 << 20);

  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 1 << 20;  // files may not grow past 1 MiB: writes fail with EFBIG
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool ok = files.BtnSaveClick();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(ok);
  EXPECT_EQ(LastMessage().text, "File not saved: File too large");
  EXPECT_EQ(store().SavedUpTo(), 1000u);
  EXPECT_EQ(ListNames(dir.Folder()),
            (std::vector<std::string>{"COM3_20240701_140509.data", "COM3_20240701_140509.idx"}));
  EXPECT_EQ(Saved("COM3_20240701_140509.data"), first);
  // The next save, with room again, picks up the same range.
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(Saved("COM3_20240701_140509_1.data").size(), size_t{3 << 20});
}

TEST_F(FilesTest, FailedAutosaveOfAFullRingIsReportedOnceAndTheOperatorsSaveReleasesIt) {
  window.autosave = true;
  session.ExeFolder = "/proc/no-such-folder/";  // nothing can be created there
  Receive(CaptureSize);
  ASSERT_EQ(store().CaptureFull(), 1);
  for (int i = 0; i < 5; ++i) session.TimerMainTimer();
  EXPECT_EQ(window.saves, 1);
  ASSERT_EQ(window.messages.size(), 2u);
  EXPECT_EQ(window.messages[0].text, "File not saved: No such file or directory");
  EXPECT_EQ(LastMessage().text, "Capture full, not saved: No such file or directory");
  EXPECT_EQ(LastMessage().rgb, ErrorColour);
  EXPECT_EQ(store().CaptureFull(), 1);  // nothing was cleared: the ring is still unsaved

  session.ExeFolder = dir.Folder();
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(Saved("COM3_20240701_140509.data").size(), size_t{CaptureSize});
  session.TimerMainTimer();
  EXPECT_EQ(window.saves, 1) << "the operator's save is not repeated";
  EXPECT_EQ(store().CaptureFull(), 0);  // the rollover went on
  EXPECT_EQ(store().WriteIndex(), 0u);
}

TEST_F(FilesTest, LoadLimitsAndRefusals) {
  using R = CaptureFiles::LoadResult;
  struct Case {
    const char* what;
    std::string path;
    R result;
    uint32_t size;
    const char* message;  // nullptr: none
  };
  WriteWhole(dir.Path("empty.data"), {});
  WriteWhole(dir.Path("readonly.data"), {9, 8, 7});
  ASSERT_EQ(chmod(dir.Path("readonly.data").c_str(), 0444), 0);
  // 4 GiB + 10 bytes, sparse: taken with its real size, so the ring fills to its limit.
  {
    const int fd = open(dir.Path("huge.data").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t{4} << 30) + 10), 0);
    const uint8_t last = 0x5A;
    ASSERT_EQ(pwrite(fd, &last, 1, CaptureSize - 1), 1);
    ASSERT_EQ(pwrite(fd, &last, 1, CaptureSize), 1);
    close(fd);
  }
  ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(dir.Path("folder.data").c_str(), 0755), 0);
  const std::vector<Case> cases = {
      {"empty file", dir.Path("empty.data"), R::Loaded, 0, nullptr},
      {"read-only file", dir.Path("readonly.data"), R::Loaded, 3, nullptr},
      {"4 GiB + 10 bytes", dir.Path("huge.data"), R::LoadedFirstPart, CaptureSize,
       "First 33554432 bytes loaded, 4261412874 left out"},
      {"missing", dir.Path("missing.data"), R::NotFound, 0, "File not found"},
      {"folder", dir.Path("folder.data"), R::NotFound, 0, "File not found"},
      {"FIFO without a writer", dir.Path("fifo"), R::NotFound, 0, "File not found"},
      {"character device", "/dev/null", R::NotFound, 0, "File not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    window.messages.clear();
    session.ClearFull();
    Receive(7);  // something that a refused load must leave in place
    EXPECT_EQ(files.LoadFile(c.path), c.result);
    EXPECT_EQ(store().WriteIndex(), c.result == R::NotFound ? 7u : c.size);
    if (!c.message) {
      EXPECT_TRUE(window.messages.empty());
      continue;
    }
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].text, c.message);
    EXPECT_EQ(window.messages[0].rgb, ErrorColour);
  }
  files.LoadFile(dir.Path("huge.data"));
  EXPECT_EQ(store().CaptureBuffer[CaptureLast], 0x5A);
  EXPECT_EQ(store().CaptureFull(), 1);
}

TEST_F(FilesTest, UnreadableFileIsNotFound) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  WriteWhole(dir.Path("secret.data"), {1, 2});
  ASSERT_EQ(chmod(dir.Path("secret.data").c_str(), 0000), 0);
  EXPECT_EQ(files.LoadFile(dir.Path("secret.data")), CaptureFiles::LoadResult::NotFound);
}

}  // namespace
}  // namespace quarlex
