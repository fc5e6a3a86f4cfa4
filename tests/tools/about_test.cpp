#include "tools/about.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tools/about_server.h"
#include "tools/support/posted_tasks.h"

namespace quarlex {
namespace {

using testing_support::HttpAnswer;
using testing_support::PromoServer;

// The system's proxy settings must not send loopback test requests elsewhere.
struct AboutTest : ::testing::Test {
  void SetUp() override {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
      testing_support::loopback::Unset(v);
  }
};

TEST(BlankPageTest, IsTheEmptyPageInThePanelsColours) {
  EXPECT_EQ(BlankPage.size(), 414u);
  EXPECT_TRUE(BlankPage.starts_with("<!DOCTYPE html><head><title>.</title><meta charset=\"utf-8\">"));
  EXPECT_NE(BlankPage.find("color:#cccccc;background:#4a5459;"), std::string_view::npos);
  EXPECT_TRUE(BlankPage.ends_with("<body oncontextmenu=\"return false\" scroll=\"auto\"></body></html>"));
  EXPECT_EQ(BlankPage.find('\n'), std::string_view::npos);
}

TEST(PromoAddressTest, SplitsHostAndPath) {
  struct Case {
    const char* address;
    const char* host;
    const char* path;
  };
  for (const Case& c :
       {Case{"promo.example.com", "promo.example.com", ""},
        Case{"http://promo.example.com", "promo.example.com", ""},
        Case{"promo.example.com/", "promo.example.com", ""},
        Case{"http://h:8080/a/b?c=1", "h:8080", "a/b?c=1"}, Case{"https://h/x", "https:", "/h/x"}}) {
    SCOPED_TRACE(c.address);
    const PromoTarget t = SplitPromoAddress(c.address);
    EXPECT_EQ(t.host, c.host);
    EXPECT_EQ(t.path, c.path);
  }
}

TEST(PromoAddressTest, DefaultBuildPointsUnderTheReservedInvalidDomain) {
  // Configured with cmake -DQUARLEX_PROMO_ADDRESS=...; a build that overrides it skips this.
  if (!IsReservedInvalidHost(SplitPromoAddress(PromoAddress()).host)) GTEST_SKIP() << PromoAddress();
  EXPECT_EQ(FetchPromo(PromoAddress()).PromoState, 0);
  EXPECT_FALSE(ContactAddress().empty());
  EXPECT_NE(ContactAddress().find('@'), std::string::npos);
}

TEST(PromoAddressTest, ReservedInvalidHosts) {
  EXPECT_TRUE(IsReservedInvalidHost("promo.quarlex.invalid"));
  EXPECT_TRUE(IsReservedInvalidHost("Promo.INVALID."));
  EXPECT_TRUE(IsReservedInvalidHost("x.invalid:8080"));
  EXPECT_FALSE(IsReservedInvalidHost("invalid.example.com"));
  EXPECT_FALSE(IsReservedInvalidHost("127.0.0.1:80"));
}

// The request line first, then exactly these header lines (HTTP clients order them as they
// like), then the empty line.
TEST_F(AboutTest, SendsExactlyTheAgreedRequest) {
  PromoServer server(HttpAnswer("hello"));
  const PromoResult r = FetchPromo(server.Address());
  const std::string request = server.Request();
  ASSERT_TRUE(request.starts_with("GET / HTTP/1.0\r\n")) << request;
  ASSERT_TRUE(request.ends_with("\r\n\r\n")) << request;
  std::vector<std::string> headers;
  for (size_t at = request.find("\r\n") + 2; at < request.size() - 2;) {
    const size_t end = request.find("\r\n", at);
    headers.push_back(request.substr(at, end - at));
    at = end + 2;
  }
  std::sort(headers.begin(), headers.end());
  const std::vector<std::string> expected = {
      "Accept: text/*", "Content-Type: application/x-www-form-urlencoded",
      "Host: 127.0.0.1:" + std::to_string(server.Port()), "Pragma: no-cache", "User-Agent: Torv"};
  EXPECT_EQ(headers, expected);
  EXPECT_EQ(r.PromoState, 1);
  EXPECT_EQ(r.answer, "hello");
}

TEST_F(AboutTest, AsksForThePathOfTheAddressAndIgnoresTheScheme) {
  PromoServer server(HttpAnswer("<!--pgo1-->"));
  const PromoResult r = FetchPromo("http://" + server.Address("/promo/page.html"));
  EXPECT_TRUE(server.Request().starts_with("GET /promo/page.html HTTP/1.0\r\n"));
  EXPECT_EQ(r.PromoState, 2);
}

TEST_F(AboutTest, MarkerRule) {
  struct Case {
    const char* what;
    std::string body;
    std::string status;
    int state;
  };
  const Case cases[] = {
      {"marker, then anything", "<!--pgo1--><html>promo</html>", "200 OK", 2},
      {"exactly the marker", "<!--pgo1-->", "200 OK", 2},
      {"marker absent", "<html>nothing</html>", "200 OK", 1},
      {"white space before the marker", " \r\n<!--pgo1-->", "200 OK", 1},
      {"marker in capitals", "<!--PGO1-->", "200 OK", 1},
      {"marker cut short", "<!--pgo1--", "200 OK", 1},
      {"empty body", "", "200 OK", 1},
      {"an error page is still an answer", "<!--pgo1-->", "404 Not Found", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PromoServer server(HttpAnswer(c.body, c.status));
    const PromoResult r = FetchPromo(server.Address());
    EXPECT_EQ(r.PromoState, c.state);
    EXPECT_EQ(r.answer, c.body);
  }
}

// Each platform's fetch ends in this verdict; the cases a loopback server cannot easily stage.
TEST(PromoAnswerTest, AnAnswerNeedsAStatusLineOrAFinishedExchange) {
  struct Case {
    const char* what;
    std::string body;
    PromoTransfer transfer;
    int state;
  };
  const Case cases[] = {
      {"finished", "<!--pgo1-->x", {.complete = true, .status = 200}, 2},
      {"finished without a status", "", {.complete = true}, 1},
      {"cut at the limit", "<!--pg", {.status = 200, .cut = true}, 1},
      {"ended in the body", "<!--pgo1--><p", {.status = 404}, 2},
      {"ended before the body", "", {.status = 200}, 0},
      {"bytes without a status line", "<!--pgo1-->", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PromoResult r = PromoAnswer(c.body, c.transfer);
    EXPECT_EQ(r.PromoState, c.state);
    EXPECT_EQ(r.answer, c.state ? c.body : "");
  }
}

TEST_F(AboutTest, NoServerMeansNoAnswer) {
  const PromoResult r = FetchPromo("127.0.0.1:" + std::to_string(PromoServer::ClosedPort()));
  EXPECT_EQ(r.PromoState, 0);
  EXPECT_TRUE(r.answer.empty());
  EXPECT_EQ(FetchPromo("").PromoState, 0);
}

TEST_F(AboutTest, HugeAnswerIsCutAtTheLimit) {
  PromoServer server(HttpAnswer("<!--pgo1-->"), PromoServer::Mode::Answer, uint64_t{10} << 20);
  const PromoResult r = FetchPromo(server.Address());
  EXPECT_EQ(r.PromoState, 2);
  EXPECT_EQ(r.answer.size(), size_t{64 * 1024});
  EXPECT_EQ(r.answer.substr(11, 5), "xxxxx");
}

TEST_F(AboutTest, SilentServerEndsAtTheTimeOut) {
  PromoServer server("", PromoServer::Mode::Silent);
  PromoLimits quick;
  quick.totalMs = 200;
  const PromoResult r = FetchPromo(server.Address(), quick);
  EXPECT_EQ(r.PromoState, 0);
  EXPECT_EQ(server.Connections(), 1);
}

TEST_F(AboutTest, AnswerThatStallsMidBodyKeepsWhatArrived) {
  // Headers and the marker arrive, then the server goes quiet without closing.
  PromoServer server("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<!--pgo1--><p>",
                     PromoServer::Mode::Stall);
  PromoLimits quick;
  quick.totalMs = 300;
  const PromoResult r = FetchPromo(server.Address(), quick);
  EXPECT_EQ(r.answer, "<!--pgo1--><p>");
  EXPECT_EQ(r.PromoState, 2);
}

TEST_F(AboutTest, LimitBelowTheMarkerLengthNeverMatches) {
  PromoServer server(HttpAnswer("<!--pgo1--><p>"));
  PromoLimits small;
  small.maxBytes = 5;
  const PromoResult r = FetchPromo(server.Address(), small);
  EXPECT_EQ(r.answer, "<!--p");
  EXPECT_EQ(r.PromoState, 1);
}

// The panel's side of the fetch: which pages it was asked to show.
struct PageSpy : PromoPage {
  std::vector<std::string> shown;
  void ShowPromoPage(const std::string& answer) override { shown.push_back(answer); }
};

struct PromoFetcherTest : AboutTest {
  testing_support::PostedTasks owner;
  PageSpy page;
};

TEST_F(PromoFetcherTest, TheAnswerComesThroughTheOwnersQueueWhileTheOpeningLasts) {
  PromoServer server(HttpAnswer("<!--pgo1--><p>Offer</p>"));
  PromoFetcher fetcher(owner, page);
  fetcher.Start(server.Address(), {});
  EXPECT_TRUE(fetcher.Fetching());
  EXPECT_EQ(fetcher.PromoState(), 0);
  ASSERT_TRUE(owner.RunUntil([&] { return !fetcher.Fetching(); }));
  EXPECT_EQ(fetcher.PromoState(), 2);
  EXPECT_EQ(page.shown, (std::vector<std::string>{"<!--pgo1--><p>Offer</p>"}));

  // An answer without the marker leaves the page alone; the state says why.
  PromoServer plain(HttpAnswer("<html>no marker</html>"));
  fetcher.Start(plain.Address(), {});
  ASSERT_TRUE(owner.RunUntil([&] { return !fetcher.Fetching(); }));
  EXPECT_EQ(fetcher.PromoState(), 1);
  EXPECT_EQ(page.shown.size(), 1u);
}

TEST_F(PromoFetcherTest, AnAnswerThatComesAfterTheOpeningEndedIsDropped) {
  PromoServer server(HttpAnswer("<!--pgo1-->late"));
  PromoFetcher fetcher(owner, page);
  fetcher.Start(server.Address(), {});
  fetcher.Abandon();  // closed before the window ran its queue
  fetcher.Finish();
  owner.RunPosted();
  EXPECT_TRUE(page.shown.empty());
  EXPECT_EQ(fetcher.PromoState(), 0);
  EXPECT_FALSE(fetcher.Fetching());

  // Opened again before the first answer came: only the second opening's answer counts.
  PromoServer second(HttpAnswer("<!--pgo1-->second"));
  fetcher.Start(server.Address(), {});
  fetcher.Start(second.Address(), {});
  ASSERT_TRUE(owner.RunUntil([&] { return !fetcher.Fetching(); }));
  fetcher.Finish();
  EXPECT_EQ(page.shown, (std::vector<std::string>{"<!--pgo1-->second"}));
}

TEST_F(PromoFetcherTest, ClosingStopsAFetchThatHangsAndSoDoesTheWindowGoing) {
  // The endpoint takes the connection and never answers; the fetch would wait 20 s.
  PromoLimits patient;
  patient.totalMs = 20000;
  patient.connectMs = 20000;
  const auto bounded = std::chrono::seconds(10);
  {
    PromoServer server("", PromoServer::Mode::Silent);
    PromoFetcher fetcher(owner, page);
    fetcher.Start(server.Address(), patient);
    for (int i = 0; i < 500 && server.Connections() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server.Connections(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    fetcher.Abandon();
    fetcher.Finish();  // the worker is free again: the stopped exchange has ended
    EXPECT_LT(std::chrono::steady_clock::now() - t0, bounded);
    EXPECT_EQ(fetcher.PromoState(), 0);
  }
  {
    PromoServer server("", PromoServer::Mode::Silent);
    const auto t0 = std::chrono::steady_clock::now();
    {
      PromoFetcher fetcher(owner, page);
      fetcher.Start(server.Address(), patient);
      for (int i = 0; i < 500 && server.Connections() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }  // the window closes with the panel open
    EXPECT_LT(std::chrono::steady_clock::now() - t0, bounded);
  }
  owner.RunPosted();  // wake-ups of fetchers that are gone do nothing
  EXPECT_TRUE(page.shown.empty());
}

}  // namespace
}  // namespace quarlex
