// A helper program run as a child process, with its standard output and
// error read through pipes. Both pipes are served by one poll, so a program
// that writes much to one of them can never stall on the other.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tv {

class ChildProcess {
 public:
  ChildProcess() = default;
  // A child still running is killed and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0], looked up in PATH, with standard input from `stdinFd`
  // (/dev/null when negative). 0 or an errno value (ENOENT: no such program).
  int Start(const std::vector<std::string>& argv, int stdinFd = -1);
  bool Running() const { return pid_ > 0; }
  // Lets the child write up to `bytes` of standard output ahead of the
  // reader (as far as the system allows), so that it works on while the
  // reader is busy with what came before.
  void WidenOutputPipe(std::size_t bytes);
  // Limits the child's memory (its address space) to `bytes`: an allocation
  // beyond fails in the child. 0 or an errno value.
  int LimitMemory(std::uint64_t bytes);

  // Reads what the child writes to its standard output: the bytes read
  // (> 0), 0 at its end, -ETIMEDOUT when nothing came within timeoutMs,
  // -EINTR when a signal arrived, or another negated errno value. What it
  // writes to standard error meanwhile is kept (see ErrorOutput).
  long Read(void* buffer, std::size_t size, int timeoutMs);

  // Waits for the child to end, reading the rest of both pipes; the exit
  // status, or 128 + the signal that ended it.
  int Wait();
  // Ends the child at once (SIGKILL) and reaps it.
  void Kill();

  // The last 8 KiB the child wrote to standard error.
  const std::string& ErrorOutput() const { return errorOutput_; }

  // Runs a program to its end; its standard output and error, together, go
  // to `output`. The exit status, or -1 (errno set) when it cannot start.
  static int Run(const std::vector<std::string>& argv, std::string* output = nullptr);

 private:
  void KeepError(const char* data, std::size_t n);
  bool DrainError();
  void ClosePipes();

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string errorOutput_;
};

}  // namespace tv
