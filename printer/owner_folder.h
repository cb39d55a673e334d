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

// The owner's SEND folder (ending in '/') as the Location/TVOutPath key of
// their ~/.config/tessivane/TVPD.INI names it. Both must be theirs and no
// symbolic link, the folder an absolute path. Empty, with `problem` set,
// when there is none that can be trusted.
std::string OwnerSendFolder(const passwd& owner, std::string& problem);

// A file without a name in `folder` (so that nothing is left behind, and
// the owner's own disk space is what it uses), holding all that can be
// read from `from`. Its descriptor stays open across exec, for Ghostscript
// to read as /dev/fd/N; -1 with `problem` set on failure.
int CopyToAnonymousFile(int from, const std::string& folder, std::string& problem);

// Gives the finished fax file `staged` (in sendFolder) a second, free name
// PRN#####.APF and then writes its description PRN#####.ZPD, so the window
// never sees a description before its fax; the caller removes `staged`.
// Returns the fax's name; empty, with `problem` set and neither name left
// in the folder, on failure.
std::string PublishPair(const std::string& sendFolder, const std::string& staged, const FaxDescription& description,
                        std::string& problem);

}  // namespace tv::printer
