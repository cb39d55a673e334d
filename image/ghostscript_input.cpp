// PDF and PostScript documents rendered by Ghostscript. Ghostscript writes
// the pages as a stream of binary PBM images (1 = black, rows top first) to
// a pipe; each image becomes a fax page as it arrives, so a long document
// never sits in memory or on disk as pictures.
//
// A document is a program, and may be hostile (a job printed by anyone).
// Ghostscript is run by its absolute path with an environment of its own:
// TMPDIR and HOME name an empty folder made for the run and removed after
// it, the only place where -dSAFER lets it write. Where bubblewrap works,
// it runs in a sandbox where that folder is the only writable path, with
// no network.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <vector>

#include "image/document_input.h"
#include "platform/child_process.h"
#include "platform/code_page.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace tv {

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for Ghostscript lasts before the converter hears of
// progress (and may ask to stop).
constexpr int kWaitSliceMs = 250;
constexpr std::size_t kPipeBuffer = 1 << 16;
constexpr std::size_t kPbmHeaderRoom = 64;

// Where Ghostscript and bubblewrap are installed; never looked up in PATH.
constexpr const char* kGhostscriptPaths[] = {"/usr/bin/gs", "/usr/local/bin/gs"};
constexpr const char* kBubblewrap = "/usr/bin/bwrap";

std::string GhostscriptPath() {
  for (const char* path : kGhostscriptPaths) {
    if (access(path, X_OK) == 0) return path;
  }
  return {};
}

// An empty folder, mode 0700, for one run of Ghostscript (in TMPDIR, else
// /tmp); removed with all that was written into it.
class PrivateFolder {
 public:
  PrivateFolder() = default;
  ~PrivateFolder() { Remove(); }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  // 0 or an errno value.
  int Make() {
    Remove();
    const char* tmp = std::getenv("TMPDIR");
    int error = 0;
    for (const char* base : {tmp && tmp[0] == '/' ? tmp : "/tmp", "/tmp"}) {
      std::string pattern = std::string(base) + "/tv-gs-XXXXXX";
      if (mkdtemp(pattern.data())) {
        path_ = pattern;
        return 0;
      }
      error = errno;
    }
    return error;
  }
  const std::string& Path() const { return path_; }
  void Remove() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    path_.clear();
  }

 private:
  std::string path_;
};

