#include "qt/about_panel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "qt/window_caption.h"

namespace quarlex {

namespace {

const QColor FrameBack(230, 230, 230);  // #E6E6E6
const QColor InnerBack(74, 84, 89);     // #4A5459
const QColor Bright(204, 204, 204);     // #CCCCCC
const QColor Dim(170, 170, 170);        // #AAAAAA

QFont Font(const char* family, int px) {
  QFont f(family);
  f.setPixelSize(px);
  return f;
}

QLabel* Text(QWidget* parent, const QString& text, const QRect& r, const QFont& font, const QColor& colour,
             Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter) {
  auto* l = new QLabel(text, parent);
  l->setGeometry(r);
  l->setFont(font);
  l->setAlignment(align);
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, colour);
  l->setPalette(p);
  return l;
}

// The logo: a nine-pin serial connector with the letters COM.
QPixmap Logo() {
  QPixmap pm(70, 70);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath shell;
  shell.moveTo(4, 16);
  shell.lineTo(66, 16);
  shell.lineTo(58, 50);
  shell.lineTo(12, 50);
  shell.closeSubpath();
  p.setPen(QPen(Bright, 3));
  p.setBrush(Qt::NoBrush);
  p.drawPath(shell);
  p.setPen(Qt::NoPen);
  p.setBrush(Bright);
  for (int i = 0; i < 5; ++i) p.drawEllipse(QPointF(15 + i * 10, 26), 2.5, 2.5);
  for (int i = 0; i < 4; ++i) p.drawEllipse(QPointF(20 + i * 10, 38), 2.5, 2.5);
  p.setPen(Bright);
  p.setFont(Font("Segoe UI Semibold", 13));
  p.drawText(QRect(0, 52, 70, 18), Qt::AlignCenter, "COM");
  return pm;
}

// A mouse, 23 x 23, with its left or right button filled.
QPixmap Mouse(bool left) {
  QPixmap pm(23, 23);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF body(5.5, 1.5, 12, 20);
  p.setPen(QPen(Bright, 1.5));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(body, 6, 6);
  p.drawLine(QPointF(5.5, 9.5), QPointF(17.5, 9.5));
  p.drawLine(QPointF(11.5, 1.5), QPointF(11.5, 9.5));
  QPainterPath button;
  button.addRect(left ? QRectF(5.5, 1.5, 6, 8) : QRectF(11.5, 1.5, 6, 8));
  QPainterPath clip;
  clip.addRoundedRect(body, 6, 6);
  p.fillPath(button.intersected(clip), Bright);
  return pm;
}

QLabel* Picture(QWidget* parent, const QPixmap& pm, const QRect& r) {
  auto* l = new QLabel(parent);
  l->setGeometry(r);
  l->setPixmap(pm);
  return l;
}

}  // namespace

PromoBrowser::PromoBrowser(QWidget* parent) : QTextBrowser(parent) {
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setReadOnly(true);
  setFrameShape(QFrame::NoFrame);
  setContextMenuPolicy(Qt::NoContextMenu);
  viewport()->setCursor(Qt::ArrowCursor);
}

QVariant PromoBrowser::loadResource(int, const QUrl&) {
  return {};  // a page from the network must not make us read files or fetch anything
}

AboutPanel::AboutPanel(QWidget& window, QWidget& panel, ClickLabel& openButton)
    : window_(window), panel_(panel) {
  OpenUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
  Build();
  ShowBlankPage();
  QObject::connect(&openButton, &ClickLabel::clicked, this, [this] { BtnAboutClick(); });
  QObject::connect(BtnAboutClose, &ClickLabel::clicked, this, [this] { AboutClose(); });
  QObject::connect(BtnGoMail, &ClickLabel::clicked, this, [this] { BtnGoMailClick(); });
  QObject::connect(WebBrowser, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
    // Links of a promo page open in the desktop's browser, and only web links do.
    if (url.scheme() == "http" || url.scheme() == "https") OpenUrl(url);
  });
  panel_.installEventFilter(this);
  PanelInner->installEventFilter(this);
}

