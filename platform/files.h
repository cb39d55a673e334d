// File helpers shared by every library: what exists at a path, names and
// extensions, and whole-file replacement that never leaves a part behind.
#pragma once

#include <string>
#include <string_view>

namespace tv {

// Something (a file, folder, link target or device) exists at the path.
bool FileExists(const std::string& path);
// A regular file exists at the path; with followLinks false a symbolic link
// does not count, whatever it leads to.
bool IsRegularFile(const std::string& path, bool followLinks = true);
// Both paths name one existing file (the same device and inode), whatever
// the spelling, links or folders in between.
bool SameFile(const std::string& a, const std::string& b);

// Opens a regular file with the open(2) flags given (O_CLOEXEC added) and
// returns the descriptor; -1 with errno set when it cannot be opened, and
// with errno EINVAL when the path names something else (a folder, a named
// pipe, a device), so that a pipe under a file's name cannot hang the caller.
// An open for writing (or one with O_NOFOLLOW) does not follow a symbolic
// link either: the link is refused (EINVAL), so nothing is ever written to
// the file it leads to.
int OpenRegularFile(const std::string& path, int flags, unsigned mode = 0644);

// The last path component's extension with its dot (".APF"); empty if none.
std::string_view Extension(std::string_view path);
// The path with its extension replaced by `extension` (with its dot; empty
// removes it).
std::string ChangeExtension(std::string_view path, std::string_view extension);
// The last path component.
std::string_view BaseName(std::string_view path);

// A name that stays inside the folder it is joined to: not empty, no '/' or
// '\', no control character, and not "." or "..".
bool IsPlainFileName(std::string_view name);

// Creates an empty file in the folder of `beside`, under a name no other
// process or thread gets, ending in `suffix`; returns its path, or an empty
// text (errno set) when it cannot.
std::string CreateTemporaryFile(const std::string& beside, const std::string& suffix);

// Removes the work files (temporary and replacement files) that a program of
// ours left in the folder when it was stopped before it finished: those whose
// maker, named in the file name, no longer runs, or whose process number now
// belongs to a process younger than the file. Returns how many went.
int RemoveStaleWorkFiles(const std::string& folder);

// What a FileReplacement does when its target is a symbolic link.
enum class LinkTarget {
  Refuse,  // the link is left as it is and the replacement refused
  Follow,  // the file the link leads to is replaced
};

// A new version of a file, written under a temporary name beside its target
// and put in the target's place in one step when complete: whatever fails or
// stops on the way, the target holds the old contents or the new, never a
// part. Whatever the target is, it must be a regular file (or not exist).
class FileReplacement {
 public:
  FileReplacement() = default;
  ~FileReplacement() { Discard(); }
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // Creates the temporary file (a name no other process or thread gets);
  // 0 or an errno value, EINVAL when the target is not a regular file (a
  // folder, a named pipe, a device, or a link not to be followed).
  int Begin(const std::string& target, LinkTarget links = LinkTarget::Refuse);
  bool Active() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }
  const std::string& Target() const { return target_; }
  // Writes the file out to the disk, gives it the target's permissions (0644
  // for a new file) and renames it over the target; 0 or an errno value (the
  // temporary file is then removed). The descriptor stays open, now on the
  // file at the target's place.
  int Commit();
  // Like Commit, for a file that must not exist yet: EEXIST, and the
  // temporary file removed, when something took the target's name meanwhile.
  int CommitNew();
  // Closes the descriptor; removes the temporary file unless it was
  // committed. The target is not touched.
  void Discard();
  // Hands the descriptor over to the caller (after Commit).
  int Release();

 private:
  std::string target_;
  int Finish(bool replace);

  std::string temp_;
  int fd_ = -1;
  bool committed_ = false;
};

// Writes `bytes` as the whole new contents of `path` through a
// FileReplacement; 0 or an errno value.
int ReplaceFileContents(const std::string& path, std::string_view bytes, LinkTarget links = LinkTarget::Refuse);

}  // namespace tv
