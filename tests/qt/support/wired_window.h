#pragma once
// A fully wired window whose serial ports come from a private scratch tree (Linux: an empty
// sysfs, a device folder and a port-link folder; Windows: a SERIALCOMM-like registry key of the
// test's own), so window tests see only the ports they create.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "qt/app_wiring.h"
#include "tests/qt/support/scratch_ports.h"

namespace quarlex::testing_support {

class WiredWindow {
 public:
  WiredWindow() {
    namespace fs = std::filesystem;
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
      const fs::path p = fs::temp_directory_path() /
                         ("quarlex-window-" + std::to_string(stamp) + "-" + std::to_string(counter++));
      if (fs::create_directory(p)) root_ = p;
    }
    if (root_.empty()) throw std::runtime_error("cannot make a scratch folder");
    for (const char* d : {"sys/class/tty", "dev", "ports"}) fs::create_directories(root_ / d);
    fs::permissions(root_ / "ports", fs::perms::owner_all, fs::perm_options::replace);
  }
  ~WiredWindow() {
    app_.reset();
    RemoveScratchPorts(root_);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  WiredWindow(const WiredWindow&) = delete;
  WiredWindow& operator=(const WiredWindow&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path LinkFolder() const { return root_ / "ports"; }

  // Where the window's port map looks.
  PortMapRoots Roots() const { return ScratchPortRoots(root_); }
  // Makes port `number` appear in the window's map, for tests whose ports are scripted fake
  // lines (ScriptedLine): what it would open is never opened.
  void AddPort(int number) { AddScratchPort(root_, number); }

  // Builds and wires the window; the timer is stopped so tests tick by hand.
  AppParts Start() {
    app_ = std::make_unique<Application>(ScratchPortRoots(root_), ScratchPortWatch(root_));
    app_->window().frame().TimerMain->stop();
    return app_->parts();
  }
  MainWindow* Window() const { return app_ ? &app_->window() : nullptr; }
  void Destroy() { app_.reset(); }

 private:
  std::filesystem::path root_;
  std::unique_ptr<Application> app_;
};

}  // namespace quarlex::testing_support
