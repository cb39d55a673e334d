#include "comm/native_layer.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>

#include "platform/error_codes.h"

namespace tv {

namespace {

constexpr int kLinePollMs = 20;
constexpr int kOsGeneralFailure = -162;

std::mutex lockFolderMutex;
std::string lockFolder = "/var/lock";

std::string LockFolder() {
  std::lock_guard lock(lockFolderMutex);
  return lockFolder;
}

constexpr std::array<std::pair<std::uint32_t, speed_t>, 31> kSpeeds{{
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    {0, B0},
}};

bool SpeedOf(std::uint32_t baud, speed_t& speed) {
  for (const auto& [rate, code] : kSpeeds) {
    if (rate == baud) {
      speed = code;
      return true;
    }
  }
  return false;
}

std::uint32_t BaudOf(speed_t speed) {
  for (const auto& [rate, code] : kSpeeds) {
    if (code == speed) return rate;
  }
  return 0;
}

// The modem lines in the layer's bit layout.
std::uint8_t LinesFromTiocm(int bits) {
  std::uint8_t lines = 0;
  if (bits & TIOCM_CTS) lines |= kLineCts;
  if (bits & TIOCM_DSR) lines |= kLineDsr;
  if (bits & TIOCM_RI) lines |= kLineRing;
  if (bits & TIOCM_CD) lines |= kLineDcd;
  return lines;
}

void WakeEventFd(int fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto ignored = ::write(fd, &one, sizeof one);
}

void DrainEventFd(int fd) {
  std::uint64_t value;
  [[maybe_unused]] auto ignored = ::read(fd, &value, sizeof value);
}

// One open device.
struct Device {
  int fd = -1;
  int eventWake = -1;   // wakes WaitEvent
  int writerWake = -1;  // wakes WaitWritable
  std::string lockPath;
  bool attached = false;

  std::mutex mutex;  // guards everything below
  SerialState state;
  std::uint32_t eventMask = 0;
  bool hasLines = false;
  std::uint8_t lines = 0;
  bool hasCounters = false;
  serial_icounter_struct counters{};
  std::uint16_t pendingErrors = 0;
  bool lost = false;

  ~Device() {
    if (eventWake >= 0) ::close(eventWake);
    if (writerWake >= 0) ::close(writerWake);
  }
};

// Takes the UUCP lock of a device. Returns 0, or kOsAccessDenied when a live
// process holds it. Locking is skipped (0, empty path) when the folder does
// not take files.
int AcquireLock(const std::string& devicePath, std::string& lockPath) {
  lockPath.clear();
  const std::string path = LockFolder() + "/" + NativeLockFileName(devicePath);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char text[16];
      const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
      const bool written = ::write(fd, text, static_cast<std::size_t>(n)) == n;
      ::close(fd);
      if (!written) {
        ::unlink(path.c_str());
        return 0;
      }
      lockPath = path;
      return 0;
    }
    if (errno != EEXIST) return 0;
    char text[32] = {};
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return 0;
    const auto got = ::read(in, text, sizeof text - 1);
    ::close(in);
    const long pid = got > 0 ? std::strtol(text, nullptr, 10) : 0;
    const bool alive = pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
    if (alive) return kOsAccessDenied;
    ::unlink(path.c_str());  // stale: its owner is gone
  }
  return kOsAccessDenied;
}

int OpenErrorCode(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case ENOTTY:
      return kOsFileNotFound;
    case EBUSY:
      return kOsAccessDenied;
    case EACCES:
    case EPERM:
    case EROFS:
      return kOsPermissionDenied;
    default:
      return kOsGeneralFailure;
  }
}

class NativeLayer final : public DeviceLayer {
 public:
  const char* Name() const override { return "native"; }

