#include "qt/about_panel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTextDocument>
#include <QtGlobal>

#include "qt/support/responsiveness.h"
#include "qt/support/stand_in_actions.h"
#include "qt/support/wait.h"
#include "tools/about_server.h"

namespace quarlex {
namespace {

using testing_support::HttpAnswer;
using testing_support::PromoServer;

const QString Blank = QString::fromUtf8(BlankPage.data(), static_cast<qsizetype>(BlankPage.size()));

struct AboutPanelTest : ::testing::Test {
  testing_support::StandInActions actions;
  MainWindow w{actions};
  AboutPanel* about = nullptr;
  std::vector<QUrl> opened;
  int probesWhileWaiting = 0;
  void SetUp() override {
    // The Linux fetch (libcurl) would take a proxy from these and never reach the test server.
    for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) qunsetenv(v);
    about = w.Attach(std::make_shared<AboutPanel>(w, *w.frame().PanelAbout, *w.toolbar().BtnAbout));
    about->OpenUrl = [this](const QUrl& u) { opened.push_back(u); };
    about->Address = "127.0.0.1:" + std::to_string(PromoServer::ClosedPort());
    w.FormCreate();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  }
  bool AboutInFront() {
    return w.childAt(500, 300) && w.frame().PanelAbout->isAncestorOf(w.childAt(500, 300));
  }
};

TEST_F(AboutPanelTest, LayoutAndStartState) {
  EXPECT_EQ(about->PanelInner->geometry(), QRect(30, 30, 1044, 521));
  EXPECT_EQ(about->PanelInner->palette().color(QPalette::Window), QColor(0x4A, 0x54, 0x59));
  EXPECT_EQ(w.frame().PanelAbout->palette().color(QPalette::Window), QColor(0xE6, 0xE6, 0xE6));
  EXPECT_EQ(about->WebBrowser->geometry(), QRect(344, 30, 700, 461));
  EXPECT_EQ(about->BtnAboutClose->geometry(), QRect(959, 0, 50, 35));
  EXPECT_EQ(about->BtnAboutClose->text(), QString(QChar(0x00D7)));
  EXPECT_EQ(about->ImageLogo->geometry(), QRect(44, 30, 70, 70));
  EXPECT_EQ(about->LabelName->text(), "Quarlex");
  EXPECT_EQ(about->LabelNpc3->text(), "version 1.724");
  EXPECT_EQ(about->BtnGoMail->text().toStdString(), ContactAddress());
  EXPECT_EQ(about->BtnGoMail->geometry().topLeft(), QPoint(122, 471));
  // Before the first opening the pane already holds the blank page and the panel is out of sight.
  EXPECT_EQ(about->ShownDocument(), Blank);
  EXPECT_FALSE(AboutInFront());
  EXPECT_EQ(w.windowTitle(), " Quarlex");
}

TEST_F(AboutPanelTest, OpeningWithoutAServerShowsTheBlankPageAndTheCaptionEmpties) {
  QTest::mouseClick(w.toolbar().BtnAbout, Qt::LeftButton);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return !about->Fetching(); }));
  EXPECT_EQ(about->PromoState(), 0);
  EXPECT_EQ(about->ShownDocument(), Blank);
  EXPECT_TRUE(w.frame().PanelAbout->isVisible());
  EXPECT_TRUE(AboutInFront());
  EXPECT_EQ(w.windowTitle(), "");
  QTest::mouseClick(about->BtnAboutClose, Qt::LeftButton);
  EXPECT_EQ(w.windowTitle(), " Quarlex");
  EXPECT_FALSE(w.frame().PanelAbout->isVisible());
  EXPECT_FALSE(AboutInFront());
}

