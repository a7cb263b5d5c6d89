#pragma once
// Walking a path one name at a time, by descriptor, so that what is checked is what is then
// opened, and a symbolic link that another user planted never redirects a write or a read.
//
// The walk starts at "/" (a relative path is taken from the current folder's real path) and
// opens every folder with O_NOFOLLOW. A symbolic link on the way is followed only when this
// user owns it, or root owns it in a folder that only root may change (the rule the kernel's
// fs.protected_symlinks applies in sticky folders, here applied everywhere). Any other link
// is refused with an error that names it.
//
// Data files (option banks, report templates, the settings file) are held to more: every
// folder on the way belongs to this user or root and no one else may change it (a folder
// writable by all counts only when it is sticky, as /tmp, and then only for names that this
// user or root owns). Group write counts as write by others unless the group is this
// user's own private group with no other member. The file itself is a regular file with one
// name, owned by this user or root, that no one else may change; it is opened once with
// O_NOFOLLOW | O_NONBLOCK and checked again on the open descriptor.

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace vx4 {

// Which rule a walk applies to the folders it passes.
enum class PathTrust {
    Write, // only links are checked (the writer's folders may be anyone's, as /tmp)
    Data,  // links, and every folder and the file as for data files
};

// The end of a walk: the open folder that holds the last name, and that name.
class WalkedPath {
public:
    WalkedPath() = default;
    ~WalkedPath();
    WalkedPath(WalkedPath&& other) noexcept;
    WalkedPath& operator=(WalkedPath&& other) noexcept;
    WalkedPath(const WalkedPath&) = delete;
    WalkedPath& operator=(const WalkedPath&) = delete;

    int folder = -1;    // O_RDONLY | O_DIRECTORY descriptor of the folder
    std::string leaf;   // the last name (no "/"); it need not exist
    std::string shown;  // the path with the links followed, for messages
};

// Walks path; an error message (naming a refused link or folder), empty on success, with
// the system's error number in *err (EACCES for a refused link or folder).
std::string WalkPath(const std::string& path, PathTrust trust, WalkedPath* out, int* err = nullptr);

// Whether st (of a folder or file) is one that no user other than this one or root may
// change: owned by this user or root, not writable by others, group write only for this
// user's private group.
bool OnlyUserMayChange(const struct stat& st);

// Whether the open descriptor is a regular file with one name that only this user or root
// may change. A reason in *why when not. For files holding secrets (a password file) the
// caller also tests the read bits.
bool IsTrustedDataFile(int fd, std::string* why);

// Opens the data file at path once (see above); the descriptor (close-on-exec, blocking
// reads) or -1 with *why. With folder given, *folder receives the descriptor of the folder
// the file was opened in (for files it names beside it; the caller closes it), -1 on failure.
int OpenDataFile(const std::string& path, std::string* why, int* folder = nullptr);

// The whole content of the data file at path, refused when larger than limit bytes.
bool ReadDataFile(const std::string& path, std::size_t limit, std::string* bytes, std::string* why);

// The whole content of an open regular file, refused when larger than limit bytes; the
// descriptor is left open.
bool ReadOpenFile(int fd, std::size_t limit, std::string* bytes, std::string* why);

} // namespace vx4
