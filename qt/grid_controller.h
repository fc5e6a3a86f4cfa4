#pragma once
// Presents the exchange grid into ImageExch and the text column into MemoText: the session's
// OutExchange. A width change of ImageExch (a new device pixel ratio) re-sizes its frame and
// redraws.
#include <QObject>

#include "app/session.h"
#include "tools/search.h"
#include "view/exchange_grid.h"
#include "view/renderer.h"

class QPlainTextEdit;

namespace quarlex {

class ImageControl;

class GridController : public QObject {
  Q_OBJECT
 public:
  // Draws `session`'s capture with the current match of `search` marked.
  GridController(Session& session, ImageControl& image, QPlainTextEdit& memo, Renderer& renderer,
                 const SearchTool& search);

  void OutExchange();
  // FormPaint: a frame is due when ImageExch's width changed since the last one.
  void FormPaint();
  ExchangeGrid& grid() { return grid_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  Session& session_;
  ImageControl& image_;
  QPlainTextEdit& memo_;
  const SearchTool& search_;
  ExchangeGrid grid_;
  std::string lastMemo_;
};

}  // namespace quarlex
