// Serial path costs on a pseudo-terminal pair with the dispatcher on both
// ends: the program side opens the slave, the far end attaches the master.
//
//   PtyThroughput: put block on one port, avail events with GetChar on the
//     other; bytes per second and process CPU milliseconds per megabyte.
//   PtyRawBaseline: the same bytes written and read with plain write() and
//     read() on the pair, the peer the dispatcher path is compared with.
//   IdlePortCpu: an open port with an avail trigger and a handler, nothing
//     arriving, for 10 s; process CPU as a percentage of one core.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "comm/dispatcher.h"
#include "comm/native_layer.h"

namespace tv {
namespace {

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct PtyPair {
  PtyPair() {
    SetNativeLockFolder("/nonexistent");  // no lock files for a benchmark
    InstallDeviceLayer(NativeDeviceLayer());
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    grantpt(master);
    unlockpt(master);
    near = PortOpen(ptsname(master), kDispatcherThreads, 8192, 8192, 115200, 0, 8, 1);
    far = PortOpenAttached("", kDispatcherThreads, 8192, 8192, 115200, 0, 8, 1, master);
  }
  ~PtyPair() {
    PortClose(near);
    PortClose(far);
    close(master);
  }
  bool Ok() const { return near > 0 && far > 0; }

  int master = -1;
  int near = 0;
  int far = 0;
};

struct Counter {
  int port = 0;
  std::atomic<std::uint64_t> received{0};
  static void Procedure(void* arg, std::uint32_t, std::uint32_t count, std::uint32_t) {
    auto* self = static_cast<Counter*>(arg);
    std::uint64_t taken = 0;
    for (std::uint32_t i = 0; i < count && GetChar(self->port) >= 0; ++i) ++taken;
    self->received += taken;
  }
};

void PtyThroughput(benchmark::State& state) {
  PtyPair pair;
  if (!pair.Ok()) {
    state.SkipWithError("cannot open the pseudo-terminal pair");
    return;
  }
  Counter counter;
  counter.port = pair.far;
  RegisterTriggerHandler(pair.far, nullptr, Counter::Procedure, &counter, true);
  SetAvailLevel(pair.far, 1);
  const int blockSize = static_cast<int>(state.range(0));
  constexpr std::uint64_t kBytesPerRound = 4 << 20;
  std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize), 0x55);
  double cpu = 0;
  for (auto _ : state) {
    const std::uint64_t target = counter.received + kBytesPerRound;
    const double cpuBefore = ProcessCpuSeconds();
    for (std::uint64_t sent = 0; sent < kBytesPerRound; sent += static_cast<std::uint64_t>(blockSize)) {
      while (OutFreeSpace(pair.near) < blockSize) std::this_thread::sleep_for(std::chrono::microseconds(100));
      PutBlock(pair.near, block.data(), blockSize);
    }
    while (counter.received < target) std::this_thread::sleep_for(std::chrono::microseconds(100));
    cpu += ProcessCpuSeconds() - cpuBefore;
  }
  const double megabytes = static_cast<double>(state.iterations() * kBytesPerRound) / (1 << 20);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytesPerRound));
  state.counters["cpu_ms_per_MB"] = cpu * 1000 / megabytes;
}
BENCHMARK(PtyThroughput)->Arg(256)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

void PtyRawBaseline(benchmark::State& state) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(master);
  unlockpt(master);
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  const auto blockSize = static_cast<std::size_t>(state.range(0));
  constexpr std::uint64_t kBytesPerRound = 4 << 20;
  std::vector<std::uint8_t> block(blockSize, 0x55);
  double cpu = 0;
  for (auto _ : state) {
    const double cpuBefore = ProcessCpuSeconds();
    std::thread reader([&] {
      std::vector<std::uint8_t> in(65536);
      for (std::uint64_t got = 0; got < kBytesPerRound;) {
        const auto n = read(master, in.data(), in.size());
        if (n <= 0) break;
        got += static_cast<std::uint64_t>(n);
      }
    });
    for (std::uint64_t sent = 0; sent < kBytesPerRound;) {
      const auto n = write(slave, block.data(), blockSize);
      if (n <= 0) break;
      sent += static_cast<std::uint64_t>(n);
    }
    reader.join();
    cpu += ProcessCpuSeconds() - cpuBefore;
  }
  close(slave);
  close(master);
  const double megabytes = static_cast<double>(state.iterations() * kBytesPerRound) / (1 << 20);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytesPerRound));
  state.counters["cpu_ms_per_MB"] = cpu * 1000 / megabytes;
}
BENCHMARK(PtyRawBaseline)->Arg(256)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

void IdlePortCpu(benchmark::State& state) {
  PtyPair pair;
  if (!pair.Ok()) {
    state.SkipWithError("cannot open the pseudo-terminal pair");
    return;
  }
  Counter counter;
  counter.port = pair.near;
  RegisterTriggerHandler(pair.near, nullptr, Counter::Procedure, &counter, true);
  SetAvailLevel(pair.near, 1);
  const int timer = AddTimerTrigger(pair.near);
  SetTimerTrigger(pair.near, timer, kTickWrap, true);  // armed, never expires: checked every idle pass
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
}
BENCHMARK(IdlePortCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tv

BENCHMARK_MAIN();
