// What only the Linux device can show: settings as the kernel holds them, exclusivity against
// other openers (also without the privilege that passes TIOCEXCL), distinct open failures, the
// decoding of the kernel's parity marks.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "serial/device/device.h"
#include "serial/device/linux_device.h"
#include "serial/device/linux_termios2.h"
#include "serial/device/linux_termios_map.h"
#include "tests/serial/device_pty.h"

namespace quarlex::device {
namespace {

using testing::PtyPair;

// The kernel's view of the line, through a second descriptor (root passes TIOCEXCL, and this
// open takes no lock).
termios2 KernelSettings(const std::string& path) {
  termios2 t{};
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(ioctl(fd, linux_tty::kTcGets2, &t), 0);
  close(fd);
  return t;
}

TEST(LinuxDevice, SettingsReachTheKernelIncludingARateNoTableNames) {
  PtyPair pty;
  std::unique_ptr<Device> dev;
  ASSERT_TRUE(OpenLinuxDevice(pty.path(), dev).ok());
  Dcb dcb;
  dcb.BaudRate = 31250;
  dcb.StopBits = kTwoStopBits;
  dcb.Flags |= kDcbOutX | kDcbInX;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  ASSERT_TRUE(dev->SetState(dcb).ok());
  termios2 t = KernelSettings(pty.path());
  EXPECT_EQ(t.c_ospeed, 31250u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & (CLOCAL | CREAD));
  EXPECT_TRUE(t.c_iflag & IXON);
  EXPECT_TRUE(t.c_iflag & IXOFF);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  Dcb back;
  ASSERT_TRUE(dev->GetState(back).ok());
  EXPECT_EQ(back, dcb);
}

TEST(LinuxDevice, SettingsTheLineSilentlyDropsAreRefusedAndTheOldOnesStay) {
  PtyPair pty;
  std::unique_ptr<Device> dev;
  ASSERT_TRUE(OpenLinuxDevice(pty.path(), dev).ok());
  Dcb good;
  good.BaudRate = 57600;
  ASSERT_TRUE(dev->SetState(good).ok());
  // A pseudo-terminal forces 8 data bits and no parity whatever it is given.
  Dcb seven = good;
  seven.ByteSize = 7;
  seven.Parity = kEvenParity;
  Error e = dev->SetState(seven);
  EXPECT_EQ(e.kind, ErrorKind::kInvalidParameter);
  EXPECT_EQ(e.win_code, kWinInvalidParameter);
  EXPECT_EQ(KernelSettings(pty.path()).c_ospeed, 57600u);
  Dcb back;
  ASSERT_TRUE(dev->GetState(back).ok());
  EXPECT_EQ(back, good);
  // Modes Linux has no way to do.
  for (uint32_t flags : {kDcbBinary | kDtrControlHandshake, kDcbBinary | kDcbOutxDsrFlow,
                         kDcbBinary | kRtsControlToggle /* a pty has no RS-485 */}) {
    Dcb d = good;
    d.Flags = flags;
    EXPECT_EQ(dev->SetState(d).kind, ErrorKind::kInvalidParameter) << std::hex << flags;
  }
  // The line still works after the refusals.
  pty.Send("ok");
  uint8_t buf[4];
  Transfer t;
  uint32_t n = 0;
  ASSERT_TRUE(dev->SetEventMask(EV_RXCHAR).ok());
  for (int i = 0; i < 50 && n < 2; ++i) {
    uint32_t occurred = 0;
    CommStatus st;
    ASSERT_TRUE(dev->GetCommStatus(st).ok());
    if (st.in_queue >= 2) break;
    ASSERT_TRUE(dev->WaitEvents(occurred, nullptr, 100).ok());
  }
  ASSERT_TRUE(dev->StartRead(buf, 4, t, n).ok());
  EXPECT_EQ(n, 2u);
}

TEST(LinuxDevice, EveryRefusedValueOfTheTableIsRefused) {
  PtyPair pty;
  std::unique_ptr<Device> dev;
  ASSERT_TRUE(OpenLinuxDevice(pty.path(), dev).ok());
  int refused = 0;
  for (size_t i = 0; i < kUnmappedValueCount; ++i) {
    const UnmappedValue& v = kUnmappedValues[i];
    if (v.fate != Fate::kRefused) continue;
    ++refused;
    // Build a block that asks for exactly this value.
    Dcb d;
    for (uint32_t flags : {kDcbOutxDsrFlow, kDtrControlHandshake}) {
      Dcb x = d;
      x.Flags |= flags;
      if (v.present(x)) d = x;
    }
    if (!v.present(d)) {
      d.StopBits = kOne5StopBits;
      d.ByteSize = 8;
    }
    if (!v.present(d)) {
      d.StopBits = kTwoStopBits;
      d.ByteSize = 5;
    }
    ASSERT_TRUE(v.present(d)) << v.value;
    EXPECT_EQ(dev->SetState(d).kind, ErrorKind::kInvalidParameter) << v.value;
  }
  EXPECT_EQ(refused, 4);
}

TEST(LinuxDevice, OpenFailuresAreDistinctValues) {
  std::unique_ptr<Device> dev;
  Error missing = OpenLinuxDevice("/dev/quarlex-no-such-tty", dev);
  EXPECT_EQ(missing.kind, ErrorKind::kNotFound);
  EXPECT_EQ(missing.os_code, ENOENT);
  EXPECT_EQ(missing.win_code, kWinFileNotFound);
  EXPECT_FALSE(missing.os_text.empty());
  EXPECT_EQ(dev, nullptr);

  Error not_tty = OpenLinuxDevice("/dev/null", dev);
  EXPECT_EQ(not_tty.kind, ErrorKind::kOther);
  EXPECT_EQ(not_tty.os_code, ENOTTY);
  EXPECT_EQ(ProbeLinuxDevice("/dev/quarlex-no-such-tty").kind, ErrorKind::kNotFound);

  // The layer's own verdicts carry errno numbers here, like the failures the system reports.
  EXPECT_EQ(ErrorOf(ErrorKind::kInvalidParameter).os_code, EINVAL);
  EXPECT_EQ(ErrorOf(ErrorKind::kInvalidParameter).win_code, kWinInvalidParameter);
  EXPECT_TRUE(ErrorOf(ErrorKind::kNone).ok());
  // A bare port name is a device under /dev; a path stays as it is.
  EXPECT_EQ(PlatformDevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(PlatformDevicePath("/dev/serial/by-id/usb-x"), "/dev/serial/by-id/usb-x");
}

TEST(LinuxDevice, SecondOpenAndProbeSeeBusyUntilClosed) {
  PtyPair pty;
  std::unique_ptr<Device> first, second;
  ASSERT_TRUE(ProbeLinuxDevice(pty.path()).ok());
  ASSERT_TRUE(OpenLinuxDevice(pty.path(), first).ok());
  // As root TIOCEXCL lets anyone in; the lock is what keeps a second opener out.
  Error e = OpenLinuxDevice(pty.path(), second);
  EXPECT_EQ(e.kind, ErrorKind::kBusy);
  EXPECT_EQ(e.os_code, EBUSY);
  EXPECT_EQ(e.win_code, kWinAccessDenied);
  EXPECT_EQ(ProbeLinuxDevice(pty.path()).kind, ErrorKind::kBusy);
  first->Close();
  EXPECT_TRUE(ProbeLinuxDevice(pty.path()).ok());
  EXPECT_TRUE(OpenLinuxDevice(pty.path(), second).ok());
}

// Runs `body` in a child that has given up root for the user nobody (and with it every
// capability, CAP_SYS_ADMIN included). Returns the child's exit status.
template <typename F>
int AsNobody(F body) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST(LinuxDevice, WithoutPrivilegeTheExclusiveFlagKeepsOthersOut) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  PtyPair pty;
  ASSERT_EQ(chmod(pty.path().c_str(), 0666), 0);  // so that nobody may open it at all
  // Free line: the unprivileged user can open it.
  std::string path = pty.path();
  EXPECT_EQ(AsNobody([&] {
              std::unique_ptr<Device> d;
              Error e = OpenLinuxDevice(path, d);
              return e.ok() ? 0 : 10 + static_cast<int>(e.kind);
            }),
            0);
  std::unique_ptr<Device> held;
  ASSERT_TRUE(OpenLinuxDevice(path, held).ok());
  // Held: the plain open itself fails with EBUSY (TIOCEXCL), and the device reports busy.
  EXPECT_EQ(AsNobody([&] {
              int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
              if (fd >= 0) return 1;
              return errno == EBUSY ? 0 : 2;
            }),
            0);
  EXPECT_EQ(AsNobody([&] {
              std::unique_ptr<Device> d;
              Error e = OpenLinuxDevice(path, d);
              return e.kind == ErrorKind::kBusy && e.os_code == EBUSY ? 0 : 3;
            }),
            0);
}

TEST(LinuxDevice, ALineTheUserMayNotOpenIsAccessDenied) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  PtyPair pty;
  ASSERT_EQ(chmod(pty.path().c_str(), 0600), 0);
  std::string path = pty.path();
  EXPECT_EQ(AsNobody([&] {
              std::unique_ptr<Device> d;
              Error e = OpenLinuxDevice(path, d);
              if (e.kind != ErrorKind::kAccessDenied) return 1;
              if (e.os_code != EACCES) return 2;
              return e.win_code == kWinAccessDenied ? 0 : 3;
            }),
            0);
}

// --- PARMRK decoding -------------------------------------------------------------------------

struct DecodeCase {
  const char* what;
  std::string in;
  bool replace;
  std::string out;
  uint32_t errors;
};

TEST(ParmrkDecoder, UndoesTheKernelMarks) {
  const DecodeCase cases[] = {
      {"plain bytes", "abc", false, "abc", 0},
      {"doubled FF is one FF",
       std::string("a\xff\xff"
                   "b",
                   4),
       false,
       "a\xff"
       "b",
       0},
      {"marked byte kept", std::string("\xff\x00X", 3), false, "X", CE_RXPARITY},
      {"marked byte replaced", std::string("\xff\x00X", 3), true, "?", CE_RXPARITY},
      {"break dropped",
       std::string("a\xff\x00\x00"
                   "b",
                   5),
       false, "ab", CE_BREAK},
      {"NUL that is data", std::string("\x00\x00", 2), false, std::string("\x00\x00", 2), 0},
      {"unknown pair kept whole",
       std::string("\xff"
                   "A",
                   2),
       false,
       "\xff"
       "A",
       0},
  };
  for (const DecodeCase& c : cases) {
    ParmrkDecoder d;
    std::string out(c.in.size() + 1, '\0');
    uint32_t errors = 0;
    size_t n = d.Decode(reinterpret_cast<const uint8_t*>(c.in.data()), c.in.size(),
                        reinterpret_cast<uint8_t*>(out.data()), errors, c.replace, '?');
    out.resize(n);
    EXPECT_EQ(out, c.out) << c.what;
    EXPECT_EQ(errors, c.errors) << c.what;
  }
}

TEST(ParmrkDecoder, AMarkSplitAcrossReadsIsStillOneMark) {
  const std::string in("x\xff\x00Y\xff\xffz", 7);
  for (size_t cut = 0; cut <= in.size(); ++cut) {
    ParmrkDecoder d;
    uint32_t errors = 0;
    std::string out(in.size(), '\0');
    auto* o = reinterpret_cast<uint8_t*>(out.data());
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    size_t n = d.Decode(p, cut, o, errors, false, 0);
    n += d.Decode(p + cut, in.size() - cut, o + n, errors, false, 0);
    out.resize(n);
    EXPECT_EQ(out, "xY\xffz") << "cut at " << cut;
    EXPECT_EQ(errors, CE_RXPARITY) << "cut at " << cut;
  }
}

TEST(LinuxDevice, ParityCheckingTurnsOnMarksAndTheReaderRemovesThem) {
  // INPCK|PARMRK go on only with parity checking (the marks cost the kernel its fast raw path),
  // IGNBRK only without (a break is then counted, not read as a NUL byte).
  PtyPair pty;
  std::unique_ptr<Device> dev;
  ASSERT_TRUE(OpenLinuxDevice(pty.path(), dev).ok());
  Dcb d;
  ASSERT_TRUE(dev->SetState(d).ok());
  termios2 t = KernelSettings(pty.path());
  EXPECT_FALSE(t.c_iflag & (PARMRK | INPCK));
  EXPECT_TRUE(t.c_iflag & IGNBRK);
  d.Flags |= kDcbParity;
  ASSERT_TRUE(dev->SetState(d).ok());  // parity "none" with checking on: the pty keeps it
  t = KernelSettings(pty.path());
  EXPECT_TRUE(t.c_iflag & PARMRK);
  EXPECT_FALSE(t.c_iflag & IGNBRK);
  // A real FF now arrives doubled from the kernel and must reach the reader once.
  ASSERT_TRUE(dev->SetEventMask(EV_RXCHAR).ok());
  pty.Send(
      std::string("\xff"
                  "a\xff",
                  3));
  uint8_t buf[8];
  uint32_t got = 0, n = 0;
  for (int i = 0; i < 50 && got < 3; ++i) {
    uint32_t occurred = 0;
    CommStatus st;
    ASSERT_TRUE(dev->GetCommStatus(st).ok());
    got = st.in_queue;
    if (got >= 3) break;
    ASSERT_TRUE(dev->WaitEvents(occurred, nullptr, 100).ok());
  }
  Transfer tr;
  ASSERT_TRUE(dev->StartRead(buf, 8, tr, n).ok());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n),
            "\xff"
            "a\xff");
}

}  // namespace
}  // namespace quarlex::device
