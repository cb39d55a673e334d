// Runs tools/virtual_fax_line for one test: a Class 1 modem on a
// pseudo-terminal with a spandsp fax terminal as the far end.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tv::test {

class VirtualLine {
 public:
  // args: "--answer OUT.tif" or "--call IN.tif" and the rest; the link is added.
  VirtualLine(const std::string& link, std::vector<std::string> args) : link_(link) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::vector<std::string> argv = {Tool(), "--link", link};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    if (posix_spawn(&pid_, raw[0], &actions, nullptr, raw.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fdopen(fds[0], "r");
  }

  ~VirtualLine() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (out_) std::fclose(out_);
    unlink(link_.c_str());
  }

  // The next line the tool prints (without its end); empty at its end.
  std::string ReadLine() {
    char buffer[512];
    if (!out_ || !std::fgets(buffer, sizeof buffer, out_)) return {};
    std::string line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
  }

  bool WaitReady() { return ReadLine().rfind("ready", 0) == 0; }

  // Waits for the tool to end; its exit status or -1.
  int Wait() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  static std::string Tool() { return TV_VIRTUAL_FAX_LINE; }

  std::string link_;
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

}  // namespace tv::test
