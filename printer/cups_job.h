// A print job as CUPS hands it to a backend: job id, user, title, copies,
// options and an optional file name as arguments, the rest in environment
// variables (PPD, DEVICE_URI, ...).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "image/document_input.h"

namespace tv::printer {

struct CupsJob {
  std::string id;
  std::string user;
  std::string title;
  std::map<std::string, std::string> options;
  std::string file;  // empty: the job comes on standard input

  std::string Option(const std::string& name) const;
};

// The job of a backend's arguments (argv[1] to argv[5], argv[6] optional);
// nullopt when there are not six or seven of them.
std::optional<CupsJob> ParseCupsJob(int argc, char** argv);

// Whether CUPS says the job was sent from this computer. The user name of
// a job from elsewhere is whatever that computer claimed, so it is trusted
// only for local jobs.
bool IsLocalJob(const CupsJob& job);

// How the job is to be rendered: the paper and resolution its options ask
// for, else the queue's defaults from its PPD file; the time limits from
// TESSIVANE_RENDER_IDLE_SECONDS and TESSIVANE_RENDER_SECONDS when the
// scheduler's configuration sets them.
struct JobRendering {
  DocumentRendering document;
  bool fine = true;
};
JobRendering RenderingOf(const CupsJob& job, const std::string& ppdPath);

// The three lines of the fax's description: the fax number and recipient
// given as job options (fax-number=..., recipient=...) and the title as the
// subject, each one line of printable text.
struct FaxDescription {
  std::string phone;
  std::string recipient;
  std::string subject;
};
FaxDescription DescriptionOf(const CupsJob& job);

// Text for one line of the description: control characters (line ends
// among them) become blanks, runs of blanks one blank, and the text is cut
// to at most maxBytes without splitting a UTF-8 character.
std::string OneLine(std::string_view text, std::size_t maxBytes);

}  // namespace tv::printer