  DeviceHandle Open(const std::string& name) override {
    std::string lockPath;
    if (const int locked = AcquireLock(name, lockPath); locked < 0) return locked;
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const int code = OpenErrorCode(errno);
      ReleaseLock(lockPath);
      return code;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {  // not a terminal: no serial device here
      ::close(fd);
      ReleaseLock(lockPath);
      return kOsFileNotFound;
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && errno == EBUSY) {
      ::close(fd);
      ReleaseLock(lockPath);
      return kOsAccessDenied;
    }
    auto device = std::make_shared<Device>();
    device->fd = fd;
    device->lockPath = lockPath;
    device->eventWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    device->writerWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (device->eventWake < 0 || device->writerWake < 0) {
      ::close(fd);
      ReleaseLock(lockPath);
      return ecOutOfMemory;
    }
    // Raw bytes; CLOCAL so that opening and reading never wait for carrier
    // (the program watches DCD itself); HUPCL drops DTR when the port closes.
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD | HUPCL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &tio);
    device->state.baud = BaudOf(::cfgetospeed(&tio));
    int bits = 0;
    device->hasLines = ::ioctl(fd, TIOCMGET, &bits) == 0;
    device->lines = device->hasLines ? LinesFromTiocm(bits) : 0;
    device->hasCounters = ::ioctl(fd, TIOCGICOUNT, &device->counters) == 0;
    Register(device);
    return fd;
  }

  int Close(DeviceHandle h) override {
    auto device = Unregister(h);
    if (!device) return -1;
    if (!device->attached) {
      ::ioctl(device->fd, TIOCNXCL);
      ::close(device->fd);
      ReleaseLock(device->lockPath);
    }
    return 0;
  }

  int Attach(DeviceHandle h, bool attach) override {
    if (!attach) {
      Unregister(h);
      return 0;
    }
    termios tio{};
    if (::tcgetattr(h, &tio) != 0) return -1;
    auto device = std::make_shared<Device>();
    device->fd = h;
    device->attached = true;
    device->eventWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    device->writerWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (device->eventWake < 0 || device->writerWake < 0) return ecOutOfMemory;
    ::fcntl(h, F_SETFL, ::fcntl(h, F_GETFL) | O_NONBLOCK);
    device->state.baud = BaudOf(::cfgetospeed(&tio));
    device->state.byteSize = (tio.c_cflag & CSIZE) == CS5 ? 5 : (tio.c_cflag & CSIZE) == CS6 ? 6
                             : (tio.c_cflag & CSIZE) == CS7 ? 7 : 8;
    device->state.parity = !(tio.c_cflag & PARENB) ? 0 : (tio.c_cflag & PARODD) ? 1 : 2;
    device->state.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    int bits = 0;
    device->hasLines = ::ioctl(h, TIOCMGET, &bits) == 0;
    device->lines = device->hasLines ? LinesFromTiocm(bits) : 0;
    Register(device);
    return 0;
  }

  int GetState(DeviceHandle h, SerialState& state) override {
    auto device = Find(h);
    if (!device) return -1;
    std::lock_guard lock(device->mutex);
    state = device->state;
    return 0;
  }

  int SetState(DeviceHandle h, const SerialState& state) override {
    auto device = Find(h);
    if (!device) return -1;
    speed_t speed;
    if (!SpeedOf(state.baud, speed) || state.byteSize < 5 || state.byteSize > 8 || state.parity > 4) return -1;
    termios tio{};
    if (::tcgetattr(device->fd, &tio) != 0) return -1;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS)) | kSizes[state.byteSize - 5];
    if (state.parity != 0) tio.c_cflag |= PARENB;
    if (state.parity == 1 || state.parity == 3) tio.c_cflag |= PARODD;
    if (state.parity >= 3) tio.c_cflag |= CMSPAR;
    if (state.stopBits != 0) tio.c_cflag |= CSTOPB;
    // The kernel has one switch for RTS/CTS handshaking in both directions.
    if (state.outxCtsFlow || state.rtsControl == LineControl::kHandshake) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (state.outX) tio.c_iflag |= IXON;
    if (state.inX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(state.xonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(state.xoffChar);
    if (::tcsetattr(device->fd, TCSANOW, &tio) != 0) return -1;
    {
      std::lock_guard lock(device->mutex);
      device->state = state;
    }
    // A disabled line control holds the line low; the others raise it.
    SetLine(*device, TIOCM_DTR, state.dtrControl != LineControl::kDisable);
    SetLine(*device, TIOCM_RTS, state.rtsControl != LineControl::kDisable);
    return 0;
  }

  int EscapeFunction(DeviceHandle h, int function) override {
    auto device = Find(h);
    if (!device) return -1;
    switch (function) {
      case kEscSetDtr: SetLine(*device, TIOCM_DTR, true); break;
      case kEscClrDtr: SetLine(*device, TIOCM_DTR, false); break;
      case kEscSetRts: SetLine(*device, TIOCM_RTS, true); break;
      case kEscClrRts: SetLine(*device, TIOCM_RTS, false); break;
      default: break;
    }
    return 0;
  }

  int Flush(DeviceHandle h, bool input) override {
    auto device = Find(h);
    if (!device) return -1;
    if (::tcflush(device->fd, input ? TCIFLUSH : TCOFLUSH) != 0 && !device->lost) return -errno;
    return 0;
  }

  int GetErrorAndStatus(DeviceHandle h, DeviceStatus& status) override {
    auto device = Find(h);
    if (!device) return ecNotOpen;
    // The line changes stay for the comm-event thread to report.
    PollLineState(*device, false);
    int waiting = 0;
    status.inQueue = ::ioctl(device->fd, FIONREAD, &waiting) == 0 ? waiting : 0;
    waiting = 0;
    status.outQueue = ::ioctl(device->fd, TIOCOUTQ, &waiting) == 0 ? waiting : 0;
    std::lock_guard lock(device->mutex);
    return std::exchange(device->pendingErrors, 0);
  }

  int GetEventMask(DeviceHandle h) override {
    auto device = Find(h);
    if (!device) return -1;
    std::lock_guard lock(device->mutex);
    return static_cast<int>(device->eventMask);
  }

  int SetEventMask(DeviceHandle h, std::uint32_t mask) override {
    auto device = Find(h);
    if (!device) return -1;
    {
      std::lock_guard lock(device->mutex);
      device->eventMask = mask;
    }
    WakeEventFd(device->eventWake);
    return 0;
  }

  int Read(DeviceHandle h, std::uint8_t* buffer, int count) override {
    auto device = Find(h);
    if (!device) return ecNotOpen;
    if (count <= 0) return 0;
    const auto got = ::read(device->fd, buffer, static_cast<std::size_t>(count));
    if (got >= 0) return static_cast<int>(got);
    if (errno == EAGAIN || errno == EINTR) return 0;
    MarkLost(*device);
    return ecDeviceReadError;
  }

  // One system call for both pieces.
  int ReadPieces(DeviceHandle h, std::uint8_t* first, int firstCount, std::uint8_t* second,
                 int secondCount) override {
    auto device = Find(h);
    if (!device) return ecNotOpen;
    if (firstCount <= 0) return 0;
    iovec pieces[2] = {{first, static_cast<std::size_t>(firstCount)},
                       {second, static_cast<std::size_t>(std::max(secondCount, 0))}};
    const auto got = ::readv(device->fd, pieces, secondCount > 0 ? 2 : 1);
    if (got >= 0) return static_cast<int>(got);
    if (errno == EAGAIN || errno == EINTR) return 0;
    MarkLost(*device);
    return ecDeviceReadError;
  }

  int Write(DeviceHandle h, const std::uint8_t* data, int count) override {
    auto device = Find(h);
    if (!device) return ecNotOpen;
    if (count <= 0) return 0;
    const auto put = ::write(device->fd, data, static_cast<std::size_t>(count));
    if (put >= 0) return static_cast<int>(put);
    if (errno == EAGAIN || errno == EINTR) return 0;
    MarkLost(*device);
    return ecDeviceWriteError;
  }

  int TransmitChar(DeviceHandle h, std::uint8_t c) override { return Write(h, &c, 1) == 1 ? 0 : -1; }

  int SetBreak(DeviceHandle h) override {
    auto device = Find(h);
    return device && ::ioctl(device->fd, TIOCSBRK) == 0 ? 0 : -1;
  }

  int ClearBreak(DeviceHandle h) override {
    auto device = Find(h);
    return device && ::ioctl(device->fd, TIOCCBRK) == 0 ? 0 : -1;
  }

  int EnableNotification(DeviceHandle, int) override { return ecNotSupported; }
  void Notify(DeviceHandle, int) override {}
  // The kernel sizes its own queues.
  int SetupQueues(DeviceHandle h, int, int) override { return Find(h) ? 1 : 0; }

  std::uint32_t WaitEvent(DeviceHandle h) override {
    auto device = Find(h);
    if (!device) return 0;
    std::uint32_t mask;
    bool lost;
    {
      std::lock_guard lock(device->mutex);
      mask = device->eventMask;
      lost = device->lost;
    }
    if (mask == 0) return 0;
    pollfd fds[2] = {{device->eventWake, POLLIN, 0}, {device->fd, 0, 0}};
    const bool watchInput = (mask & kEvRxChar) && !lost;
    fds[1].events = watchInput ? POLLIN : 0;
    const int timeout = device->hasLines && !lost ? kLinePollMs : -1;
    const int ready = ::poll(fds, lost ? 1 : 2, timeout);
    if (ready < 0) return 0;
    if (fds[0].revents & POLLIN) DrainEventFd(device->eventWake);
    std::uint32_t events = 0;
    if (!lost && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
      MarkLost(*device);
      return kEvDeviceGone;
    }
    if (watchInput && (fds[1].revents & POLLIN)) events |= kEvRxChar;
    events |= PollLineState(*device, true);
    return events & mask;
  }

  int WaitWritable(DeviceHandle h, int timeoutMs) override {
    auto device = Find(h);
    if (!device) return ecNotOpen;
    pollfd fds[2] = {{device->writerWake, POLLIN, 0}, {device->fd, POLLOUT, 0}};
    ::poll(fds, 2, timeoutMs);
    if (fds[0].revents & POLLIN) DrainEventFd(device->writerWake);
    if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) MarkLost(*device);
    std::lock_guard lock(device->mutex);
    return device->lost ? ecDeviceWriteError : 0;
  }

  void WakeWriter(DeviceHandle h) override {
    if (auto device = Find(h)) WakeEventFd(device->writerWake);
  }

  std::uint8_t ModemLines(DeviceHandle h) override {
    auto device = Find(h);
    if (!device || !device->hasLines) return 0;
    int bits = 0;
    return ::ioctl(device->fd, TIOCMGET, &bits) == 0 ? LinesFromTiocm(bits) : 0;
  }

 private:
  static void SetLine(Device& device, int line, bool on) {
    if (device.hasLines) ::ioctl(device.fd, on ? TIOCMBIS : TIOCMBIC, &line);
  }

  static void MarkLost(Device& device) {
    std::lock_guard lock(device.mutex);
    device.lost = true;
  }

  // Reads the error counters (and with lines the modem lines), remembers new
  // line errors and returns the events the changes stand for.
  static std::uint32_t PollLineState(Device& device, bool lines) {
    std::uint32_t events = 0;
    int bits = 0;
    const bool haveLines = lines && device.hasLines && ::ioctl(device.fd, TIOCMGET, &bits) == 0;
    serial_icounter_struct counters{};
    const bool haveCounters = device.hasCounters && ::ioctl(device.fd, TIOCGICOUNT, &counters) == 0;
    std::lock_guard lock(device.mutex);
    if (haveLines) {
      const std::uint8_t now = LinesFromTiocm(bits);
      const std::uint8_t changed = now ^ device.lines;
      if (changed & kLineCts) events |= kEvCts;
      if (changed & kLineDsr) events |= kEvDsr;
      if (changed & kLineDcd) events |= kEvRlsd;
      if (changed & kLineRing) events |= (now & kLineRing) ? kEvRing : kEvRingTrailingEdge;
      device.lines = now;
    }
    if (haveCounters) {
      std::uint16_t errors = 0;
      if (counters.buf_overrun != device.counters.buf_overrun) errors |= kErrRxOverrun;
      if (counters.overrun != device.counters.overrun) errors |= kErrOverrun;
      if (counters.parity != device.counters.parity) errors |= kErrParity;
      if (counters.frame != device.counters.frame) errors |= kErrFraming;
      if (counters.brk != device.counters.brk) errors |= kErrBreak;
      device.counters = counters;
      if (errors & kErrBreak) events |= kEvBreak;
      if (errors & ~kErrBreak) events |= kEvErr;
      device.pendingErrors |= errors;
    }
    return events;
  }

  static void ReleaseLock(const std::string& lockPath) {
    if (!lockPath.empty()) ::unlink(lockPath.c_str());
  }

  void Register(std::shared_ptr<Device> device) {
    std::lock_guard lock(mutex_);
    devices_[device->fd] = std::move(device);
  }

  std::shared_ptr<Device> Unregister(DeviceHandle h) {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(h);
    if (it == devices_.end()) return nullptr;
    auto device = std::move(it->second);
    devices_.erase(it);
    return device;
  }

  std::shared_ptr<Device> Find(DeviceHandle h) {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(h);
    return it == devices_.end() ? nullptr : it->second;
  }

  std::mutex mutex_;
  std::map<DeviceHandle, std::shared_ptr<Device>> devices_;
};

}  // namespace

std::shared_ptr<DeviceLayer> NativeDeviceLayer() {
  static const auto layer = std::make_shared<NativeLayer>();
  return layer;
}

void SetNativeLockFolder(std::string folder) {
  std::lock_guard lock(lockFolderMutex);
  lockFolder = std::move(folder);
}

std::string NativeLockFileName(const std::string& devicePath) {
  std::string name = devicePath;
  if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return "LCK.." + name;
}

}  // namespace tv
