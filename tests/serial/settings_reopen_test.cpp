// LoadSettings onto an open port, on pseudo-terminals: a new Port reopens the port on the new
// device inside the update bracket, and the loaded line settings reach the device once, at the
// end, not once per value.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "serial/comport.h"
#include "serial/device/linux_device.h"
#include "serial/storage/comport_storage.h"
#include "tests/serial/device_pty.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;
using device::testing::PtyPair;

// What reached the devices the port opened.
struct DeviceLog {
  std::vector<std::string> opened;
  int set_state = 0;
  int set_timeouts = 0;
  int set_queue_sizes = 0;
  device::Dcb last_dcb;
};

// The POSIX device with every call passed on, counting the settings calls.
class CountingDevice : public device::Device {
 public:
  CountingDevice(std::unique_ptr<device::Device> inner, DeviceLog& log)
      : inner_(std::move(inner)), log_(log) {}
  void Close() override { inner_->Close(); }
  bool IsOpen() const override { return inner_->IsOpen(); }
  device::Error SetQueueSizes(uint32_t in, uint32_t out) override {
    ++log_.set_queue_sizes;
    return inner_->SetQueueSizes(in, out);
  }
  device::Error SetState(const device::Dcb& dcb) override {
    ++log_.set_state;
    log_.last_dcb = dcb;
    return inner_->SetState(dcb);
  }
  device::Error GetState(device::Dcb& dcb) override { return inner_->GetState(dcb); }
  device::Error SetTimeouts(const device::CommTimeouts& t) override {
    ++log_.set_timeouts;
    return inner_->SetTimeouts(t);
  }
  device::Error GetTimeouts(device::CommTimeouts& t) override { return inner_->GetTimeouts(t); }
  device::Error SetEventMask(uint32_t mask) override { return inner_->SetEventMask(mask); }
  device::Error GetEventMask(uint32_t& mask) override { return inner_->GetEventMask(mask); }
  device::Error WaitEvents(uint32_t& occurred, const device::StopSignal* stop, int timeout_ms) override {
    return inner_->WaitEvents(occurred, stop, timeout_ms);
  }
  device::Error SetRxEventInterval(uint32_t ms) override { return inner_->SetRxEventInterval(ms); }
  device::Error StartRead(uint8_t* buffer, uint32_t count, device::Transfer& transfer,
                          uint32_t& bytes_now) override {
    return inner_->StartRead(buffer, count, transfer, bytes_now);
  }
  device::Error ReadQueuedTimed(uint8_t* buffer, uint32_t count, uint32_t& bytes,
                                std::vector<device::RxChunk>& chunks) override {
    return inner_->ReadQueuedTimed(buffer, count, bytes, chunks);
  }
  device::Error StartWrite(const uint8_t* data, uint32_t count, device::Transfer& transfer,
                           uint32_t& bytes_now) override {
    return inner_->StartWrite(data, count, transfer, bytes_now);
  }
  device::Error Purge(uint32_t flags) override { return inner_->Purge(flags); }
  device::Error GetCommStatus(device::CommStatus& status) override { return inner_->GetCommStatus(status); }
  device::Error GetModemStatus(uint32_t& status) override { return inner_->GetModemStatus(status); }
  device::Error Escape(uint32_t function) override { return inner_->Escape(function); }
  device::Error TransmitChar(uint8_t byte) override { return inner_->TransmitChar(byte); }

 private:
  std::unique_ptr<device::Device> inner_;
  DeviceLog& log_;
};

class SettingsReopenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quarlex-reopen-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    previous_ = device::SetDeviceOpener([this](std::string_view path, std::unique_ptr<device::Device>& dev) {
      std::unique_ptr<device::Device> real;
      device::Error e = device::OpenLinuxDevice(path, real);
      if (e) return e;
      log_.opened.emplace_back(path);
      dev = std::make_unique<CountingDevice>(std::move(real), log_);
      return e;
    });
    port_.SetName("ComPort");
    port_.SetEvents({});  // no event thread: the port needs no owner
    port_.SetPort(a_.path());
    port_.Open();
    ASSERT_TRUE(port_.Connected());
    log_ = {};
  }
  void TearDown() override {
    port_.Close();
    device::SetDeviceOpener(std::move(previous_));
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string WriteIni(const std::string& body) {
    const fs::path file = dir_ / "port.ini";
    std::ofstream(file) << "[ComPort]\n" << body;
    return file.string();
  }

  PtyPair a_, b_;
  fs::path dir_;
  DeviceLog log_;
  device::DeviceOpener previous_;
  TComPort port_;
};

TEST_F(SettingsReopenTest, NewPortReopensAndLineSettingsGoOutOnce) {
  // A pseudo-terminal keeps the rate but not the character size or parity, so the values
  // loaded here are ones it honours: the rate and (emulated) the event character.
  port_.SetStoredProps({spBasic, spOthers});
  const std::string ini =
      WriteIni("Port=" + b_.path() + "\nBaudRate=19200\nEventChar=#13\nDiscardNull=Yes\n");
  LoadSettings(port_, stIniFile, ini);

  EXPECT_TRUE(port_.Connected());
  EXPECT_EQ(port_.Port(), b_.path());
  EXPECT_EQ(log_.opened, std::vector<std::string>{b_.path()});
  EXPECT_EQ(log_.set_state, 1);
  EXPECT_EQ(log_.set_timeouts, 1);
  EXPECT_EQ(log_.set_queue_sizes, 1);
  EXPECT_EQ(log_.last_dcb.BaudRate, 19200u);
  EXPECT_EQ(log_.last_dcb.EvtChar, 13);
  EXPECT_TRUE(log_.last_dcb.Flags & device::kDcbNull);
  // And the line in force on the new device is the loaded one.
  device::Dcb now;
  ASSERT_TRUE(port_.Handle()->GetState(now).ok());
  EXPECT_EQ(now.BaudRate, 19200u);
  EXPECT_EQ(now.EvtChar, 13);
}

TEST_F(SettingsReopenTest, CustomPresetChangesNoFieldButReappliesOnce) {
  port_.FlowControl().SetDSRSensitivity(true);
  log_ = {};
  LoadSettings(port_, stIniFile, WriteIni("FlowControl=Custom\n"));
  EXPECT_TRUE(port_.FlowControl().DSRSensitivity());
  EXPECT_EQ(port_.Port(), a_.path());
  EXPECT_TRUE(log_.opened.empty());
  EXPECT_EQ(log_.set_state, 1);
}

TEST_F(SettingsReopenTest, UnopenableNewPortFailsWithSeventeenAndLeavesThePortClosed) {
  const std::string missing = (dir_ / "no-such-tty").string();
  try {
    LoadSettings(port_, stIniFile, WriteIni("Port=" + missing + "\nBaudRate=4800\n"));
    FAIL() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 17);
  }
  EXPECT_FALSE(port_.Connected());
  EXPECT_EQ(port_.Port(), missing);
  EXPECT_EQ(port_.UpdateCount(), 0);
  EXPECT_EQ(log_.set_state, 0);
  // The port is usable again: back to the first device.
  port_.SetPort(a_.path());
  port_.Open();
  EXPECT_TRUE(port_.Connected());
}

}  // namespace
}  // namespace quarlex
