// Termination signals end the program the way closing the window does: the close autosave
// writes the capture, the port is closed. A second signal ends a close that does not finish.
#include "qt/close_on_signal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <QWidget>
#include <filesystem>
#include <fstream>
#include <random>

#include "qt/port_controller.h"
#include "qt/support/wait.h"
#include "qt/support/wired_window.h"
#include "serial/device_pty.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;

TEST(CloseOnSignalTest, EachSignalClosesTheWindowWithItsAutosave) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    signal(sig, SIG_DFL);  // as in a program started from a terminal
    device::testing::PtyPair pty;
    testing_support::WiredWindow scratch;
    fs::create_symlink(pty.path(), scratch.LinkFolder() / "COM4");
    AppParts parts = scratch.Start();
    MainWindow& w = *scratch.Window();
    const fs::path folder = scratch.Root() / "captures";
    w.session().ExeFolder = folder.string() + "/";
    w.saveMenu().save_Auto->setChecked(true);
    CloseOnSignal::Install(w);
    parts.port->BtnConnectClick();
    ASSERT_TRUE(w.session().PortConnected);

    std::string data(1 << 20, '\0');  // a megabyte
    std::mt19937 rng(sig);
    for (char& c : data) c = static_cast<char>(rng());
    pty.Send(data);
    ASSERT_TRUE(
        testing_support::WaitUntil([&] { return w.session().Store.WriteIndex() == data.size(); }, 20000));

    ASSERT_EQ(raise(sig), 0);  // the test process lives on: the handler only queued the close
    ASSERT_TRUE(testing_support::WaitUntil([&] { return !parts.port->ComPort.Connected(); }))
        << "the window was not closed";
    ASSERT_TRUE(fs::exists(folder));
    fs::path saved;  // the capture; its times lie beside it
    for (const auto& e : fs::directory_iterator(folder))
      if (e.path().extension() == ".data") saved = e.path();
    EXPECT_TRUE(fs::exists(fs::path(saved).replace_extension(".idx"))) << saved;
    std::ifstream in(saved, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == data) << saved;
    pollfd p{pty.master(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_TRUE(p.revents & POLLHUP) << "the peer sees the port closed";
    scratch.Destroy();  // the handlers go with the window
  }
}

TEST(CloseOnSignalTest, ASecondSignalEndsTheProcessAndAnIgnoredOneStaysIgnored) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        signal(SIGTERM, SIG_DFL);
        QWidget w;
        CloseOnSignal::Install(w);
        raise(SIGTERM);  // queued: nothing runs the event loop here, as in a close that hangs
        raise(SIGTERM);
        std::exit(0);
      },
      ::testing::KilledBySignal(SIGTERM), "");

  signal(SIGHUP, SIG_IGN);  // started with nohup
  {
    QWidget w;
    CloseOnSignal::Install(w);
    struct sigaction now {};
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_NE(now.sa_handler, SIG_DFL);
  }
  struct sigaction after {};
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, SIG_DFL) << "the previous handler is back once the window is gone";
  signal(SIGHUP, SIG_DFL);
}

}  // namespace
}  // namespace quarlex
