// The recording's writer: bytes reach their files in order and become durable without a Stop,
// with their times beside them (a journal while the file grows, the full form once it is left); a
// file that cannot be made (a folder that is gone, a name taken) keeps every byte queued, says
// why, and catches up once it works, nothing skipped and nothing replaced.
#include "tools/record_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "tests/tools/files_support.h"
#include "tools/capture_file_system.h"
#include "tools/recording.h"
#include "tools/times_file.h"

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

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> b = ReadWhole(path);
  return std::string(b.begin(), b.end());
}

// The times of a .data file of `size` bytes as a load reads them.
TimeIndex LoadedTimes(const std::string& idxPath, uint64_t size) {
  TimeIndex index;
  const TimesLoad r = LoadTimesText(ReadText(idxPath), size, static_cast<uint32_t>(size), index);
  EXPECT_TRUE(r.ok) << idxPath << " line " << r.line << ": " << r.error;
  return index;
}

TEST(RecordWriter, BytesGoToTheirFilesInOrderAndBecomeDurableWithoutAStop) {
  TempDir dir;
  RecordWriter w(20ms);
  const std::vector<uint8_t> a = Bytes(3 << 20, 1), b = Bytes(1000, 9);  // a spans several pieces
  w.NextFile(dir.Path("COM5_1.data"));
  for (size_t at = 0; at < a.size(); at += 4096) {
    EXPECT_EQ(w.Append(a.data() + at, std::min<size_t>(4096, a.size() - at)),
              std::min<size_t>(4096, a.size() - at));
    w.AddBatch(static_cast<uint32_t>(at), 4096, at % 8192 ? Direction::Sent : Direction::Received,
               1'700'000'000'000'000'000 + static_cast<int64_t>(at));
  }
  w.AddEvents(static_cast<uint32_t>(a.size()), Bits(LineEvent::Disconnect), 1'800'000'000'000'000'000);
  ASSERT_TRUE(WaitFor(w, [&](const RecordWriter::Status& s) { return s.Durable == a.size(); }))
      << "the bytes were not synced by themselves";
  EXPECT_EQ(w.GetStatus().File, dir.Path("COM5_1.data"));
  EXPECT_EQ(ReadWhole(dir.Path("COM5_1.data")), a) << "readable while recording goes on";
  // The journal is synced with the bytes: its entries are there as soon as the bytes are.
  const std::string journal = ReadText(dir.Path("COM5_1.idx"));
  EXPECT_TRUE(IsTimesJournal(journal)) << journal.substr(0, 40);
  EXPECT_NE(journal.find("\nB 4096 4096 S 1700000000000004096\n"), std::string::npos);
  EXPECT_TRUE(capture_fs::HeldByWriter(dir.Path("COM5_1.idx")));

  w.NextFile(dir.Path("COM5_2.data"));
  w.Append(b.data(), b.size());
  w.AddBatch(0, 1000, Direction::Received, 5);
  const RecordWriter::Status s = w.Stop();
  EXPECT_EQ(s.Appended, a.size() + b.size());
  EXPECT_EQ(s.Written, s.Appended);
  EXPECT_EQ(s.Durable, s.Appended);
  EXPECT_TRUE(s.Error.empty()) << s.Error;
  EXPECT_EQ(ReadWhole(dir.Path("COM5_1.data")), a);
  EXPECT_EQ(ReadWhole(dir.Path("COM5_2.data")), b);
  // Left files have their times in full form, the same a save of those bytes writes.
  TimeIndex expected;
  for (size_t at = 0; at < a.size(); at += 4096)
    expected.AddBatch(static_cast<uint32_t>(at), 4096, at % 8192 ? Direction::Sent : Direction::Received,
                      1'700'000'000'000'000'000 + static_cast<int64_t>(at));
  expected.AddEvents(static_cast<uint32_t>(a.size()), Bits(LineEvent::Disconnect), 1'800'000'000'000'000'000);
  EXPECT_EQ(ReadText(dir.Path("COM5_1.idx")), TimesFileText(expected, WholeFilePlan(a.size())));
  EXPECT_EQ(LoadedTimes(dir.Path("COM5_2.idx"), b.size()).Batch(0),
            (TimedBatch{5, 0, 1000, Direction::Received}));
  EXPECT_FALSE(capture_fs::HeldByWriter(dir.Path("COM5_1.idx")));
  // After the stop nothing is taken: the caller keeps what it offers.
  EXPECT_EQ(w.Append(b.data(), 10), 0u);
  EXPECT_EQ(w.GetStatus().Appended, s.Appended);
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

// The recording over the writer: one file per ring (a file is one unbroken run of ring
// positions), named as a save names it (a suffix when two rings end in one second), started by
// the first byte only; the files together are the stream. Off, it writes nothing; a folder it
// cannot write in is trouble that names the bytes not on disk.
TEST(Recording, AFilePerRingNamedAsASaveAndNothingWhileOff) {
  TempDir dir;
  const std::string folder = dir.Path("new/");
  Recording rec([&] { return folder; }, [] { return std::string("/dev/ttyUSB0"); },
                [] { return LocalTime{2026, 12, 10, 14, 30, 5}; });
  const std::vector<uint8_t> a = Bytes(70000, 2), b = Bytes(333, 4);
  rec.Record(a.data(), 0, a.size());  // Record off
  rec.Start();
  EXPECT_FALSE(std::filesystem::exists(folder)) << "no file before the first byte";
  rec.EventsAdded(0, Bits(LineEvent::Reconnect), 7);  // before the first byte: at its offset 0
  rec.Record(a.data(), 0, 1000);
  rec.BatchAdded(0, 1000, Direction::Received, 8);
  rec.Record(a.data(), 1000, a.size() - 1000);
  rec.BatchAdded(1000, 69000, Direction::Sent, 9);
  EXPECT_EQ(rec.CurrentFile(), folder + "ttyUSB0_20261210_143005.data");
  EXPECT_EQ(rec.NextRing(), "");
  rec.Record(b.data(), 0, b.size());
  EXPECT_EQ(rec.CurrentFile(), folder + "ttyUSB0_20261210_143005_1.data");
  rec.Record(b.data(), 0, 3);  // the ring wrapped: a file of its own
  EXPECT_EQ(rec.CurrentFile(), folder + "ttyUSB0_20261210_143005_2.data");
  EXPECT_EQ(rec.Trouble(), "");
  EXPECT_EQ(rec.Stop(), "");
  EXPECT_EQ(ReadWhole(folder + "ttyUSB0_20261210_143005.data"), a);
  EXPECT_EQ(ReadWhole(folder + "ttyUSB0_20261210_143005_1.data"), b);
  EXPECT_EQ(ReadWhole(folder + "ttyUSB0_20261210_143005_2.data"),
            std::vector<uint8_t>(b.begin(), b.begin() + 3));
  const TimeIndex times = LoadedTimes(folder + "ttyUSB0_20261210_143005.idx", a.size());
  ASSERT_EQ(times.BatchCount(), 2u);
  EXPECT_EQ(times.Batch(1), (TimedBatch{9, 1000, 69000, Direction::Sent}));
  ASSERT_EQ(times.EventCount(), 1u);
  EXPECT_EQ(times.Event(0), (TimedEvent{7, 0, Bits(LineEvent::Reconnect)}));
  rec.Record(b.data(), 0, b.size());  // off again
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 6) << "three .data, three .idx";

  testing_support::WriteWhole(dir.Path("file"), {1});
  Recording blocked([&] { return dir.Path("file/"); }, [] { return std::string(); });
  blocked.Start();
  blocked.Record(b.data(), 0, 10);
  const std::string trouble = blocked.Stop();
  EXPECT_EQ(trouble.rfind("Recording: 10 bytes not on disk (", 0), 0u) << trouble;
}

