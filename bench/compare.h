// Our engine and the library a user would otherwise pick, on the same work in
// the same run. Each iteration does one round of each side, the order
// swapping every iteration, so both meet the same machine load; the counters
// are each side's process CPU time per round (all threads, system time
// included), its wall time, and the CPU ratio ours / peer. Run with
// --benchmark_repetitions and read the medians:
//
//   some_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//       --benchmark_counters_tabular=true
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <functional>

namespace tv::bench {

// One side of a comparison: `round` is measured, `prepare` and `finish`
// (setting up and putting away the round's files or ports) are not.
struct Side {
  std::function<void()> round;
  std::function<void()> prepare = [] {};
  std::function<void()> finish = [] {};
};

inline double ProcessCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

inline double WallMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs both sides each iteration and sets the counters ours_ms, peer_ms,
// ratio (CPU), ours_wall_ms and peer_wall_ms. Register with UseManualTime():
// the iteration time is the wall time of the two measured rounds. Sides that
// run child processes pass a `cpuMs` clock that counts the children too.
inline void Compare(benchmark::State& state, const Side& ours, const Side& peer,
                    const std::function<double()>& cpuMs = ProcessCpuMs) {
  double cpu[2] = {0, 0};
  double wall[2] = {0, 0};
  const Side* sides[2] = {&ours, &peer};
  bool oursFirst = true;
  for (auto _ : state) {
    double iteration = 0;
    for (int turn = 0; turn < 2; ++turn) {
      const int which = (turn == 0) == oursFirst ? 0 : 1;
      const Side& side = *sides[which];
      side.prepare();
      const double cpuBefore = cpuMs();
      const double wallBefore = WallMs();
      side.round();
      const double wallTaken = WallMs() - wallBefore;
      cpu[which] += cpuMs() - cpuBefore;
      wall[which] += wallTaken;
      iteration += wallTaken;
      side.finish();
    }
    oursFirst = !oursFirst;
    state.SetIterationTime(iteration / 1e3);
  }
  const auto rounds = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = cpu[0] / rounds;
  state.counters["peer_ms"] = cpu[1] / rounds;
  state.counters["ratio"] = cpu[1] > 0 ? cpu[0] / cpu[1] : 0;
  state.counters["ours_wall_ms"] = wall[0] / rounds;
  state.counters["peer_wall_ms"] = wall[1] / rounds;
}

}  // namespace tv::bench
