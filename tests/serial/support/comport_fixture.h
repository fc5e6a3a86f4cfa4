#pragma once
// A port on a scripted fake line, with a test owner standing in for the window's event loop.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "serial/comport.h"
#include "serial/support/comport_owner.h"
#include "tests/serial/support/fake_device.h"

namespace quarlex::test {

class ComPortFakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ =
        device::SetDeviceOpener(device::FakeLine::Opener({{"/dev/fake0", line}, {"/dev/fake1", line2}}));
    port = std::make_unique<TComPort>(&owner);
    port->SetName("ComPort");
    port->SetPort("/dev/fake0");
  }
  void TearDown() override {
    port.reset();
    device::SetDeviceOpener(previous_);
  }

  // Records handler and link calls by name, in order.
  void Trace(TComLink& link) {
    link.OnConn = [this](TCustomComPort*, bool on) {
      log.push_back(std::string("link.Conn") + (on ? "1" : "0"));
    };
    link.OnCTSChange = [this](TCustomComPort*, bool on) {
      log.push_back(std::string("link.CTS") + (on ? "1" : "0"));
    };
    link.OnDSRChange = [this](TCustomComPort*, bool on) {
      log.push_back(std::string("link.DSR") + (on ? "1" : "0"));
    };
    link.OnRLSDChange = [this](TCustomComPort*, bool on) {
      log.push_back(std::string("link.RLSD") + (on ? "1" : "0"));
    };
    link.OnRing = [this](TCustomComPort*) { log.push_back("link.Ring"); };
    link.OnRxFlag = [this](TCustomComPort*) { log.push_back("link.RxFlag"); };
    link.OnTxEmpty = [this](TCustomComPort*) { log.push_back("link.TxEmpty"); };
    link.OnTx = [this](TCustomComPort*, bool on) {
      log.push_back(std::string("link.Tx") + (on ? "1" : "0"));
    };
    link.OnRx = [this](TCustomComPort*, bool on) {
      log.push_back(std::string("link.Rx") + (on ? "1" : "0"));
    };
  }
  void TracePort() {
    TComPort& p = *port;
    p.OnBeforeOpen = [this](TCustomComPort*) { log.push_back("BeforeOpen"); };
    p.OnAfterOpen = [this](TCustomComPort*) { log.push_back("AfterOpen"); };
    p.OnBeforeClose = [this](TCustomComPort*) { log.push_back("BeforeClose"); };
    p.OnAfterClose = [this](TCustomComPort*) { log.push_back("AfterClose"); };
    p.OnCTSChange = [this](TCustomComPort*, bool on) {
      log.push_back(std::string("CTS") + (on ? "1" : "0"));
    };
    p.OnDSRChange = [this](TCustomComPort*, bool on) {
      log.push_back(std::string("DSR") + (on ? "1" : "0"));
    };
    p.OnRLSDChange = [this](TCustomComPort*, bool on) {
      log.push_back(std::string("RLSD") + (on ? "1" : "0"));
    };
    p.OnRing = [this](TCustomComPort*) { log.push_back("Ring"); };
    p.OnBreak = [this](TCustomComPort*) { log.push_back("Break"); };
    p.OnRxFlag = [this](TCustomComPort*) { log.push_back("RxFlag"); };
    p.OnTxEmpty = [this](TCustomComPort*) { log.push_back("TxEmpty"); };
    p.OnRx80Full = [this](TCustomComPort*) { log.push_back("Rx80Full"); };
    p.OnError = [this](TCustomComPort*, TComErrors e) { log.push_back("Error" + std::to_string(e.Bits())); };
    p.OnRxChar = [this](TCustomComPort*, int32_t n) { log.push_back("RxChar" + std::to_string(n)); };
  }

  TestOwner owner;  // declared before the port, which refers to it
  std::shared_ptr<device::FakeLine> line = std::make_shared<device::FakeLine>();
  std::shared_ptr<device::FakeLine> line2 = std::make_shared<device::FakeLine>();
  std::unique_ptr<TComPort> port;
  std::vector<std::string> log;

 private:
  device::DeviceOpener previous_;
};

}  // namespace quarlex::test
