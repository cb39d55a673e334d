// Serial path costs on a pseudo-terminal pair with the dispatcher on both
// ends: the program side opens the slave, the far end attaches the master.
//
//   PtyThroughput: one mebibyte put in blocks on one port and taken by an
//     avail handler on the other (with GetBlock, or byte by byte with
//     GetChar as the fax engine reads), against the same bytes written and
//     read with plain write() and read() on a pair (bench/compare.h: process
//     CPU per MiB, ours / peer).
//   IdlePortCpu: an open port with an avail trigger and a handler, nothing
//     arriving, for 10 s; process CPU as a percentage of one core.
//
//   comm_bench --benchmark_filter=PtyThroughput --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/compare.h"
#include "comm/dispatcher.h"
#include "comm/native_layer.h"
#include "platform/error_codes.h"

namespace tv {
namespace {

constexpr std::uint64_t kBytesPerRound = 1 << 20;

double ProcessCpuSeconds() { return bench::ProcessCpuMs() / 1e3; }

// A pseudo-terminal pair: the master and the slave's path, the slave set raw.
struct Pty {
  explicit Pty(bool nonBlockingMaster) {
    master = posix_openpt(O_RDWR | O_NOCTTY | (nonBlockingMaster ? O_NONBLOCK : 0));
    grantpt(master);
    unlockpt(master);
    slavePath = ptsname(master);
  }
  ~Pty() { close(master); }
  int OpenRawSlave() const {
    const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    return slave;
  }
  int master = -1;
  std::string slavePath;
};

// Writes a round's bytes in blocks, waiting while the device is full.
void WriteRound(int fd, int blockSize) {
  const std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize), 0x55);
  for (std::uint64_t sent = 0; sent < kBytesPerRound;) {
    const auto n = write(fd, block.data(), block.size());
    if (n <= 0) break;
    sent += static_cast<std::uint64_t>(n);
  }
}

// An avail handler taking every byte offered; Wait returns once `target`
// bytes have come.
struct Counter {
  int port = 0;
  bool byBlock = true;
  std::uint64_t target = 0;
  std::atomic<std::uint64_t> received{0};
  std::mutex mutex;
  std::condition_variable reached;

  static void Procedure(void* arg, std::uint32_t, std::uint32_t count, std::uint32_t) {
    auto* self = static_cast<Counter*>(arg);
    std::uint64_t taken = 0;
    if (self->byBlock) {
      std::uint8_t bytes[kInputBufferSize];
      if (GetBlock(self->port, bytes, static_cast<int>(count)) == static_cast<int>(count)) taken = count;
    } else {
      while (taken < count && GetChar(self->port) >= 0) ++taken;
    }
    if ((self->received += taken) >= self->target) {
      std::lock_guard lock(self->mutex);
      self->reached.notify_all();
    }
  }
  void Wait() {
    std::unique_lock lock(mutex);
    reached.wait(lock, [&] { return received >= target; });
  }
};

// Who sends the bytes: the dispatcher's PutBlock on a port at the other end,
// or plain write() calls (so that only the receiving side differs).
enum Sender { kPlainWrites = 0, kDispatcherSends = 1 };

