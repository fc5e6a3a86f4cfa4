// The recording's writer: bytes reach their files in order and become durable without a Stop; a
// file that cannot be made (a folder that is gone, a name taken) keeps every byte queued, says
// why, and catches up once it works, nothing skipped and nothing replaced.
#include "tools/record_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "tests/tools/files_support.h"
#include "tools/recording.h"

namespace quarlex {
namespace {

using testing_support::ReadWhole;
using testing_support::TempDir;
using namespace std::chrono_literals;

// Waits (at most 10 s) until `done` holds for the writer's status.
template <class Pred>
bool WaitFor(const RecordWriter& w, Pred done) {
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (!done(w.GetStatus())) {
    if (std::chrono::steady_clock::now() > until) return done(w.GetStatus());
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return v;
}

TEST(RecordWriter, BytesGoToTheirFilesInOrderAndBecomeDurableWithoutAStop) {
  TempDir dir;
  RecordWriter w(20ms);
  const std::vector<uint8_t> a = Bytes(3 << 20, 1), b = Bytes(1000, 9);  // a spans several pieces
  w.NextFile(dir.Path("COM5_1.data"));
  for (size_t at = 0; at < a.size(); at += 4096)
    w.Append(a.data() + at, std::min<size_t>(4096, a.size() - at));
  ASSERT_TRUE(WaitFor(w, [&](const RecordWriter::Status& s) { return s.Durable == a.size(); }))
      << "the bytes were not synced by themselves";
  EXPECT_EQ(w.GetStatus().File, dir.Path("COM5_1.data"));
  EXPECT_EQ(ReadWhole(dir.Path("COM5_1.data")), a) << "readable while recording goes on";

  w.NextFile(dir.Path("COM5_2.data"));
  w.Append(b.data(), b.size());
  const RecordWriter::Status s = w.Stop();
  EXPECT_EQ(s.Appended, a.size() + b.size());
  EXPECT_EQ(s.Written, s.Appended);
  EXPECT_EQ(s.Durable, s.Appended);
  EXPECT_TRUE(s.Error.empty()) << s.Error;
  EXPECT_EQ(ReadWhole(dir.Path("COM5_1.data")), a);
  EXPECT_EQ(ReadWhole(dir.Path("COM5_2.data")), b);
  // After the stop nothing is written, but what was handed over still counts as not on disk.
  w.Append(b.data(), 10);
  EXPECT_EQ(w.GetStatus().Appended - w.GetStatus().Written, 10u);
}

TEST(RecordWriter, AFileThatCannotBeMadeKeepsTheBytesAndCatchesUp) {
  TempDir dir;
  RecordWriter w(20ms, 10ms);
  const std::string gone = dir.Path("removed/");
  const std::vector<uint8_t> a = Bytes(5000, 3), b = Bytes(7000, 5);
  w.NextFile(gone + "COM5_1.data");
  w.Append(a.data(), a.size());
  ASSERT_TRUE(WaitFor(w, [](const RecordWriter::Status& s) { return !s.Error.empty(); }));
  EXPECT_NE(w.GetStatus().Error.find("COM5_1.data"), std::string::npos) << w.GetStatus().Error;
  w.Append(b.data(), b.size());
  EXPECT_EQ(w.GetStatus().Written, 0u);

  std::filesystem::create_directory(gone);
  ASSERT_TRUE(WaitFor(w, [&](const RecordWriter::Status& s) {
    return s.Durable == a.size() + b.size() && s.Error.empty();
  })) << w.GetStatus().Error;
  std::vector<uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(ReadWhole(gone + "COM5_1.data"), both);

  // A name that is taken is never replaced: the writer waits until it is free.
  testing_support::WriteWhole(dir.Path("COM5_2.data"), {1, 2, 3});
  w.NextFile(dir.Path("COM5_2.data"));
  w.Append(a.data(), 100);
  ASSERT_TRUE(WaitFor(w, [](const RecordWriter::Status& s) { return !s.Error.empty(); }));
  EXPECT_EQ(ReadWhole(dir.Path("COM5_2.data")), (std::vector<uint8_t>{1, 2, 3}));
  std::filesystem::remove(dir.Path("COM5_2.data"));
  const RecordWriter::Status s = w.Stop();  // the stop's own try succeeds
  EXPECT_EQ(s.Written, s.Appended);
  EXPECT_EQ(ReadWhole(dir.Path("COM5_2.data")), std::vector<uint8_t>(a.begin(), a.begin() + 100));
}

TEST(RecordWriter, AStopWhileWritingFailsSaysWhatIsNotOnDisk) {
  TempDir dir;
  RecordWriter w(20ms, 10ms);
  w.NextFile(dir.Path("missing/COM5_1.data"));
  const std::vector<uint8_t> a = Bytes(300, 1);
  w.Append(a.data(), a.size());
  const RecordWriter::Status s = w.Stop();
  EXPECT_EQ(s.Appended, 300u);
  EXPECT_EQ(s.Written, 0u);
  EXPECT_FALSE(s.Error.empty());
}

// The recording over the writer: one file per ring, named as a save names it (a suffix when two
// rings end in one second), started by the first byte only; the files together are the stream.
// Off, it writes nothing; a folder it cannot write in is trouble that names the bytes not on disk.
TEST(Recording, AFilePerRingNamedAsASaveAndNothingWhileOff) {
  TempDir dir;
  const std::string folder = dir.Path("new/");
  Recording rec([&] { return folder; }, [] { return std::string("/dev/ttyUSB0"); },
                [] { return LocalTime{2026, 12, 10, 14, 30, 5}; });
  const std::vector<uint8_t> a = Bytes(70000, 2), b = Bytes(333, 4);
  rec.Record(a.data(), a.size());  // Record off
  rec.Start();
  EXPECT_FALSE(std::filesystem::exists(folder)) << "no file before the first byte";
  rec.Record(a.data(), 1000);
  rec.Record(a.data() + 1000, a.size() - 1000);
  EXPECT_EQ(rec.CurrentFile(), folder + "ttyUSB0_20261210_143005.data");
  rec.NextRing();
  rec.Record(b.data(), b.size());
  EXPECT_EQ(rec.CurrentFile(), folder + "ttyUSB0_20261210_143005_1.data");
  EXPECT_EQ(rec.Trouble(), "");
  EXPECT_EQ(rec.Stop(), "");
  EXPECT_EQ(ReadWhole(folder + "ttyUSB0_20261210_143005.data"), a);
  EXPECT_EQ(ReadWhole(folder + "ttyUSB0_20261210_143005_1.data"), b);
  rec.Record(b.data(), b.size());  // off again
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 2);

  testing_support::WriteWhole(dir.Path("file"), {1});
  Recording blocked([&] { return dir.Path("file/"); }, [] { return std::string(); });
  blocked.Start();
  blocked.Record(b.data(), 10);
  const std::string trouble = blocked.Stop();
  EXPECT_EQ(trouble.rfind("Recording: 10 bytes not on disk (", 0), 0u) << trouble;
}

}  // namespace
}  // namespace quarlex
