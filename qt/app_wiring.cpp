#include "qt/app_wiring.h"

#include "qt/about_panel.h"
#include "qt/files_controller.h"
#include "qt/grid_controller.h"
#include "qt/main_window.h"
#include "qt/navigation_controller.h"
#include "qt/port_controller.h"
#include "qt/search_controller.h"
#include "qt/send_controller.h"
#include "qt/times_controller.h"
#include "view/renderer.h"

namespace quarlex {

AppParts WireApplication(MainWindow& w, PortMapRoots roots, PortWatchPaths watch) {
  AppParts parts;
  // Start-up order: the image bitmaps, the renderer, the port watcher and the port settings,
  // then the view defaults, the panels, and the first frames (FormCreate).
  w.ImageExch->SizeBitmap();
  w.ImageMiniMap->SizeBitmap();
  parts.renderer = std::make_shared<Renderer>();
  w.Attach(parts.renderer);
  Renderer& renderer = *parts.renderer;

  auto grid = std::make_shared<GridController>(w, renderer);
  parts.grid = w.Attach(grid);
  auto search = std::make_shared<SearchController>(w);
  parts.search = w.Attach(search);
  auto nav = std::make_shared<NavigationController>(w, renderer);
  parts.navigation = w.Attach(nav);
  auto send = std::make_shared<SendController>(w, parts.search);
  parts.send = w.Attach(send);
  auto files = std::make_shared<FilesController>(w);
  parts.files = w.Attach(files);
  auto times = std::make_shared<TimesController>(w.session(), *w.ImageExch, *w.PopupMenuSave, *files, w);
  parts.times = w.Attach(times);
  auto about = std::make_shared<AboutPanel>(w);
  parts.about = w.Attach(about);
  auto port = std::make_shared<PortController>(w, std::move(roots), std::move(watch));
  parts.port = w.Attach(port);
  auto sendPort = std::make_shared<ComPortSend>(port->ComPort);
  w.Attach(sendPort);
  parts.send->SetPort(sendPort.get());

  SearchTool& tool = parts.search->tool();
  parts.grid->ViewState = [&tool] {
    return GridViewState{tool.CurrentMatchIndex(), tool.SearchHitCount() ? tool.SearchPatternLength() : 0u};
  };
  ExchangeGrid& exchange = parts.grid->grid();
  parts.navigation->MarkerSeen = [&exchange] { return exchange.MarkerSeen; };
  parts.navigation->ClearFind = [&tool] { tool.ClearFind(); };
  parts.files->PortNameSource = [p = parts.port] { return p->ComPort.Port(); };
  NavigationController* navigation = parts.navigation;
  w.ViewDefaultsHook = [navigation] { navigation->ApplyViewDefaults(); };
  AboutPanel* aboutPanel = parts.about;
  navigation->ApplyHoverStyle(aboutPanel->BtnAboutClose, "BtnAboutClose");
  navigation->ApplyHoverStyle(aboutPanel->BtnGoMail, "BtnGoMail");
  w.ClearUiHook = [aboutPanel] { aboutPanel->ShowBlankPage(); };
  FilesController* filesController = parts.files;
  PortController* portController = parts.port;
  w.CloseHook = [&w, filesController, portController] {
    if (w.save_Auto->isChecked()) filesController->SaveAtClose();
    portController->Shutdown();
  };

  portController->Start();
  w.FormCreate();
  return parts;
}

}  // namespace quarlex
