// The native device layer: a serial device (or pseudo-terminal) driven
// through termios on a non-blocking descriptor.
//
// Opening takes a UUCP lock file in the lock folder (the owner's PID as ten
// ASCII digits and a newline; the lock of a dead process is stale and
// removed) and TIOCEXCL, so a second opener, in this or another process,
// gets kOsAccessDenied. Device events are seen with poll(); the modem lines
// and the line-error counters are polled every 20 ms on devices that have
// them (pseudo-terminals have none: their lines read as off and setting them
// does nothing). A device that disappears while open (a pseudo-terminal whose
// master closed, an unplugged USB modem) stops producing events and its
// writes fail with ecDeviceWriteError; closing it still works.
#pragma once

#include <memory>
#include <string>

#include "comm/device_layer.h"

namespace tv {

std::shared_ptr<DeviceLayer> NativeDeviceLayer();

// The folder of the UUCP lock files, /var/lock by default. Locking is
// skipped when the folder is not writable.
void SetNativeLockFolder(std::string folder);

// The lock file name of a device: "LCK.." plus the path below /dev with '/'
// turned into '_' (LCK..ttyS0, LCK..pts_3).
std::string NativeLockFileName(const std::string& devicePath);

}  // namespace tv
