#include "platform/PathWalk.h"

#include "platform/RegularFile.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace vx4 {

namespace {

constexpr int MaxLinks = 40;

std::deque<std::string> Names(const std::string& path)
{
    std::deque<std::string> names;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        const std::size_t slash = path.find('/', pos);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > pos && path.compare(pos, end - pos, ".") != 0) names.push_back(path.substr(pos, end - pos));
        if (slash == std::string::npos) break;
        pos = slash + 1;
    }
    return names;
}

std::string Join(const std::string& folder, const std::string& name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string Parent(const std::string& folder)
{
    const auto slash = folder.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : folder.substr(0, slash);
}

// Whether gid is this user's own group with no other member (as a user private group is).
bool PrivateGroup(gid_t gid)
{
    const uid_t uid = ::geteuid();
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* pwp = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &pwp) != 0 || pwp == nullptr || pw.pw_gid != gid)
        return false;
    const std::string user = pw.pw_name ? pw.pw_name : "";
    std::vector<char> gbuffer(65536);
    group gr{};
    group* grp = nullptr;
    if (::getgrgid_r(gid, &gr, gbuffer.data(), gbuffer.size(), &grp) != 0 || grp == nullptr) return false;
    for (char** m = gr.gr_mem; m && *m; ++m)
        if (user != *m) return false;
    return true;
}

bool OwnedByUserOrRoot(const struct stat& st) { return st.st_uid == ::geteuid() || st.st_uid == 0; }

// A folder a data file may be taken from: see OnlyUserMayChange; one that everybody may
// write to counts when it is sticky, since then no one else may take away or replace the
// names this user or root put there (each of which is checked in turn).
bool TrustedFolder(const struct stat& st)
{
    if (!OwnedByUserOrRoot(st)) return false;
    if (st.st_mode & S_ISVTX) return true;
    return OnlyUserMayChange(st);
}

// A link the walk may follow: this user's own, or root's in a folder only root may change.
bool FollowableLink(const struct stat& link, const struct stat& folder)
{
    if (link.st_uid == ::geteuid()) return true;
    return link.st_uid == 0 && folder.st_uid == 0 && !(folder.st_mode & (S_IWGRP | S_IWOTH));
}

int OpenRoot() { return ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC); }

} // namespace

WalkedPath::~WalkedPath()
{
    if (folder >= 0) ::close(folder);
}

WalkedPath::WalkedPath(WalkedPath&& other) noexcept
    : folder(other.folder), leaf(std::move(other.leaf)), shown(std::move(other.shown))
{
    other.folder = -1;
}

WalkedPath& WalkedPath::operator=(WalkedPath&& other) noexcept
{
    if (this != &other) {
        if (folder >= 0) ::close(folder);
        folder = other.folder;
        other.folder = -1;
        leaf = std::move(other.leaf);
        shown = std::move(other.shown);
    }
    return *this;
}

bool OnlyUserMayChange(const struct stat& st)
{
    if (!OwnedByUserOrRoot(st) || (st.st_mode & S_IWOTH)) return false;
    return !(st.st_mode & S_IWGRP) || PrivateGroup(st.st_gid);
}