void AboutPanel::Build() {
  QWidget* outer = &panel_;
  outer->setGeometry(0, 0, MainWindow::ClientWidth, MainWindow::ClientHeight);
  outer->setAutoFillBackground(true);
  QPalette op = outer->palette();
  op.setColor(QPalette::Window, FrameBack);
  outer->setPalette(op);

  PanelInner = new QWidget(outer);
  PanelInner->setGeometry(30, 30, MainWindow::ClientWidth - 60, MainWindow::ClientHeight - 60);
  PanelInner->setAutoFillBackground(true);
  QPalette ip = PanelInner->palette();
  ip.setColor(QPalette::Window, InnerBack);
  PanelInner->setPalette(ip);

  const QFont semibold15 = Font("Segoe UI Semibold", 15);
  const QFont plain15 = Font("Segoe UI", 15);
  ImageLogo = Picture(PanelInner, Logo(), QRect(44, 30, 70, 70));
  LabelName = Text(PanelInner, "Quarlex", QRect(122, 38, 200, 26), Font("Segoe UI Semibold", 19), Bright);
  LabelNpc3 = Text(PanelInner, "version 1.724", QRect(122, 69, 200, 22), semibold15, Dim);

  struct Row {
    const char* key;  // right-aligned, ending near x = 100
    int mouse;        // 0 none, 1 left button, 2 right button
    const char* description;
  };
  const Row rows[] = {
      {"", 1, "Select"},
      {"", 2, "Marker"},
      {"Ctrl +", 2, "Choose a marker color"},
      {"Ctrl + F", 0, "Find"},
      {"F2", 0, "Prev search"},
      {"F3", 0, "Next search"},
      {"Ctrl + O", 0, "Open file"},
      {"Ctrl + S", 0, "Save to file"},
  };
  int y = 172;
  for (const Row& r : rows) {
    const int keyRight = r.mouse ? 72 : 100;
    if (*r.key)
      Text(PanelInner, r.key, QRect(0, y, keyRight, 26), semibold15, Bright,
           Qt::AlignRight | Qt::AlignVCenter);
    if (r.mouse) Picture(PanelInner, Mouse(r.mouse == 1), QRect(77, y + 1, 23, 23));
    Text(PanelInner, r.description, QRect(122, y, 215, 26), plain15, Dim);
    y += 26;
  }

  Text(PanelInner, "e-mail", QRect(0, 471, 100, 26), plain15, Dim, Qt::AlignRight | Qt::AlignVCenter);
  BtnGoMail = new ClickLabel(QString::fromStdString(ContactAddress()), PanelInner);
  BtnGoMail->setGeometry(122, 471, 215, 26);
  BtnGoMail->setFont(semibold15);
  BtnGoMail->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  BtnGoMail->SetColours({InnerBack, Bright, InnerBack, Bright, InnerBack, Bright});

  WebBrowser = new PromoBrowser(PanelInner);
  WebBrowser->setGeometry(344, 30, 700, 461);
  QPalette bp = WebBrowser->palette();
  bp.setColor(QPalette::Base, InnerBack);
  bp.setColor(QPalette::Text, Bright);
  WebBrowser->setPalette(bp);

  BtnAboutClose = new ClickLabel(QString(QChar(0x00D7)), PanelInner);
  BtnAboutClose->setGeometry(959, 0, 50, 35);
  BtnAboutClose->setFont(Font("Arial", 29));
  const QColor red(201, 79, 77), white(254, 254, 254);
  BtnAboutClose->SetColours({red, white, red, white, red, white});
  ApplyHoverStyle(*BtnAboutClose, "BtnAboutClose");
  ApplyHoverStyle(*BtnGoMail, "BtnGoMail");
}

void AboutPanel::Show(const QString& html) {
  shown_ = html;
  WebBrowser->setHtml(html);
}

void AboutPanel::ShowBlankPage() {
  Show(QString::fromUtf8(BlankPage.data(), static_cast<qsizetype>(BlankPage.size())));
}

void AboutPanel::BtnAboutClick() {
  SetWindowCaption(window_, QString());
  // Nothing of an earlier answer is shown: the blank page until this opening's answer says
  // otherwise. The window goes on meanwhile (receiving, the tick, drawing).
  ShowBlankPage();
  fetcher_.Start(Address, Limits);
  panel_.show();
  panel_.raise();
}

void AboutPanel::ShowPromoPage(const std::string& answer) {
  // The promo page is the answer just read (the same request would fetch it again).
  Show(QString::fromUtf8(answer.data(), static_cast<qsizetype>(answer.size())));
}

void AboutPanel::AboutClose() {
  fetcher_.Abandon();
  SetWindowCaption(window_, " Quarlex");
  panel_.lower();
  panel_.hide();
}

void AboutPanel::BtnGoMailClick() {
  OpenUrl(QUrl("mailto:" + QString::fromStdString(ContactAddress())));
}

bool AboutPanel::eventFilter(QObject* watched, QEvent* event) {
  const bool mouse = event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease;
  if (mouse && watched == PanelInner) return true;  // clicks inside the inner panel do nothing
  if (event->type() == QEvent::MouseButtonRelease && watched == &panel_ &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    AboutClose();  // a click on the frame around the inner panel
    return true;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace quarlex
