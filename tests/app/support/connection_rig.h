#pragma once
// A Connection with everything around it stood in for: the session with a fake window, a port
// whose owner runs posted calls on the test thread, a status bar that keeps what it was told,
// a port map the test fills, and a clock the test moves. Lines are the fake device's, chosen by
// device path (FakeLines).
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/connection.h"
#include "ports/port_name.h"
#include "tests/app/support/fake_session_ui.h"
#include "tests/serial/support/comport_owner.h"
#include "tests/serial/support/fake_device.h"

namespace quarlex::testing {

struct TestClock : Clock {
  int64_t mono = 5'000'000'000;
  int64_t MonotonicNs() override { return mono; }
  int64_t WallNs() override { return 1'700'000'000'000'000'000 + mono; }
};

// The status bar and its menus as the connection drives them.
struct RecordingUi : ConnectionUi {
  std::string connectCaption, portCaption, baudCaption, holder;
  bool buttonsEnabled = true;
  uint32_t checkedBaud = 0;
  std::vector<int> rescans;  // every RescanAfter
  bool dtr = false, rts = false, rtsFree = true;
  LineLamps lamps;
  int lineEventCounts = 0;
  void SetConnectCaption(const std::string& c) override { connectCaption = c; }
  void SetPortButtonsEnabled(bool on) override { buttonsEnabled = on; }
  void SetPortCaption(const std::string& c) override { portCaption = c; }
  void SetBaudCaption(const std::string& c) override { baudCaption = c; }
  void CheckBaud(uint32_t rate) override { checkedBaud = rate; }
  void CheckDataBits(TDataBits) override {}
  void CheckStopBits(TStopBits) override {}
  void CheckParity(TParityBits) override {}
  void CheckFlow(TFlowControl) override {}
  void ShowPortHolder(const std::string& h) override { holder = h; }
  void LineEventsCounted() override { ++lineEventCounts; }
  void RescanAfter(int ms) override { rescans.push_back(ms); }
  void ShowLineControls(bool d, bool r, bool free) override {
    dtr = d;
    rts = r;
    rtsFree = free;
  }
  void ShowLineLamps(const LineLamps& l) override { lamps = l; }
};

// The window's owner as far as the connection sees it: posted calls run on the test thread, and
// a port that closed itself is handed to the connection before its error is kept.
struct ConnectionOwner : test::TestOwner {
  TComPort* port = nullptr;
  Connection* connection = nullptr;
  std::vector<std::string> shown;
  void HandleException(std::exception_ptr error) override {
    if (!port->Connected()) connection->PortClosed(error);
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      shown.push_back(e.what());
    }
  }
};

// Every port opens as a scripted line of the fake device, chosen by its device path.
struct FakeLines {
  std::shared_ptr<device::FakeLine> usb0 = std::make_shared<device::FakeLine>();
  std::shared_ptr<device::FakeLine> usb1 = std::make_shared<device::FakeLine>();
  device::DeviceOpener previous =
      device::SetDeviceOpener(device::FakeLine::Opener({{"/dev/ttyUSB0", usb0}, {"/dev/ttyUSB1", usb1}}));
  ~FakeLines() { device::SetDeviceOpener(previous); }
};

struct ConnectionRig : ::testing::Test {
  TestClock clock;
  FakeSessionUi sessionUi;
  Session session{sessionUi, clock};
  ConnectionOwner owner;
  TComPort port{&owner};
  PortTable table;
  RecordingUi ui;
  std::map<unsigned, PortEntry> map;  // what the port map lists
  Connection connection{session,
                        port,
                        table,
                        ui,
                        [this](unsigned n) -> const PortEntry* {
                          auto it = map.find(n);
                          return it == map.end() ? nullptr : &it->second;
                        },
                        clock};

  ConnectionRig() {
    owner.port = &port;
    owner.connection = &connection;
    port.SetPortPathResolver([this](const std::string& name) {
      auto it = map.find(ComPortNumber(name));
      return it == map.end() ? name : it->second.DevicePath;
    });
    port.OnRxChar = [this](TCustomComPort*, int32_t count) {
      if (count > 0) session.ComPortRxChar(static_cast<size_t>(count));
    };
  }
  ~ConnectionRig() override {
    session.PortConnected = false;
    port.Close();
  }

  static PortEntry Adapter(const std::string& path, const std::string& serial) {
    PortEntry e;
    e.DevicePath = path;
    e.ByIdLink = "/dev/serial/by-id/usb-FTDI_FT232R_" + serial + "-if00-port0";
    return e;
  }
  void Scan() {
    std::vector<std::string> texts;
    for (auto& [n, e] : map) {
      e.Number = static_cast<uint8_t>(n);
      texts.push_back(ComPortName(n));
    }
    connection.ScanPorts(texts);
  }
  std::string Captured() const {
    return std::string(reinterpret_cast<const char*>(session.Store.CaptureBuffer),
                       session.Store.WriteIndex());
  }
  bool RunUntil(const std::function<bool()>& done) { return owner.RunUntil(done); }
  std::string LastMessage() const { return sessionUi.messages.empty() ? "" : sessionUi.messages.back().text; }
  std::vector<TimedEvent> Events() const {
    std::vector<TimedEvent> events;
    for (size_t i = 0; i < session.Store.Times.EventCount(); ++i)
      events.push_back(session.Store.Times.Event(i));
    return events;
  }
};

}  // namespace quarlex::testing
