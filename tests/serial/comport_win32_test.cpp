// What a port's failures and device paths look like on Windows: the comm API's own codes and
// names, not the POSIX ones the rest of the layer was first written against.
#include <gtest/gtest.h>

#include "serial/comport.h"
#include "serial/device/device.h"

namespace quarlex {
namespace {

using device::ErrorKind;
using device::ErrorOf;

TEST(ComPortWin32, ABarePortNameIsOpenedAsItselfAndVerdictsCarryCommApiCodes) {
  // Without the window's resolver a port still opens COM5, not a /dev path.
  EXPECT_EQ(device::PlatformDevicePath("COM5"), "COM5");
  EXPECT_EQ(device::PlatformDevicePath("\\\\.\\COM12"), "\\\\.\\COM12");
  TComPort port;
  port.SetPort("COM7");
  EXPECT_EQ(port.DevicePath(), "COM7");

  // A setting the layer itself refuses is reported with the comm API's code ("(Error: 87)"),
  // as every failure the system reports there is.
  const device::Error invalid = ErrorOf(ErrorKind::kInvalidParameter);
  EXPECT_EQ(invalid.os_code, 87);
  EXPECT_EQ(invalid.win_code, 87u);
  EXPECT_FALSE(invalid.os_text.empty());
  EXPECT_EQ(ErrorOf(ErrorKind::kBusy).os_code, 5);
  EXPECT_EQ(ErrorOf(ErrorKind::kAborted).os_code, 995);
  EXPECT_TRUE(ErrorOf(ErrorKind::kNone).ok());
}

}  // namespace
}  // namespace quarlex