TEST_F(AboutPanelTest, MarkerShowsThePromoPageAndALaterFailureTheBlankPageAgain) {
  const std::string page =
      "<!--pgo1--><html><body><p>Fresh offers</p><img src=\"file:///etc/hostname\"></body></html>";
  {
    PromoServer server(HttpAnswer(page));
    about->Address = server.Address();
    about->BtnAboutClick();
    // The panel is open at once with the blank page; the answer follows.
    EXPECT_TRUE(w.frame().PanelAbout->isVisible());
    EXPECT_EQ(about->ShownDocument(), Blank);
    ASSERT_TRUE(testing_support::WaitUntil([&] { return !about->Fetching(); }));
    EXPECT_EQ(server.Connections(), 1);
  }
  EXPECT_EQ(about->PromoState(), 2);
  EXPECT_EQ(about->ShownDocument().toStdString(), page);
  EXPECT_TRUE(about->WebBrowser->toPlainText().contains("Fresh offers"));
  // The page's picture is not read from the disk.
  EXPECT_FALSE(
      about->WebBrowser->loadResource(QTextDocument::ImageResource, QUrl("file:///etc/hostname")).isValid());
  about->AboutClose();
  EXPECT_EQ(about->ShownDocument().toStdString(), page);  // the pane keeps its document

  {
    PromoServer server(HttpAnswer("<html>no marker</html>"));
    about->Address = server.Address();
    about->BtnAboutClick();
    ASSERT_TRUE(testing_support::WaitUntil([&] { return !about->Fetching(); }));
  }
  EXPECT_EQ(about->PromoState(), 1);
  EXPECT_EQ(about->ShownDocument(), Blank);

  about->Address = "127.0.0.1:" + std::to_string(PromoServer::ClosedPort());
  about->BtnAboutClick();
  ASSERT_TRUE(testing_support::WaitUntil([&] { return !about->Fetching(); }));
  EXPECT_EQ(about->PromoState(), 0);
  EXPECT_EQ(about->ShownDocument(), Blank);
}

// A promo endpoint that takes the connection and never answers: the panel opens at once and the
// window goes on answering while the fetch waits; closing the panel abandons the fetch, and an
// answer arriving for an opening that has ended never changes the pane.
TEST_F(AboutPanelTest, TheWindowAnswersWhileTheFetchWaitsAndClosingAbandonsIt) {
  PromoServer silent("", PromoServer::Mode::Silent);
  about->Address = silent.Address();
  about->Limits.totalMs = 3000;
  const double longest = testing_support::LongestWaitOfPostedTask(
      w, [&] { about->BtnAboutClick(); },
      [&] { return about->Fetching() && silent.Connections() == 1 ? ++probesWhileWaiting < 30 : true; });
  EXPECT_LT(longest, 100.0) << "a task posted to the window waited " << longest << " ms";
  EXPECT_TRUE(about->Fetching());
  EXPECT_TRUE(w.frame().PanelAbout->isVisible());
  about->AboutClose();
  EXPECT_FALSE(about->Fetching());
  EXPECT_EQ(about->PromoState(), 0);

  // Opened again against an endpoint with the promo page, closed before its answer is taken.
  PromoServer promo(HttpAnswer("<!--pgo1--><p>Too late</p>"));
  about->Address = promo.Address();
  about->BtnAboutClick();
  about->AboutClose();
  about->FinishFetch();
  QCoreApplication::processEvents();
  EXPECT_EQ(about->ShownDocument(), Blank);
  EXPECT_EQ(about->PromoState(), 0);
}

TEST_F(AboutPanelTest, FrameClickClosesInnerClickDoesNot) {
  about->BtnAboutClick();
  QTest::mouseClick(about->PanelInner, Qt::LeftButton, {}, QPoint(200, 420));  // empty spot
  QTest::mouseClick(about->LabelName, Qt::LeftButton);
  EXPECT_TRUE(w.frame().PanelAbout->isVisible());
  EXPECT_EQ(w.windowTitle(), "");
  QTest::mouseClick(w.frame().PanelAbout, Qt::LeftButton, {}, QPoint(10, 300));  // the frame
  EXPECT_FALSE(w.frame().PanelAbout->isVisible());
  EXPECT_EQ(w.windowTitle(), " Quarlex");
}

TEST_F(AboutPanelTest, MailLinkAndPageLinksGoThroughTheDesktop) {
  about->BtnAboutClick();
  QTest::mouseClick(about->BtnGoMail, Qt::LeftButton);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].toString().toStdString(), "mailto:" + ContactAddress());
  emit about->WebBrowser->anchorClicked(QUrl("file:///etc/passwd"));
  emit about->WebBrowser->anchorClicked(QUrl("https://example.com/offer"));
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[1], QUrl("https://example.com/offer"));
}

}  // namespace
}  // namespace quarlex
