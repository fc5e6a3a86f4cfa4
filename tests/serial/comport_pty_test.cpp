// The whole component on a real line: the POSIX device on a pseudo-terminal pair, the event
// thread and the thread-sync hand-over into a test owner.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <numeric>

#include "serial/comport.h"
#include "serial/device_pty.h"
#include "serial/support/comport_owner.h"

namespace quarlex {
namespace {

using device::testing::PtyPair;

// The names of this process's threads, as `top -H` and the CPU benchmark see them.
std::vector<std::string> ThreadNames() {
  std::vector<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  closedir(dir);
  return names;
}

size_t Named(const std::string& name) {
  const auto names = ThreadNames();
  return static_cast<size_t>(std::count(names.begin(), names.end(), name));
}

class ComPortPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = std::make_unique<TComPort>(&owner);
    port->SetPort(pty.path());
    port->SetBaudRate(br115200);
    port->Buffer().SetInputSize(65536);
    port->OnRxChar = [this](TCustomComPort* p, int32_t count) {
      counts.push_back(count);
      std::string buf(static_cast<size_t>(count), '\0');
      reads.push_back(p->Read(buf.data(), count));
      received += buf.substr(0, static_cast<size_t>(std::max(reads.back(), 0)));
    };
  }
  void TearDown() override { port.reset(); }

  PtyPair pty;
  test::TestOwner owner;
  std::unique_ptr<TComPort> port;
  std::vector<int32_t> counts, reads;
  std::string received;
};

TEST_F(ComPortPtyTest, BytesFromThePeerReachOnRxCharAndWritesReachThePeer) {
  port->Open();
  ASSERT_TRUE(port->Connected());
  std::string sent;
  for (int i = 0; i < 20000; ++i) sent.push_back(static_cast<char>(i * 7 + i / 256));
  pty.Send(sent);
  ASSERT_TRUE(owner.RunUntil([&] { return received.size() >= sent.size(); }));
  EXPECT_EQ(received, sent);
  // Both threads have run (one read the bytes, the other handed them over), so each has named
  // itself: the line's reader and the event thread are told apart by name while the port is open.
  EXPECT_EQ(Named("qx-io"), 1u);
  EXPECT_EQ(Named("qx-events"), 1u);
  // Each Read returned exactly the count its event announced.
  EXPECT_EQ(counts, reads);
  EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), int64_t{0}), int64_t(sent.size()));

  const std::string out("\x00\x01\xFEhello\xFF", 9);
  EXPECT_EQ(port->Write(out.data(), static_cast<int32_t>(out.size())), 9);
  EXPECT_EQ(pty.Receive(out.size()), out);
  EXPECT_EQ(port->WriteStr(u"\u00E9!"), 2);
  EXPECT_EQ(pty.Receive(2), "\xE9!");
}

TEST_F(ComPortPtyTest, APeerHangUpClosesThePortWithPortDisconnected) {
  std::vector<std::string> trace;
  port->OnAfterClose = [&](TCustomComPort*) { trace.push_back("AfterClose"); };
  port->Open();
  pty.Send("last words");
  ASSERT_TRUE(owner.RunUntil([&] { return received.size() == 10; }));
  pty.HangUp();
  ASSERT_TRUE(owner.RunUntil([&] { return !owner.errors.empty(); }));
  EXPECT_EQ(owner.ErrorText(0), "Port Disconnected");
  EXPECT_EQ(owner.ErrorCode(0), 25);
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(trace, std::vector<std::string>{"AfterClose"});
  EXPECT_EQ(received, "last words");
}

TEST_F(ComPortPtyTest, OpenCloseCyclesReleaseTheDeviceEachTime) {
  for (int i = 0; i < 20; ++i) {
    port->Open();
    ASSERT_TRUE(port->Connected()) << i;
    pty.Send("x");
    ASSERT_TRUE(owner.RunUntil([&] { return received.size() == size_t(i + 1); })) << i;
    port->Close();
    EXPECT_EQ(Named("qx-io"), 0u) << i;
  }
  // Another port can take the device once this one let go.
  TComPort other(&owner);
  other.SetPort(pty.path());
  EXPECT_NO_THROW(other.Open());
}

}  // namespace
}  // namespace quarlex
