// The window tests that the Windows build leaves out, each reported as skipped with the reason,
// so a run under wine or on Windows shows what it did not cover.
#include <gtest/gtest.h>

namespace {

TEST(NotOnWindows, AboutPanelTest) {
  GTEST_SKIP() << "sets the libcurl proxy variables with unsetenv; the Windows fetch is WinINet's "
                  "(tools_tests covers it)";
}
TEST(NotOnWindows, BackgroundWorkTest) {
  GTEST_SKIP() << "wires the window to a private sysfs and port-link tree (mkdtemp, chmod)";
}
TEST(NotOnWindows, CloseOnSignalTest) {
  GTEST_SKIP() << "raises POSIX signals (SIGTERM, SIGHUP) and reads a pseudo-terminal";
}
TEST(NotOnWindows, CommandLineTest) {
  GTEST_SKIP() << "makes ports from Linux pseudo-terminals in a private sysfs tree";
}
TEST(NotOnWindows, ConnectionTest) {
  GTEST_SKIP() << "connects to Linux pseudo-terminals (openpty, poll); scripts/test-windows runs "
                  "the real program on a pty-mapped COM port instead";
}
TEST(NotOnWindows, LineTest) {
  GTEST_SKIP() << "drives the line through Linux pseudo-terminals";
}
TEST(NotOnWindows, TapWindowTest) {
  GTEST_SKIP() << "listens on two Linux pseudo-terminals (openpty, poll)";
}
TEST(NotOnWindows, NavWiredTest) {
  GTEST_SKIP() << "wires the window to a private sysfs and port-link tree (mkdtemp, chmod)";
}

}  // namespace
