#pragma once
// Puts the whole program together on a main window: the renderer, the grid, navigation and
// minimap, search, send, capture files and their times, the About panel and the port controls.
// This is the one place that connects them: each controller is given, when it is made, the
// panels and the other objects it works with, and the window's actions go to their owners here.
#include <memory>

#include "app/port_watcher.h"
#include "ports/port_map.h"
#include "qt/main_window.h"

namespace quarlex {

class Renderer;
class GridController;
class NavigationController;
class SearchController;
class SendController;
class FilesController;
class AboutPanel;
class PortController;
class TapController;
class TimesController;

struct AppParts {
  std::shared_ptr<Renderer> renderer;
  GridController* grid = nullptr;
  NavigationController* navigation = nullptr;
  SearchController* search = nullptr;
  SendController* send = nullptr;
  FilesController* files = nullptr;
  AboutPanel* about = nullptr;
  PortController* port = nullptr;
  TapController* tap = nullptr;
  TimesController* times = nullptr;
};

// The window with every controller attached (they live as long as it does), after the start-up
// sequence. `roots` and `watch` locate the serial ports; tests give temporary folders.
// Main thread only.
class Application final : private WindowActions {
 public:
  explicit Application(PortMapRoots roots = PortMapRoots::System(),
                       PortWatchPaths watch = PortWatchPaths::System());
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  MainWindow& window() { return *window_; }
  const AppParts& parts() const { return parts_; }

 private:
  // WindowActions
  void OutExchange() override;
  void OutMiniMap() override;
  void Find() override;
  bool SaveClick() override;
  void Open() override;
  void FindToggle() override;
  void FindClose() override;
  void FindPrevious() override;
  void FindNext() override;
  void HistoryUp() override;
  void HistoryDown() override;
  void KeySeen(const QKeyEvent& key) override;
  void KeyboardLost() override;
  bool Wheel(const QWheelEvent& wheel) override;
  void ApplyViewDefaults() override;
  void Closing() override;

  std::unique_ptr<MainWindow> window_;
  AppParts parts_;
};

}  // namespace quarlex
