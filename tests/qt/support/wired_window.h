#pragma once
// A fully wired window whose serial ports come from a private scratch tree (an empty sysfs, a
// device folder and a port-link folder), so window tests see only the ports they create.
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include "qt/app_wiring.h"

namespace quarlex::testing_support {

class WiredWindow {
 public:
  WiredWindow() {
    char tmpl[] = "/tmp/quarlex-window-XXXXXX";
    root_ = mkdtemp(tmpl);
    for (const char* d : {"sys/class/tty", "dev", "ports"}) std::filesystem::create_directories(root_ / d);
    chmod((root_ / "ports").c_str(), 0700);
  }
  ~WiredWindow() {
    app_.reset();
    std::filesystem::remove_all(root_);
  }
  WiredWindow(const WiredWindow&) = delete;
  WiredWindow& operator=(const WiredWindow&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path LinkFolder() const { return root_ / "ports"; }

  // Where the window's port map looks.
  PortMapRoots Roots() const {
    PortMapRoots roots;
    roots.Sysfs = root_ / "sys";
    roots.Dev = root_ / "dev";
    roots.LinkFolder = LinkFolder();
    roots.StateFile = root_ / "state";
    return roots;
  }

  // Builds and wires the window; the timer is stopped so tests tick by hand.
  AppParts Start() {
    const PortMapRoots roots = Roots();
    PortWatchPaths watch;
    watch.Dev = root_ / "dev";
    watch.ById = root_ / "by-id";
    watch.LinkFolder = LinkFolder();
    watch.DeviceEvents = false;
    app_ = std::make_unique<Application>(roots, watch);
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
