#pragma once
// Presents the exchange grid into ImageExch and the text column into MemoText: the window's
// OutExchangeHook. A width change of ImageExch (a new device pixel ratio) re-sizes its frame and
// redraws.
#include <QObject>
#include <functional>

#include "view/exchange_grid.h"
#include "view/renderer.h"

namespace quarlex {

class MainWindow;

class GridController : public QObject {
  Q_OBJECT
 public:
  GridController(MainWindow& window, Renderer& renderer);

  // The search state the grid shows (the current match); set by the wiring.
  std::function<GridViewState()> ViewState;

  void OutExchange();
  // FormPaint: a frame is due when ImageExch's width changed since the last one.
  void FormPaint();
  ExchangeGrid& grid() { return grid_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  MainWindow& w_;
  ExchangeGrid grid_;
  std::string lastMemo_;
};

}  // namespace quarlex
