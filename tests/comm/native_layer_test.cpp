// The termios device layer against pseudo-terminals: the program opens the
// slave side through the dispatcher, the test plays the modem on the master.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "comm/modem_commands.h"
#include "comm/native_layer.h"
#include "comm/qa_port.h"
#include "platform/error_codes.h"
#include "tests/comm/comm_test_support.h"
#include "tests/support/temp_dir.h"

namespace tv::test {
namespace {

class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) slave_ = ::ptsname(master_);
  }
  ~PseudoTerminal() { CloseMaster(); }

  const std::string& SlavePath() const { return slave_; }
  int Master() const { return master_; }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  void Send(const std::string& bytes) const {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads until count bytes came or timeoutMs passed without any.
  std::string Read(std::size_t count, int timeoutMs = 2000) const {
    std::string got;
    char buffer[65536];
    while (got.size() < count) {
      pollfd fd{master_, POLLIN, 0};
      if (::poll(&fd, 1, timeoutMs) <= 0) break;
      const auto n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

class NativeLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(pty_.SlavePath().empty());
    SetNativeLockFolder(locks_.Path());
    InstallDeviceLayer(NativeDeviceLayer());
  }
  void TearDown() override {
    if (port_ > 0 && PortIsOpen(port_)) PortClose(port_);
    InstallDeviceLayer(nullptr);
    SetNativeLockFolder("/var/lock");
  }
  int Open(int outSize = 8192) {
    return PortOpen(pty_.SlavePath(), kDispatcherThreads, 8192, outSize, 19200, 0, 8, 1);
  }

  PseudoTerminal pty_;
  TempDir locks_;
  int port_ = 0;
};

std::uint8_t PatternByte(std::size_t i) { return static_cast<std::uint8_t>(i * 7 + i / 251); }

TEST_F(NativeLayerTest, DataGoesBothWaysAndTheLineIsSetRaw) {
  port_ = Open();
  ASSERT_GT(port_, 0);
  ASSERT_EQ(PutString(port_, "ATI3\r"), 0);
  EXPECT_EQ(pty_.Read(5), "ATI3\r");
  pty_.Send("\r\nOK\r\n");
  ASSERT_TRUE(WaitUntil([&] { return BytesAvailable(port_) == 6; }));
  std::string reply;
  for (int i = 0; i < 6; ++i) reply += static_cast<char>(GetChar(port_));
  EXPECT_EQ(reply, "\r\nOK\r\n");  // no CR/LF translation

  ASSERT_EQ(SetLine(port_, 9600, 2, 7, 2), 0);
  termios tio{};
  ASSERT_EQ(::tcgetattr(pty_.Master(), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_TRUE(tio.c_cflag & CSTOPB);  // (a pseudo-terminal forces eight bits and no parity)
  LineSettings line;
  ASSERT_EQ(GetLine(port_, line), 0);
  EXPECT_EQ(line.dataBits, 7);
  EXPECT_EQ(line.parity, 2);
  EXPECT_EQ(SetBaud(port_, 12345), ecNotSupported);  // no such rate

  ASSERT_EQ(HwFlowOn(port_, 7372, 819, 2 | 8), 0);
  ASSERT_EQ(::tcgetattr(pty_.Master(), &tio), 0);
  EXPECT_TRUE(tio.c_cflag & CRTSCTS);
  ASSERT_EQ(SwFlowOn(port_, 6000, 2000, 3), 0);
  ASSERT_EQ(::tcgetattr(pty_.Master(), &tio), 0);
  EXPECT_TRUE(tio.c_iflag & IXON);
  EXPECT_TRUE(tio.c_iflag & IXOFF);

  // A pseudo-terminal has no modem lines: they read as off and setting them is no error.
  EXPECT_EQ(ModemStatus(port_, 0xFF) & 0xF0, 0);
  EXPECT_EQ(SetDtr(port_, false), 0);
  EXPECT_EQ(SetRts(port_, true), 0);
}

TEST_F(NativeLayerTest, OneMegabyteThroughTheOutputRingArrivesWhole) {
  port_ = Open();
  ASSERT_GT(port_, 0);
  constexpr std::size_t kTotal = 1 << 20;
  std::string received;
  std::thread reader([&] { received = pty_.Read(kTotal, 5000); });

  std::vector<std::uint8_t> block(8192);
  std::size_t sent = 0;
  int fills = 0;
  for (int round = 0; sent < kTotal; ++round) {
    // Mostly odd sizes, so blocks cross the end of the ring; every 16th
    // waits for an empty ring and fills it exactly.
    std::size_t size = round % 16 == 15 ? 8192 : 1 + (static_cast<std::size_t>(round) * 2741) % 3000;
    size = std::min(size, kTotal - sent);
    if (size == 8192) {
      ASSERT_TRUE(WaitUntil([&] { return OutBytesWaiting(port_) == 0; }, 5000));
      ++fills;
    }
    for (std::size_t i = 0; i < size; ++i) block[i] = PatternByte(sent + i);
    ASSERT_TRUE(WaitUntil([&] { return OutFreeSpace(port_) >= static_cast<int>(size); }, 5000));
    ASSERT_EQ(PutBlock(port_, block.data(), static_cast<int>(size)), 0);
    sent += size;
  }
  reader.join();
  ASSERT_EQ(received.size(), kTotal);
  EXPECT_GT(fills, 0);
  for (std::size_t i = 0; i < kTotal; ++i) {
    ASSERT_EQ(static_cast<std::uint8_t>(received[i]), PatternByte(i)) << "at byte " << i;
  }
}

TEST_F(NativeLayerTest, FlushDiscardsOutputTheDeviceCannotTake) {
  port_ = Open();
  ASSERT_GT(port_, 0);
  // Nobody reads the master: the terminal's queue fills and output waits.
  const std::string block(1024, 'q');
  std::size_t put = 0;
  int stalled = 0;
  for (int i = 0; i < 2000 && stalled < 20; ++i) {
    if (OutFreeSpace(port_) >= 1024) {
      ASSERT_EQ(PutString(port_, block), 0);
      put += block.size();
      stalled = 0;
    } else {
      ++stalled;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ASSERT_GT(OutBytesWaiting(port_), 7168) << "the terminal never stopped taking output";
  ASSERT_EQ(FlushOutput(port_), 0);
  EXPECT_EQ(OutBytesWaiting(port_), 0);
  ASSERT_EQ(PutString(port_, "END"), 0);
  const std::string got = pty_.Read(put + 3, 300);
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got.substr(got.size() - 3), "END");
  EXPECT_LT(got.size(), put + 3);  // the pending block was abandoned
}

TEST_F(NativeLayerTest, ADeviceThatVanishesFailsWritesAndStillCloses) {
  port_ = Open();
  ASSERT_GT(port_, 0);
  pty_.CloseMaster();
  EXPECT_TRUE(WaitUntil([&] {
    const int result = PutString(port_, "AT\r");
    return result == ecPutBlockFail;
  }));
  EXPECT_EQ(BytesAvailable(port_), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PortClose(port_), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_FALSE(std::filesystem::exists(locks_.File(NativeLockFileName(pty_.SlavePath()))));
}

TEST_F(NativeLayerTest, TheOperationTableWorksOnAnOpenDevice) {
  const auto layer = NativeDeviceLayer();
  const DeviceHandle h = layer->Open(pty_.SlavePath());
  ASSERT_GE(h, 0);
  SerialState state;
  ASSERT_EQ(layer->BuildState("baud=2400 parity=e data=7 stop=2", state), 0);
  EXPECT_EQ(state.baud, 2400u);
  EXPECT_EQ(state.parity, 2);
  EXPECT_EQ(state.byteSize, 7);
  EXPECT_EQ(state.stopBits, 2);
  SerialState unchanged = state;
  EXPECT_EQ(layer->BuildState("baud=2400 parity=q", unchanged), -1);
  EXPECT_EQ(unchanged, state);
  ASSERT_EQ(layer->SetState(h, state), 0);
  SerialState read;
  ASSERT_EQ(layer->GetState(h, read), 0);
  EXPECT_EQ(read.baud, 2400u);
  EXPECT_EQ(layer->TransmitChar(h, 'Q'), 0);
  EXPECT_EQ(pty_.Read(1), "Q");
  EXPECT_EQ(layer->SetEventMask(h, kDispatcherEventMask), 0);
  EXPECT_EQ(layer->GetEventMask(h), static_cast<int>(kDispatcherEventMask));
  EXPECT_EQ(layer->EnableNotification(h, 10), ecNotSupported);
  EXPECT_EQ(layer->SetupQueues(h, 8192, 8192), 1);
  pty_.Send("in");
  std::uint8_t buffer[8];
  ASSERT_TRUE(WaitUntil([&] {
    DeviceStatus status;
    return layer->GetErrorAndStatus(h, status) == 0 && status.inQueue == 2;
  }));
  EXPECT_EQ(layer->Read(h, buffer, sizeof buffer), 2);
  // Two pieces in one read: the second is filled once the first is full.
  pty_.Send("pieces");
  ASSERT_TRUE(WaitUntil([&] {
    DeviceStatus status;
    return layer->GetErrorAndStatus(h, status) == 0 && status.inQueue == 6;
  }));
  std::uint8_t tail[8] = {};
  EXPECT_EQ(layer->ReadPieces(h, buffer, 4, tail, sizeof tail), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4) + reinterpret_cast<char*>(tail), "pieces");
  EXPECT_EQ(layer->Close(h), 0);
  EXPECT_EQ(layer->Read(h, buffer, sizeof buffer), ecNotOpen);
  DeviceStatus status;
  EXPECT_EQ(layer->GetErrorAndStatus(h, status), ecNotOpen);

  const auto none = NullDeviceLayer();
  EXPECT_EQ(none->Open(pty_.SlavePath()), ecNullApi);
  EXPECT_EQ(none->Write(1, buffer, 1), ecNullApi);
  EXPECT_EQ(none->SetState(1, state), ecNullApi);
  EXPECT_EQ(none->BuildState("baud=9600", state), ecNullApi);
}

TEST_F(NativeLayerTest, MissingDevicesAndNonTerminalsDoNotExist) {
  EXPECT_EQ(PortOpen("/dev/tessivane-no-such-port", kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1),
            kOsFileNotFound);
  locks_.Write("plain", "not a terminal");
  EXPECT_EQ(PortOpen(locks_.File("plain"), kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1), kOsFileNotFound);
  EXPECT_EQ(NativeLockFileName("/dev/ttyS0"), "LCK..ttyS0");
  EXPECT_EQ(NativeLockFileName("/dev/pts/3"), "LCK..pts_3");
}

// Runs fn in a child process and returns its exit status.
template <class F>
int InChild(F fn) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(fn());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(NativeLayerTest, ADeviceOpenInAnotherProcessIsInUse) {
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    const DeviceHandle h = NativeDeviceLayer()->Open(pty_.SlavePath());
    const char ok = h >= 0 ? 'y' : 'n';
    [[maybe_unused]] auto w = ::write(ready[1], &ok, 1);
    char c;
    [[maybe_unused]] auto r = ::read(release[0], &c, 1);
    if (h >= 0) NativeDeviceLayer()->Close(h);
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  const std::string lock = locks_.Read(NativeLockFileName(pty_.SlavePath()));
  char expected[16];
  std::snprintf(expected, sizeof expected, "%10d\n", static_cast<int>(holder));
  EXPECT_EQ(lock, expected);  // ten digits and a newline
  EXPECT_EQ(Open(), kOsAccessDenied);
  ASSERT_EQ(::write(release[1], "x", 1), 1);
  ::waitpid(holder, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);

  // The holder has gone and removed its lock; a second open in this process
  // is refused as well.
  port_ = Open();
  ASSERT_GT(port_, 0);
  EXPECT_EQ(Open(), kOsAccessDenied);
}

TEST_F(NativeLayerTest, TheLockOfADeadProcessIsStale) {
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(dead));
  locks_.Write(NativeLockFileName(pty_.SlavePath()), text);
  port_ = Open();
  ASSERT_GT(port_, 0);
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  EXPECT_EQ(locks_.Read(NativeLockFileName(pty_.SlavePath())), text);
}

TEST_F(NativeLayerTest, ADeviceWithoutReadWritePermissionSaysSo) {
  const std::string path = pty_.SlavePath();
  const int result = InChild([&] {
    if (::geteuid() == 0) {
      // Root opens anything: try as the unprivileged user instead.
      if (::chown(path.c_str(), 0, 0) != 0 || ::chmod(path.c_str(), 0600) != 0) return 100;
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 101;
    } else if (::chmod(path.c_str(), 0) != 0) {
      return 100;
    }
    SetNativeLockFolder("/nonexistent");
    return -NativeDeviceLayer()->Open(path);
  });
  if (result == 100 || result == 101) GTEST_SKIP() << "cannot take read-write permission away from " << path;
  EXPECT_EQ(-result, kOsPermissionDenied);
}

TEST_F(NativeLayerTest, TheComPortComponentTalksToAModemOnATerminal) {
  HeadlessUiThread ui;
  UiThread::Install(&ui);
  TQaComPort port;
  port.SetComNumber(1);
  port.SetDevicePath(pty_.SlavePath());
  port.SetInSize(8192);
  port.SetOutSize(8192);
  port.SetAutoOpen(false);
  port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
  std::string message;
  ASSERT_TRUE(OpenComPortChecked(port, message)) << message;
  std::thread modem([&] {
    if (pty_.Read(4) == "ATZ\r") pty_.Send("ATZ\r\r\nOK\r\n");
  });
  EXPECT_TRUE(SendModemCommand(port, "Z"));
  modem.join();

  TQaComPort second;
  second.SetComNumber(1);
  second.SetDevicePath(pty_.SlavePath());
  EXPECT_FALSE(OpenComPortChecked(second, message));
  EXPECT_EQ(message.rfind("The communications port is in use ( Com 1 )", 0), 0u) << message;
  second.SetDevicePath("/dev/tessivane-no-such-port");
  EXPECT_FALSE(OpenComPortChecked(second, message));
  EXPECT_EQ(message, "Unable to open the specified communications port ( Com1 )");
  port.SetOpen(false);
  UiThread::Install(nullptr);
}

}  // namespace
}  // namespace tv::test
