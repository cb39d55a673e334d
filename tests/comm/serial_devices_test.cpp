// The USB serial devices Find Modem tries beyond the six COM ports, found in
// a device folder laid out as udev lays out /dev.
#include <gtest/gtest.h>

#include <filesystem>

#include "comm/serial_devices.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

TEST(UsbSerialDevices, ListsAcmAndUsbDevicesWithTheirStableNames) {
  test::TempDir dev;
  for (const char* name : {"ttyUSB1", "ttyACM0", "ttyS0", "tty1", "ttyACM10"}) dev.Write(name, "");
  std::filesystem::create_directories(dev.File("serial/by-id"));
  std::filesystem::create_symlink("../../ttyACM0", dev.File("serial/by-id/usb-Fax_Modem-if00"));

  const auto devices = UsbSerialDevices(dev.Path());
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].path, dev.File("ttyACM0"));
  EXPECT_EQ(devices[0].stableName, dev.File("serial/by-id/usb-Fax_Modem-if00"));
  EXPECT_EQ(devices[1].path, dev.File("ttyACM10"));
  EXPECT_EQ(devices[1].stableName, "");
  EXPECT_EQ(devices[2].path, dev.File("ttyUSB1"));

  EXPECT_TRUE(SameDevice(devices[0].stableName, devices[0].path));
  EXPECT_FALSE(SameDevice(devices[0].path, devices[2].path));
  EXPECT_FALSE(SameDevice(dev.File("ttyACM9"), dev.File("ttyACM9")));
  EXPECT_TRUE(UsbSerialDevices(dev.File("nothing-here")).empty());
}

}  // namespace
}  // namespace tv
