#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace tv {

namespace {

constexpr std::size_t kErrorKept = 8192;
// posix_spawn cannot set a limit in the child; util-linux's prlimit (always
// on the system) sets it and then runs the program.
constexpr char kPrlimit[] = "/usr/bin/prlimit";

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (Running()) Kill();
  ClosePipes();
}

void ChildProcess::SetEnvironment(std::vector<std::string> variables) {
  environment_ = std::move(variables);
  ownEnvironment_ = true;
}

int ChildProcess::Start(const std::vector<std::string>& argv, int stdinFd) {
  if (Running() || argv.empty()) return EINVAL;
  errorOutput_.clear();
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return errno;
  if (pipe2(err, O_CLOEXEC) != 0) {
    const int error = errno;
    close(out[0]);
    close(out[1]);
    return error;
  }
  std::vector<std::string> command;
  if (memoryLimit_ > 0) command = {kPrlimit, "--as=" + std::to_string(memoryLimit_), "--"};
  command.insert(command.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (const std::string& a : command) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> variables;
  for (const std::string& v : environment_) variables.push_back(const_cast<char*>(v.c_str()));
  variables.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdinFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // The child starts with the default signal handling, whatever ours is.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const int rc =
      posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), ownEnvironment_ ? variables.data() : environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    pid_ = -1;
    close(out[0]);
    close(err[0]);
    return rc;
  }
  out_ = out[0];
  err_ = err[0];
  return 0;
}

void ChildProcess::WidenOutputPipe(std::size_t bytes) {
  // Beyond the system's limit (fs.pipe-max-size) the pipe keeps its size:
  // the child is then only slower, never wrong.
  if (out_ >= 0) fcntl(out_, F_SETPIPE_SZ, static_cast<int>(bytes));
}

void ChildProcess::KeepError(const char* data, std::size_t n) {
  errorOutput_.append(data, n);
  if (errorOutput_.size() > kErrorKept) errorOutput_.erase(0, errorOutput_.size() - kErrorKept);
}

// Takes what standard error holds now; false once it has ended.
bool ChildProcess::DrainError() {
  char chunk[4096];
  const ssize_t n = read(err_, chunk, sizeof chunk);
  if (n > 0) {
    KeepError(chunk, static_cast<std::size_t>(n));
    return true;
  }
  if (n < 0 && errno == EINTR) return true;
  CloseFd(err_);
  return false;
}

int ChildProcess::Read(void* buffer, std::size_t size, int timeoutMs, std::size_t& got) {
  got = 0;
  if (out_ < 0) return 0;
  for (;;) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    const int ready = poll(fds, err_ >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    if (err_ >= 0 && fds[1].revents != 0) DrainError();
    if (fds[0].revents != 0) {
      const ssize_t n = read(out_, buffer, size);
      if (n < 0) return errno;
      if (n == 0) CloseFd(out_);
      got = static_cast<std::size_t>(n);
      return 0;
    }
  }
}

int ChildProcess::Wait() {
  CloseFd(out_);
  while (err_ >= 0) DrainError();
  if (!Running()) return -1;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ChildProcess::Kill() {
  if (!Running()) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  ClosePipes();
}

void ChildProcess::ClosePipes() {
  CloseFd(out_);
  CloseFd(err_);
}

int ChildProcess::Run(const std::vector<std::string>& argv, int& status, std::string* output) {
  ChildProcess child;
  if (const int rc = child.Start(argv); rc != 0) return rc;
  std::string text;
  char chunk[4096];
  for (;;) {
    std::size_t got = 0;
    const int rc = child.Read(chunk, sizeof chunk, -1, got);
    if (rc == EINTR) continue;
    if (rc != 0 || got == 0) break;
    text.append(chunk, got);
  }
  status = child.Wait();
  if (output) *output = text + child.ErrorOutput();
  return 0;
}

}  // namespace tv
