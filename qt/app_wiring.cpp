#include "qt/app_wiring.h"

#include "qt/about_panel.h"
#include "qt/files_controller.h"
#include "qt/grid_controller.h"
#include "qt/navigation_controller.h"
#include "qt/port_controller.h"
#include "qt/search_controller.h"
#include "qt/send_controller.h"
#include "qt/tap_controller.h"
#include "qt/times_controller.h"
#include "view/renderer.h"

namespace quarlex {

Application::Application(PortMapRoots roots, PortWatchPaths watch)
    : window_(std::make_unique<MainWindow>(static_cast<WindowActions&>(*this))) {
  MainWindow& w = *window_;
  Session& session = w.session();
  const ExchangeWidgets& exchange = w.exchange();
  // Start-up order: the image bitmaps, the renderer, the port watcher and the port settings,
  // then the view defaults, the panels, and the first frames (FormCreate). The window destroys
  // the controllers in the reverse order, the port (whose threads post into the others) first.
  exchange.ImageExch->SizeBitmap();
  exchange.ImageMiniMap->SizeBitmap();
  parts_.renderer = std::make_shared<Renderer>();
  w.Attach(parts_.renderer);
  Renderer& renderer = *parts_.renderer;

  parts_.search =
      w.Attach(std::make_shared<SearchController>(session, w.findPanel(), *w.sendBar().EditSend, w));
  parts_.grid = w.Attach(std::make_shared<GridController>(session, *exchange.ImageExch, *exchange.MemoText,
                                                          renderer, parts_.search->tool()));
  parts_.navigation = w.Attach(std::make_shared<NavigationController>(
      w, session, w.toolbar(), exchange, w, *parts_.search, renderer, &parts_.grid->grid()));
  parts_.send =
      w.Attach(std::make_shared<SendController>(session, w.sendBar(), w, w, &parts_.search->tool()));
  // The port is made after the files; until then (start-up) no port has a name.
  parts_.files =
      w.Attach(std::make_shared<FilesController>(session, w.saveMenu(), *parts_.search, w, w, [this] {
        return parts_.port ? parts_.port->ComPort.Port() : std::string();
      }));
  parts_.times = w.Attach(std::make_shared<TimesController>(session, *exchange.ImageExch,
                                                            *w.saveMenu().PopupMenuSave, *parts_.files, w));
  parts_.about = w.Attach(std::make_shared<AboutPanel>(w, *w.frame().PanelAbout, *w.toolbar().BtnAbout));
  parts_.port = w.Attach(
      std::make_shared<PortController>(w, session, w.statusBar(), std::move(roots), std::move(watch)));
  parts_.send->SetPort(w.Attach(std::make_shared<ComPortSend>(parts_.port->ComPort)));
  parts_.tap = w.Attach(std::make_shared<TapController>(session, *parts_.port, w.statusBar(), w.sendBar()));
  parts_.port->SetTap(parts_.tap);

  parts_.port->Start();
  w.FormCreate();
}

Application::~Application() = default;

void Application::OutExchange() {
  parts_.grid->OutExchange();
}
void Application::OutMiniMap() {
  parts_.navigation->OutMiniMap();
}
void Application::Find() {
  parts_.search->tool().Find();
}
bool Application::SaveClick() {
  return parts_.files->Files().BtnSaveClick();
}
void Application::Open() {
  parts_.files->Files().BtnOpenClick();
}
void Application::FindToggle() {
  parts_.search->tool().BtnFindClick();
}
void Application::FindClose() {
  parts_.search->tool().BtnFindCloseClick();
}
void Application::FindPrevious() {
  parts_.search->tool().UpDownFindClick(FindStep::Previous);
}
void Application::FindNext() {
  parts_.search->tool().UpDownFindClick(FindStep::Next);
}
void Application::HistoryUp() {
  parts_.send->composer().HistoryUp();
}
void Application::HistoryDown() {
  parts_.send->composer().HistoryDown();
}
void Application::KeySeen(const QKeyEvent& key) {
  parts_.navigation->KeySeen(key);
}
void Application::KeyboardLost() {
  parts_.navigation->KeyboardLost();
}
bool Application::Wheel(const QWheelEvent& wheel) {
  return parts_.navigation->Wheel(wheel);
}
void Application::ApplyViewDefaults() {
  parts_.navigation->ApplyViewDefaults();
}

void Application::Closing() {
  if (window_->saveMenu().save_Auto->isChecked()) parts_.files->SaveAtClose();
  parts_.files->StopRecording();
  // A save made just before closing may still be writing its times file.
  parts_.files->Files().FinishTimes();
  parts_.tap->Follow(false);
  parts_.port->Shutdown();
}

}  // namespace quarlex
