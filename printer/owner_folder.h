// The job owner's side of a fax print job. The backend takes the owner's
// identity before it touches any of their files, finds their SEND folder
// through their TVPD.INI, and leaves the fax there as a complete pair of
// .APF and .ZPD files, or leaves nothing.
#pragma once

#include <pwd.h>

#include <string>

#include "printer/cups_job.h"

namespace tv::printer {

// Takes the identity of `owner` for good: as root its groups, group and
// user, and root cannot be taken back; otherwise only the user this already
// runs as is served. Empty, or why not.
std::string BecomeUser(const passwd& owner);

// The owner's SEND folder, as the Location/TVOutPath key of their
// ~/.config/tessivane/TVPD.INI names it, held open: the files made here are
// made relative to the open folder, never through a path that could be
// replaced meanwhile, and never through a link. (The converter writes the
// work file by its path; that path is safe only because no one but the
// owner may write in the folder or the one that holds it.)
class SendFolder {
 public:
  SendFolder() = default;
  ~SendFolder();
  SendFolder(const SendFolder&) = delete;
  SendFolder& operator=(const SendFolder&) = delete;

  // Opens the folder. TVPD.INI, the folder and the folder it is in (the
  // program folder) must be the owner's (the program folder may be root's),
  // no symbolic link, and writable by no one else: a folder that another
  // user can write to could get a link planted under the name of the next
  // fax. Empty, or why the folder cannot be trusted.
  std::string Open(const passwd& owner);
  const std::string& Path() const { return path_; }  // ends in '/'

  // A file without a name in the folder (so that nothing is left behind,
  // and the owner's own disk space is what it uses), holding all that can
  // be read from `from`. Its descriptor stays open across exec, for
  // Ghostscript to read as /dev/fd/N; -1 with `problem` set on failure.
  int CopyToAnonymousFile(int from, std::string& problem) const;

  // Makes a new empty work file ".tv-work-XXXXXX<suffix>" under a name no
  // one else has; its name, or empty with `problem` set.
  std::string CreateWorkFile(const std::string& suffix, std::string& problem) const;
  void RemoveFile(const std::string& name) const;

  // Gives the finished fax file `staged` (a name in the folder) a second,
  // free name PRN#####.APF and then writes its description PRN#####.ZPD,
  // so the window never sees a description before its fax, nor a part of
  // one; the caller removes `staged`. Returns the fax's name; empty, with
  // `problem` set and neither name left in the folder, on failure.
  std::string PublishPair(const std::string& staged, const FaxDescription& description, std::string& problem) const;

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace tv::printer