// Our side: the receiving port (and with kDispatcherSends the sending one)
// opened and closed outside the measurement.
bench::Side DispatcherSide(int blockSize, bool byBlock, Sender sender, benchmark::State& state) {
  struct Ports {
    std::unique_ptr<Pty> pty;
    int receiving = 0;
    int sending = 0;
  };
  auto ports = std::make_shared<Ports>();
  auto counter = std::make_shared<Counter>();
  counter->byBlock = byBlock;
  bench::Side side;
  side.prepare = [=, &state] {
    SetNativeLockFolder("/nonexistent");  // no lock files for a benchmark
    InstallDeviceLayer(NativeDeviceLayer());
    ports->pty = std::make_unique<Pty>(sender == kDispatcherSends);
    const Pty& pty = *ports->pty;
    if (sender == kDispatcherSends) {
      ports->sending = PortOpen(pty.slavePath, kDispatcherThreads, 8192, 8192, 115200, 0, 8, 1);
      ports->receiving = PortOpenAttached("", kDispatcherThreads, 8192, 8192, 115200, 0, 8, 1, pty.master);
    } else {
      ports->receiving = PortOpen(pty.slavePath, kDispatcherThreads, 8192, 8192, 115200, 0, 8, 1);
    }
    if (ports->receiving <= 0 || ports->sending < 0) state.SkipWithError("cannot open the pseudo-terminal");
    counter->port = ports->receiving;
    counter->received = 0;
    counter->target = kBytesPerRound;
    RegisterTriggerHandler(ports->receiving, nullptr, Counter::Procedure, counter.get(), true);
    SetAvailLevel(ports->receiving, 1);
  };
  side.round = [=] {
    if (sender == kPlainWrites) {
      WriteRound(ports->pty->master, blockSize);
    } else {
      const std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize), 0x55);
      for (std::uint64_t sent = 0; sent < kBytesPerRound; sent += static_cast<std::uint64_t>(blockSize)) {
        while (PutBlock(ports->sending, block.data(), blockSize) == ecOutputBufferTooSmall)
          std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
    counter->Wait();
  };
  side.finish = [=] {
    if (ports->sending > 0) PortClose(ports->sending);
    PortClose(ports->receiving);
    *ports = Ports{};
  };
  return side;
}

// The peer: the same bytes written the same way to a plain pair and read
// with read() in 64 KiB pieces.
bench::Side PlainSide(int blockSize) {
  auto pty = std::make_shared<std::unique_ptr<Pty>>();
  auto slave = std::make_shared<int>(-1);
  bench::Side side;
  side.prepare = [=] {
    *pty = std::make_unique<Pty>(false);
    *slave = (*pty)->OpenRawSlave();
  };
  side.round = [=] {
    std::thread reader([&] {
      std::vector<std::uint8_t> in(65536);
      for (std::uint64_t got = 0; got < kBytesPerRound;) {
        const auto n = read(*slave, in.data(), in.size());
        if (n <= 0) break;
        got += static_cast<std::uint64_t>(n);
      }
    });
    WriteRound((*pty)->master, blockSize);
    reader.join();
  };
  side.finish = [=] {
    close(*slave);
    pty->reset();
  };
  return side;
}

// Arguments: block size; 1 to take bytes with GetBlock, 0 with GetChar; the
// sender.
void PtyThroughput(benchmark::State& state) {
  const int blockSize = static_cast<int>(state.range(0));
  const auto sender = static_cast<Sender>(state.range(2));
  bench::Compare(state, DispatcherSide(blockSize, state.range(1) != 0, sender, state), PlainSide(blockSize));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytesPerRound * 2));
}
BENCHMARK(PtyThroughput)
    ->ArgNames({"block", "getblock", "putblock"})
    ->Args({4096, 1, kPlainWrites})
    ->Args({4096, 1, kDispatcherSends})
    ->Args({256, 1, kDispatcherSends})
    ->Args({4096, 0, kDispatcherSends})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

void IdlePortCpu(benchmark::State& state) {
  SetNativeLockFolder("/nonexistent");
  InstallDeviceLayer(NativeDeviceLayer());
  const Pty pty(false);
  const int port = PortOpen(pty.slavePath, kDispatcherThreads, 8192, 8192, 115200, 0, 8, 1);
  if (port <= 0) {
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  Counter counter;
  counter.port = port;
  RegisterTriggerHandler(port, nullptr, Counter::Procedure, &counter, true);
  SetAvailLevel(port, 1);
  const int timer = AddTimerTrigger(port);
  SetTimerTrigger(port, timer, kTickWrap, true);  // armed, never expires: checked every idle pass
  double cpu = 0;
  double seconds = 0;
  for (auto _ : state) {
    const double before = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu += ProcessCpuSeconds() - before;
  }
  state.counters["cpu_percent_of_core"] = 100.0 * cpu / seconds;
  PortClose(port);
}
BENCHMARK(IdlePortCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tv

BENCHMARK_MAIN();
