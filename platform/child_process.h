// A helper program run as a child process, with its standard output and
// error read through pipes. Both pipes are served by one poll, so a program
// that writes much to one of them can never stall on the other. Failures are
// errno values, as everywhere in platform/: 0 is success.
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

  // The child gets exactly these variables ("NAME=value") rather than this
  // process's environment.
  void SetEnvironment(std::vector<std::string> variables);
  // Starts argv[0] (a path, or a name looked up in PATH) with standard input
  // from `stdinFd` (/dev/null when negative). 0 or an errno value (ENOENT: no
  // such program).
  int Start(const std::vector<std::string>& argv, int stdinFd = -1);
  bool Running() const { return pid_ > 0; }
  // Lets the child write up to `bytes` of standard output ahead of the
  // reader (as far as the system allows), so that it works on while the
  // reader is busy with what came before.
  void WidenOutputPipe(std::size_t bytes);
  // Limits the memory (address space) of the children started from now on,
  // and of theirs, to `bytes`: an allocation beyond fails in the child. The
  // limit is in place before the child's program runs (util-linux's prlimit
  // sets it and then runs the program), so nothing escapes it.
  void SetMemoryLimit(std::uint64_t bytes) { memoryLimit_ = bytes; }

  // Reads what the child writes to its standard output into `buffer`: 0 with
  // `got` the bytes read (0 at its end), ETIMEDOUT when nothing came within
  // timeoutMs, EINTR when a signal arrived, or another errno value. What it
  // writes to standard error meanwhile is kept (see ErrorOutput).
  int Read(void* buffer, std::size_t size, int timeoutMs, std::size_t& got);

  // Waits for the child to end, reading the rest of both pipes; the exit
  // status, or 128 + the signal that ended it.
  int Wait();
  // Ends the child at once (SIGKILL) and reaps it.
  void Kill();

  // The last 8 KiB the child wrote to standard error.
  const std::string& ErrorOutput() const { return errorOutput_; }

  // Runs a program to its end; its exit status goes to `status`, its
  // standard output and error, together, to `output`. 0, or the errno value
  // of why it could not start.
  static int Run(const std::vector<std::string>& argv, int& status, std::string* output = nullptr);

 private:
  void KeepError(const char* data, std::size_t n);
  bool DrainError();
  void ClosePipes();

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string errorOutput_;
  std::uint64_t memoryLimit_ = 0;  // none
  std::vector<std::string> environment_;
  bool ownEnvironment_ = false;
};

}  // namespace tv
