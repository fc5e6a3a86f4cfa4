#pragma once
// The capture-file tests' fixture: a scratch folder as the save folder, the window and the
// files UI as fakes, and a fixed clock.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/app/support/fake_session_ui.h"
#include "tools/capture_files.h"
#include "tools/files_support.h"

namespace quarlex::testing_support {

constexpr LocalTime July1 = {2024, 7, 1, 14, 5, 9};

using Shown = testing::FakeSessionUi::Shown;

struct FilesUiFake : FilesUi {
  std::string port = "COM3";
  SaveMode mode = SaveMode::Interval;
  std::string chosen;
  int findCloses = 0, redraws = 0, dialogs = 0;
  std::string PortName() override { return port; }
  SaveMode CheckedSaveMode() override { return mode; }
  std::string ChooseFileToOpen() override {
    ++dialogs;
    return chosen;
  }
  void CloseFindPanel() override { ++findCloses; }
  void Redraw() override { ++redraws; }
};

struct FilesTest : ::testing::Test {
  TempDir dir;
  testing::FakeSessionUi window;  // its Save button runs the real file save
  FilesUiFake ui;
  Session session{window};
  LocalTime now = July1;
  CaptureFiles files{session, ui, [this] { return now; }};
  std::mt19937_64 rng{1234};

  void SetUp() override {
    window.save = [this] { return files.BtnSaveClick(); };
    session.ExeFolder = dir.Folder();
  }
  CaptureStore& store() { return session.Store; }
  // Received bytes with distinct-looking values.
  std::vector<uint8_t> Receive(size_t n) {
    // Eight random bytes per draw: a full ring is 32 MiB.
    std::vector<uint8_t> b((n + 7) & ~size_t{7});
    for (size_t i = 0; i < b.size(); i += 8) {
      const uint64_t r = rng();
      std::memcpy(b.data() + i, &r, 8);
    }
    b.resize(n);
    size_t taken = 0;
    while (taken < n) {
      const size_t t = store().AppendReceived(b.data() + taken, n - taken);
      if (t == 0) break;
      taken += t;
    }
    b.resize(taken);
    return b;
  }
  std::vector<uint8_t> Ring(uint32_t from, uint32_t to) {
    return {store().CaptureBuffer + from, store().CaptureBuffer + to};
  }
  std::vector<uint8_t> Saved(const std::string& name) { return ReadWhole(dir.Path(name)); }
  const Shown& LastMessage() {
    EXPECT_FALSE(window.messages.empty());
    return window.messages.back();
  }
};

}  // namespace quarlex::testing_support