// While the disk fails the writer holds no more than its bound: the rest waits in the ring, the
// trouble counts every byte not on disk, and once the disk works the ticks hand the rest over in
// order. A ring cleared meanwhile gives its waiting bytes to the writer beyond the bound (they
// would be gone otherwise), and the file is still the stream.
TEST(Recording, WhatTheWriterCannotTakeWaitsInTheRingAndCatchesUp) {
  TempDir dir;
  const std::string folder = dir.Path("later/");
  Recording rec([&] { return folder; }, [] { return std::string("COM5"); },
                [] { return LocalTime{2026, 12, 10, 14, 30, 5}; }, 4096);
  // MakeFolders would make the folder: a file in its place keeps it from being made.
  testing_support::WriteWhole(dir.Path("later"), {0});
  const std::vector<uint8_t> ring = Bytes(300000, 6);
  rec.Start();
  for (uint32_t at = 0; at < 200000; at += 25000) rec.Record(ring.data(), at, 25000);
  EXPECT_GE(rec.Held(), 200000u - 4096) << "the writer took more than its bound";
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (rec.Trouble().find("(writing behind)") != std::string::npos &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(2ms);  // until the writer has tried the file
  EXPECT_EQ(rec.Trouble().rfind("Recording: 200000 bytes not on disk (", 0), 0u) << rec.Trouble();
  rec.CatchUp();
  EXPECT_GE(rec.Held(), 200000u - 4096) << "a failing disk takes no more";

  std::filesystem::remove(dir.Path("later"));
  std::filesystem::create_directory(folder);
  while (!rec.Trouble().empty() && std::chrono::steady_clock::now() < until) {
    rec.CatchUp();
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(rec.Trouble(), "");
  EXPECT_EQ(rec.Held(), 0u);
  rec.Record(ring.data(), 200000, 100000);
  // Cleared while most of it waits: nothing is lost.
  EXPECT_EQ(rec.NextRing(), "");
  EXPECT_EQ(rec.Held(), 0u);
  EXPECT_EQ(rec.Stop(), "");
  EXPECT_EQ(ReadWhole(folder + "COM5_20261210_143005.data"), ring);
}

// An unfinished recording (a journal beside its data, no writer holding it) is completed at the
// next start from what the data holds: the journal's entries of bytes on the disk, a torn last
// line ignored, one merged entry for the bytes after the last entry; finished files, and a
// recording still being written, are left alone.
TEST(Recording, AnUnfinishedRecordingsIndexIsCompletedFromItsData) {
  TempDir dir;
  const std::string f = dir.Folder();
  testing_support::WriteWhole(f + "COM5_1.data", Bytes(1000, 1));
  const std::string journal = std::string(TimesJournalHeader) + "\n" +
                              JournalBatchLine(0, 400, Direction::Received, 100) +
                              JournalEventLine(400, Bits(LineEvent::Disconnect), 150) +
                              JournalBatchLine(400, 200, Direction::Sent, 200) +
                              JournalBatchLine(1200, 5, Direction::Received, 300) +  // not on the disk
                              "B 1205 10 R 4";                                       // torn by the crash
  testing_support::WriteWhole(f + "COM5_1.idx", std::vector<uint8_t>(journal.begin(), journal.end()));
  // Only a journal: every byte is in the one completing entry, at the file's time.
  testing_support::WriteWhole(f + "COM5_2.data", Bytes(10, 1));
  const std::string bare = std::string(TimesJournalHeader) + "\n";
  testing_support::WriteWhole(f + "COM5_2.idx", std::vector<uint8_t>(bare.begin(), bare.end()));
  // Finished: left as it is.
  testing_support::WriteWhole(f + "COM5_3.data", Bytes(5, 1));
  const std::string done = "quarlex-times 1\nbytes 5\nbatches 0\nevents 0\nend\n";
  testing_support::WriteWhole(f + "COM5_3.idx", std::vector<uint8_t>(done.begin(), done.end()));
  // Still being written by a writer.
  RecordWriter live;
  live.NextFile(f + "COM5_4.data");
  const std::vector<uint8_t> b = Bytes(50, 3);
  live.Append(b.data(), b.size());
  ASSERT_TRUE(WaitFor(live, [](const RecordWriter::Status& s) { return s.Durable == 50; }));

  const std::vector<std::string> said = CompleteUnfinishedRecordings(f);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(
      said[0],
      "Recording COM5_1.data was not finished: completed its index (1000 bytes, the last 400 timed as one "
      "stretch)");
  EXPECT_EQ(said[1].rfind("Recording COM5_2.data was not finished: completed its index (10 bytes", 0), 0u);
  const TimeIndex one = LoadedTimes(f + "COM5_1.idx", 1000);
  ASSERT_EQ(one.BatchCount(), 3u);
  EXPECT_EQ(one.Batch(1), (TimedBatch{200, 400, 200, Direction::Sent}));
  EXPECT_EQ(one.Batch(2), (TimedBatch{200, 600, 400, Direction::Mixed, true}));
  ASSERT_EQ(one.EventCount(), 1u);
  EXPECT_EQ(one.Event(0).Position, 400u);
  capture_fs::SourceFile two;
  ASSERT_TRUE(two.Open(f + "COM5_2.data"));
  EXPECT_EQ(LoadedTimes(f + "COM5_2.idx", 10).Batch(0),
            (TimedBatch{two.ModifiedNs(), 0, 10, Direction::Mixed, true}));
  EXPECT_EQ(ReadText(f + "COM5_3.idx"), done);
  EXPECT_TRUE(IsTimesJournal(ReadText(f + "COM5_4.idx"))) << "a live recording is not touched";
  EXPECT_TRUE(CompleteUnfinishedRecordings(f).empty()) << "each is completed once";
}

}  // namespace
}  // namespace quarlex
