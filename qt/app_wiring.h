#pragma once
// Puts the whole program together on a main window: the renderer, the grid, navigation and
// minimap, search, send, capture files and their times, the About panel and the port controls.
#include <memory>

#include "serial/port_map.h"
#include "app/port_watcher.h"

namespace quarlex {

class MainWindow;
class Renderer;
class GridController;
class NavigationController;
class SearchController;
class SendController;
class FilesController;
class AboutPanel;
class PortController;
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
  TimesController* times = nullptr;
};

// Attaches every controller to `window` (they live as long as it does) and runs the start-up
// sequence. `roots` and `watch` locate the serial ports; tests give temporary folders.
AppParts WireApplication(MainWindow& window, PortMapRoots roots = PortMapRoots::System(),
                         PortWatchPaths watch = PortWatchPaths::System());

}  // namespace quarlex