// `command` inside a bubblewrap sandbox: the whole file system read-only
// but `folder`, no network, no other process to see, ended with its parent.
// The command is the sandbox's first process rather than a child of one
// that bubblewrap adds, so that its time counts as its caller's children's.
std::vector<std::string> Sandboxed(const std::string& folder, const std::vector<std::string>& command) {
  std::vector<std::string> argv = {kBubblewrap, "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc",
                                   "--bind", folder, folder, "--unshare-all", "--as-pid-1", "--die-with-parent",
                                   "--new-session", "--"};
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

// Whether bubblewrap can make its sandbox here (it needs user name spaces,
// which a system may withhold); asked once.
bool SandboxWorks(const std::string& gs, const std::string& folder) {
  static const bool works = [&] {
    if (access(kBubblewrap, X_OK) != 0) return false;
    ChildProcess probe;
    probe.SetEnvironment({});
    if (probe.Start(Sandboxed(folder, {gs, "--version"})) != 0) return false;
    char version[64];
    for (std::size_t got = 1; got > 0 && probe.Read(version, sizeof version, -1, got) == 0;) {
    }
    return probe.Wait() == 0;
  }();
  return works;
}

// What Ghostscript said, as one line: its own messages without the stars,
// banners and blank lines.
std::string GhostscriptSays(const std::string& output) {
  std::istringstream lines(output);
  std::string said;
  for (std::string line; std::getline(lines, line);) {
    line = TrimWhite(PrintableText(line));
    while (!line.empty() && line.front() == '*') line.erase(0, 1);
    line = TrimWhite(line);
    if (line.empty() || line.starts_with("GPL Ghostscript") || line.starts_with("Output may be incorrect")) continue;
    if (said.find(line) != std::string::npos) continue;
    if (!said.empty()) said += ' ';
    said += line;
    if (said.size() > 300) break;
  }
  return said;
}

class GhostscriptInput : public ConverterInput {
 public:
  explicit GhostscriptInput(const DocumentRendering& rendering) : rendering_(rendering) {}

  int Open(FaxConverter& converter) override {
    width_ = converter.PageWidth() - converter.LeftMargin();
    height_ = PaperLines(rendering_.paper, converter.Fine());
    rowBytes_ = static_cast<std::size_t>(width_ + 7) / 8;
    start_ = Clock::now();
    pages_ = 0;
    const std::string resolution = converter.Fine() ? "-r204x196" : "-r204x98";
    const std::string size = "-g" + std::to_string(width_) + "x" + std::to_string(height_);
    // A name that Ghostscript could take for an option stays a file name.
    std::string input = converter.InputName();
    if (!input.starts_with("/")) input = "./" + input;
    const std::string gs = GhostscriptPath();
    if (gs.empty()) {
      converter.SetErrorDetail("Ghostscript (gs) is not installed");
      return ecFileNotFound;
    }
    if (const int error = folder_.Make(); error != 0) {
      converter.SetErrorDetail("cannot make a folder for Ghostscript: " + std::string(std::strerror(error)));
      return IoErrorFromErrno(error, true);
    }
    const std::vector<std::string> args = {
        gs, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT", "-sDEVICE=pbmraw", resolution, size,
        // Every page is scaled to fit the fixed paper; edges stay sharp.
        "-dFIXEDMEDIA", "-dFitPage", "-dTextAlphaBits=1", "-dGraphicsAlphaBits=1",
        // What a PostScript program prints must not mix with the pages.
        "-sstdout=%stderr", "-sOutputFile=-", "-f", input};
    gs_.SetEnvironment({"TMPDIR=" + folder_.Path(), "HOME=" + folder_.Path()});
    gs_.SetMemoryLimit(rendering_.memoryBytes);
    if (const int error = gs_.Start(SandboxWorks(gs, folder_.Path()) ? Sandboxed(folder_.Path(), args) : args);
        error != 0) {
      converter.SetErrorDetail("Ghostscript cannot be started: " + std::string(std::strerror(error)));
      return IoErrorFromErrno(error);
    }
    // Ghostscript renders the next page while this one is coded.
    gs_.WidenOutputPipe(rowBytes_ * static_cast<std::size_t>(height_) + kPbmHeaderRoom);
    return NextPage(converter);
  }

  int ReadLine(FaxConverter& converter, ConverterLine& line) override {
    if (row_ >= height_) {
      line.endOfPage = true;
      if (int rc = NextPage(converter); rc != ecOK) return rc;
      line.morePages = pageOpen_;
      return ecOK;
    }
    std::uint8_t* raster = converter.Raster();
    if (int rc = ReadExactly(converter, raster, rowBytes_); rc != ecOK) return rc;
    // Bits past the width are padding.
    if (const int spare = static_cast<int>(rowBytes_ * 8) - width_; spare > 0)
      raster[rowBytes_ - 1] &= static_cast<std::uint8_t>(0xFF << spare);
    ++row_;
    line.length = static_cast<int>(rowBytes_);
    return ecOK;
  }

  void Close(FaxConverter&) override {
    gs_.Kill();
    folder_.Remove();
  }

 private:
  // Reads the next page's PBM header, or learns that the document ended.
  int NextPage(FaxConverter& converter) {
    pageOpen_ = false;
    row_ = 0;
    int c = 0;
    if (int rc = Byte(converter, c); rc != ecOK) return rc;
    if (c < 0) return Finish(converter);
    int second = 0;
    if (int rc = Byte(converter, second); rc != ecOK) return rc;
    int width = 0;
    int height = 0;
    if (c != 'P' || second != '4' || Number(converter, width) != ecOK || Number(converter, height) != ecOK ||
        width != width_ || height != height_) {
      return Stop(converter, ecBadGraphicsFormat, "Ghostscript gave a page that is not the one asked for");
    }
    ++pages_;
    pageOpen_ = true;
    return ecOK;
  }

  // A decimal number of the header, after white space and comments; the
  // single white-space byte after it is taken too.
  int Number(FaxConverter& converter, int& value) {
    int c = ' ';
    for (;;) {
      if (int rc = Byte(converter, c); rc != ecOK) return rc;
      if (c == '#') {
        while (c != '\n' && c >= 0) {
          if (int rc = Byte(converter, c); rc != ecOK) return rc;
        }
      } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
        break;
      }
    }
    value = 0;
    for (int digits = 0; c >= '0' && c <= '9'; ++digits) {
      if (digits == 6) return ecBadGraphicsFormat;
      value = value * 10 + (c - '0');
      if (int rc = Byte(converter, c); rc != ecOK) return rc;
    }
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' ? ecOK : ecBadGraphicsFormat;
  }

  // The next byte from Ghostscript, or -1 at the end of its output.
  int Byte(FaxConverter& converter, int& c) {
    if (at_ == filled_) {
      if (int rc = Fill(converter); rc != ecOK) return rc;
      if (filled_ == 0) {
        c = -1;
        return ecOK;
      }
    }
    c = buffer_[at_++];
    return ecOK;
  }

  int ReadExactly(FaxConverter& converter, std::uint8_t* into, std::size_t n) {
    while (n > 0) {
      if (at_ == filled_) {
        if (int rc = Fill(converter); rc != ecOK) return rc;
        if (filled_ == 0) {
          return Stop(converter, ecBadGraphicsFormat,
                      "Ghostscript stopped in the middle of page " + std::to_string(pages_) + ": " +
                          GhostscriptSays(gs_.ErrorOutput()));
        }
      }
      const std::size_t take = std::min(n, filled_ - at_);
      std::copy_n(buffer_.data() + at_, take, into);
      at_ += take;
      into += take;
      n -= take;
    }
    return ecOK;
  }

  // Waits for more of Ghostscript's output within the time limits, letting
  // the converter report progress meanwhile; filled_ is 0 at its end.
  int Fill(FaxConverter& converter) {
    at_ = filled_ = 0;
    if (buffer_.empty()) buffer_.resize(kPipeBuffer);
    const auto idleSince = Clock::now();
    for (;;) {
      const int error = gs_.Read(buffer_.data(), buffer_.size(), kWaitSliceMs, filled_);
      if (error == 0) return ecOK;
      if (error != ETIMEDOUT && error != EINTR) {
        return Stop(converter, IoErrorFromErrno(error),
                    "reading Ghostscript's pages failed: " + std::string(std::strerror(error)));
      }
      if (int rc = converter.KeepAlive(); rc != ecOK) return Stop(converter, rc, "");
      const auto now = Clock::now();
      if (now - idleSince > std::chrono::seconds(rendering_.idleSeconds)) {
        return Stop(converter, ecTimeout,
                    "Ghostscript gave no page for " + std::to_string(rendering_.idleSeconds) +
                        " seconds (a PostScript program that never ends?) and was stopped");
      }
      if (now - start_ > std::chrono::seconds(rendering_.totalSeconds)) {
        return Stop(converter, ecTimeout,
                    "the document took more than " + std::to_string(rendering_.totalSeconds) +
                        " seconds to render and was stopped");
      }
    }
  }

  // Ghostscript has ended its output: a document that gave no page, or
  // that Ghostscript gave up on, is refused.
  int Finish(FaxConverter& converter) {
    const int status = gs_.Wait();
    const std::string said = GhostscriptSays(gs_.ErrorOutput());
    if (said.find("password") != std::string::npos) {
      converter.SetErrorDetail("the PDF is protected by a password; open it in a program that knows the password "
                               "and print it from there");
      return ecBadGraphicsFormat;
    }
    if (pages_ == 0) {
      converter.SetErrorDetail("Ghostscript found no page to print in it" + (said.empty() ? "" : ": " + said));
      return ecBadGraphicsFormat;
    }
    if (status != 0) {
      converter.SetErrorDetail("Ghostscript stopped after page " + std::to_string(pages_) +
                               (said.empty() ? "" : ": " + said));
      return ecBadGraphicsFormat;
    }
    return ecOK;
  }

  int Stop(FaxConverter& converter, int code, const std::string& why) {
    gs_.Kill();
    if (!why.empty()) converter.SetErrorDetail(why);
    return code;
  }

  DocumentRendering rendering_;
  PrivateFolder folder_;  // outlives the child that writes in it
  ChildProcess gs_;
  Clock::time_point start_;
  int width_ = 0;
  int height_ = 0;
  std::size_t rowBytes_ = 0;
  int row_ = 0;
  int pages_ = 0;
  bool pageOpen_ = false;
  std::vector<std::uint8_t> buffer_;
  std::size_t at_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace

std::unique_ptr<ConverterInput> MakeGhostscriptInput(const DocumentRendering& rendering) {
  return std::make_unique<GhostscriptInput>(rendering);
}

}  // namespace tv