std::string WalkPath(const std::string& path, PathTrust trust, WalkedPath* out, int* err)
{
    int error = 0;
    auto fail = [&](int e, std::string reason) {
        error = e;
        if (err) *err = e;
        return reason;
    };
    if (err) *err = 0;
    *out = WalkedPath();
    if (path.empty()) return fail(ENOENT, std::strerror(ENOENT));
    std::string full = path;
    if (full[0] != '/') {
        char* cwd = ::getcwd(nullptr, 0);
        if (cwd == nullptr) return fail(errno, std::string("the current folder: ") + std::strerror(errno));
        full = Join(cwd, path);
        std::free(cwd);
    }
    std::deque<std::string> names = Names(full);
    if (names.empty()) return fail(EISDIR, std::strerror(EISDIR));

    WalkedPath w;
    w.folder = OpenRoot();
    w.shown = "/";
    if (w.folder < 0) return fail(errno, std::string("/: ") + std::strerror(errno));
    struct stat here{};
    if (::fstat(w.folder, &here) != 0) return fail(errno, std::string("/: ") + std::strerror(errno));
    if (trust == PathTrust::Data && !TrustedFolder(here))
        return fail(EACCES, "the folder / can be changed by another user");
    int links = 0;
    while (!names.empty()) {
        const std::string name = names.front();
        names.pop_front();
        const bool last = names.empty();
        if (name == "..") {
            const int up = ::openat(w.folder, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (up < 0) return fail(errno, w.shown + "/..: " + std::strerror(errno));
            ::close(w.folder);
            w.folder = up;
            w.shown = Parent(w.shown);
            if (::fstat(w.folder, &here) != 0) return fail(errno, w.shown + ": " + std::strerror(errno));
            if (trust == PathTrust::Data && !TrustedFolder(here))
                return fail(EACCES, "the folder " + w.shown + " can be changed by another user");
            if (last) return fail(EISDIR, w.shown + ": " + std::strerror(EISDIR));
            continue;
        }
        const std::string shown = Join(w.shown, name);
        struct stat st{};
        if (::fstatat(w.folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (last && errno == ENOENT) {
                w.leaf = name;
                break;
            }
            // A missing folder on the way is as missing as the file itself.
            return fail(errno, errno == ENOENT ? std::string(std::strerror(ENOENT)) : shown + ": " + std::strerror(errno));
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > MaxLinks) return fail(ELOOP, shown + ": " + std::strerror(ELOOP));
            if (!FollowableLink(st, here))
                return fail(EACCES, "the symbolic link " + shown + " belongs to another user and is not followed");
            std::string target(std::size_t(st.st_size > 0 ? st.st_size : 0) + 256, '\0');
            const ssize_t n = ::readlinkat(w.folder, name.c_str(), target.data(), target.size());
            if (n <= 0 || std::size_t(n) >= target.size())
                return fail(n < 0 ? errno : EINVAL, shown + ": " + std::strerror(n < 0 ? errno : EINVAL));
            target.resize(std::size_t(n));
            std::deque<std::string> more = Names(target);
            names.insert(names.begin(), more.begin(), more.end());
            if (target[0] == '/') {
                ::close(w.folder);
                w.folder = OpenRoot();
                w.shown = "/";
                if (w.folder < 0 || ::fstat(w.folder, &here) != 0) return fail(errno, std::strerror(errno));
                if (trust == PathTrust::Data && !TrustedFolder(here))
                    return fail(EACCES, "the folder / can be changed by another user");
            }
            if (names.empty()) return fail(EISDIR, w.shown + ": " + std::strerror(EISDIR));
            continue;
        }
        if (last) {
            w.leaf = name;
            break;
        }
        if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR, shown + ": " + std::strerror(ENOTDIR));
        const int next = ::openat(w.folder, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return fail(errno, shown + ": " + std::strerror(errno));
        ::close(w.folder);
        w.folder = next;
        w.shown = shown;
        if (::fstat(w.folder, &here) != 0) return fail(errno, shown + ": " + std::strerror(errno));
        if (trust == PathTrust::Data && !TrustedFolder(here))
            return fail(EACCES, "the folder " + shown + " can be changed by another user");
    }
    (void)error;
    *out = std::move(w);
    return {};
}

bool IsTrustedDataFile(int fd, std::string* why)
{
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = NotRegularFileText;
        return false;
    }
    if (st.st_nlink != 1) {
        *why = "the file has more than one name (a hard link)";
        return false;
    }
    if (!OnlyUserMayChange(st)) {
        *why = "the file can be changed by another user";
        return false;
    }
    return true;
}

int OpenDataFile(const std::string& path, std::string* why, int* folder)
{
    if (folder) *folder = -1;
    WalkedPath w;
    *why = WalkPath(path, PathTrust::Data, &w);
    if (!why->empty()) return -1;
    struct stat st{};
    // A look before the open keeps a device's open (which may act on the device) from
    // happening at all; the check on the open descriptor closes the gap in between.
    if (::fstatat(w.folder, w.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *why = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = NotRegularFileText;
        return -1;
    }
    const int fd = ::openat(w.folder, w.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = errno == ELOOP ? NotRegularFileText : std::strerror(errno);
        return -1;
    }
    if (!IsTrustedDataFile(fd, why)) {
        ::close(fd);
        return -1;
    }
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl != -1) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    if (folder) {
        *folder = w.folder;
        w.folder = -1;
    }
    return fd;
}

bool ReadOpenFile(int fd, std::size_t limit, std::string* bytes, std::string* why)
{
    bytes->clear();
    const std::string tooLarge = "the file is larger than " + std::to_string(limit) + " bytes";
    struct stat st{};
    if (::fstat(fd, &st) == 0 && std::size_t(st.st_size) > limit) {
        *why = tooLarge;
        return false;
    }
    bytes->reserve(std::size_t(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = std::strerror(errno);
            bytes->clear();
            return false;
        }
        if (n == 0) break;
        // A file that grows while it is read is held to the same limit.
        if (bytes->size() + std::size_t(n) > limit) {
            bytes->clear();
            *why = tooLarge;
            return false;
        }
        bytes->append(buffer, std::size_t(n));
    }
    return true;
}

bool ReadDataFile(const std::string& path, std::size_t limit, std::string* bytes, std::string* why)
{
    bytes->clear();
    const int fd = OpenDataFile(path, why);
    if (fd < 0) return false;
    const bool ok = ReadOpenFile(fd, limit, bytes, why);
    ::close(fd);
    return ok;
}

} // namespace vx4
