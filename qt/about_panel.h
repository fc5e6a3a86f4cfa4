#pragma once
// The About panel: an overlay over the whole window with the logo, name and version, the guide
// to mouse and keyboard commands, the contact link and a browser pane that shows the blank page
// or, when the promo endpoint answers with the marker, the promo page. Built into the window's
// PanelAbout; opened by the " ? " button. Main thread only. Opening shows the panel at once with
// the blank page; the promo fetch runs on a worker (PromoFetcher) and its answer, if it comes
// while the panel is still open, puts the promo page in.
#include <QLabel>
#include <QTextBrowser>
#include <QUrl>
#include <functional>
#include <string>

#include "qt/click_label.h"
#include "qt/main_window.h"
#include "qt/window_queue.h"
#include "tools/about.h"

namespace quarlex {

// A browser pane that shows only the document it is given: it runs no scripts (it has no script
// engine), fetches nothing on its own (no images, no style sheets from anywhere) and follows no
// link by itself.
class PromoBrowser : public QTextBrowser {
  Q_OBJECT
 public:
  explicit PromoBrowser(QWidget* parent);
  QVariant loadResource(int type, const QUrl& name) override;
};

class AboutPanel : public QObject, private PromoPage {
 public:
  // Fills the window's PanelAbout `panel`, shows the blank page and connects the " ? " button
  // `openButton`; `window` shows the caption.
  AboutPanel(QWidget& window, QWidget& panel, ClickLabel& openButton);

  void BtnAboutClick();   // opens the panel and starts the promo fetch
  void AboutClose();      // closes it; a fetch still running is abandoned
  void BtnGoMailClick();  // the contact link
  void ShowBlankPage();

  uint8_t PromoState() const { return fetcher_.PromoState(); }
  // The fetch of this opening has not answered yet.
  bool Fetching() const { return fetcher_.Fetching(); }
  // Waits for the running fetch and takes its answer now (tests, benchmarks).
  void FinishFetch() { fetcher_.Finish(); }
  // The document last put into the browser pane, as given.
  const QString& ShownDocument() const { return shown_; }

  // Where the promo fetch goes and how long it may take; tests point it at a loopback server.
  std::string Address = PromoAddress();
  PromoLimits Limits;
  // Opens a URL through the desktop; tests replace it.
  std::function<void(const QUrl&)> OpenUrl;

  // Controls, named as the program's design names them.
  QWidget* PanelInner;
  QLabel* ImageLogo;
  QLabel* LabelName;
  QLabel* LabelNpc3;  // version
  PromoBrowser* WebBrowser;
  ClickLabel* BtnAboutClose;
  ClickLabel* BtnGoMail;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Show(const QString& html);
  void Build();
  void ShowPromoPage(const std::string& answer) override;
  QWidget& window_;
  QWidget& panel_;
  QString shown_;
  WindowQueue queue_{*this};
  PromoFetcher fetcher_{queue_, *this};  // last: its worker ends before the rest goes
};

}  // namespace quarlex
