// The Win32 device on a real line: under wine, scripts/test-windows joins pairs of Linux
// pseudo-terminals back to back and maps them as COM ports (tests/wine/pty_lines.cpp), and says
// where in QUARLEX_WINE_LINES ("<first COM>:<pairs>"). Each rig takes the next unused pair: the
// device under test opens COM<first + 2k>, the far end COM<first + 2k + 1> with plain Win32 calls.
#include <atomic>
#include <cstdlib>
#include <map>
#include <string>

#include "tests/serial/device_rig.h"

// After the project headers: windows.h defines the comm API names as macros.
#include <windows.h>

namespace quarlex::device {
namespace {

// Contract cases that a pseudo-terminal under wine cannot show, with the reason. Each holds on
// a real COM port on Windows.
const std::map<std::string, std::string> kWineCannot = {
    {"CommApiRefusalsOfTheControlBlock",
     "wine sets only the standard rates on a pseudo-terminal: the case's rate 31250 reads back as "
     "another rate, so the device rightly refuses it (the refusals themselves need a real port)"},
    {"EveryMenuRateAndAnyCustomRateIsSetAndReadBack",
     "wine sets only the standard rates on a pseudo-terminal: the case's custom rates (31250, 1234567) "
     "read back as other rates, so the device rightly refuses them (custom rates need a real port)"},
};

class ComRig : public Rig {
 public:
  ComRig(int dut, int peer) {
    const std::string name = "COM" + std::to_string(dut);
    if (Error e = OpenPlatformDevice(name, dev)) throw std::runtime_error("open " + name + ": " + e.os_text);
    const std::wstring far_end = L"\\\\.\\COM" + std::to_wstring(peer);
    peer_ = CreateFileW(far_end.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (peer_ == INVALID_HANDLE_VALUE)
      throw std::runtime_error("open far end COM" + std::to_string(peer) + ": " +
                               std::to_string(GetLastError()));
    DCB d{};
    d.DCBlength = sizeof d;
    GetCommState(peer_, &d);
    d.fBinary = 1;
    d.fParity = d.fOutxCtsFlow = d.fOutxDsrFlow = d.fOutX = d.fInX = d.fNull = 0;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    SetCommState(peer_, &d);
    // Wait up to 5 s for the first byte, then return once the line is quiet for 50 ms.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 50;
    t.ReadTotalTimeoutConstant = 5000;
    SetCommTimeouts(peer_, &t);
  }
  ~ComRig() override {
    if (dev) dev->Close();
    PeerHangUp();
  }
  void PeerSend(const std::string& bytes) override {
    size_t done = 0;
    while (done < bytes.size()) {
      DWORD n = 0;
      if (!WriteFile(peer_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr) ||
          n == 0)
        throw std::runtime_error("far end write: " + std::to_string(GetLastError()));
      done += n;
    }
  }
  std::string PeerReceive(size_t n) override {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
      DWORD r = 0;
      if (!ReadFile(peer_, out.data() + got, static_cast<DWORD>(n - got), &r, nullptr) || r == 0) break;
      got += r;
    }
    out.resize(got);
    return out;
  }
  void PeerHangUp() override {
    if (peer_ != INVALID_HANDLE_VALUE) CloseHandle(peer_);
    peer_ = INVALID_HANDLE_VALUE;
  }
  void PeerStopReading() override {}  // the far end that is not read fills up by itself
  // Wine maps the COM port to a pseudo-terminal, which has no modem lines; a real port has them.
  bool ModemStatusMissing() const override {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  }
  std::string CannotDo(const std::string& test) const override {
    auto it = kWineCannot.find(test);
    return it == kWineCannot.end() ? std::string() : it->second;
  }

 private:
  HANDLE peer_ = INVALID_HANDLE_VALUE;
};

std::atomic<int> next_pair{0};

std::unique_ptr<Rig> MakeComRig(std::string& why_not) {
  const char* lines = std::getenv("QUARLEX_WINE_LINES");
  int first = 0, pairs = 0;
  if (!lines || std::sscanf(lines, "%d:%d", &first, &pairs) != 2) {
    why_not = "needs COM port pairs joined back to back (QUARLEX_WINE_LINES, set by scripts/test-windows)";
    return nullptr;
  }
  const int k = next_pair++;
  if (k >= pairs) {
    why_not = "all " + std::to_string(pairs) + " COM port pairs are used up";
    return nullptr;
  }
  return std::make_unique<ComRig>(first + 2 * k, first + 2 * k + 1);
}

}  // namespace

std::vector<Named> PlatformRigs() {
  return {{"Win32", MakeComRig}};
}

}  // namespace quarlex::device
