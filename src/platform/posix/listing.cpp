// Listing directories, opening them through their parents, and asking what
// an entry is, on POSIX.

#include "platform/posix/system.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <utility>

namespace tarn::platform {

entry_type status(const native_string& path, std::error_code& error)
{
    return status_in(directory{}, path, error);
}

void close_directory(directory_stream* stream)
{
    if (stream != nullptr) {
        ::closedir(stream->dir);
        delete stream;
    }
}

bool next_entry(directory_stream& stream, native_view& name, listed_type& type, bool& descend,
                std::error_code& error)
{
    error.clear();
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream.dir);
        if (entry == nullptr) {
            if (errno != 0) {
                error = last_error();
            }
            return false;
        }
        const char* text = entry->d_name;
        if (text[0] == '.' && (text[1] == '\0' || (text[1] == '.' && text[2] == '\0'))) {
            continue;
        }
        name = native_view(text);
        type = entry->d_type == DT_REG   ? listed_type::regular
               : entry->d_type == DT_DIR ? listed_type::directory
                                         : listed_type::unknown;
        if (entry->d_type == DT_UNKNOWN) {
            // Some file systems leave the type out; ask without following links.
            struct stat info {};
            descend = ::fstatat(::dirfd(stream.dir), text, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISDIR(info.st_mode);
        } else {
            descend = entry->d_type == DT_DIR;
        }
        return true;
    }
}

void close_directory(directory* dir)
{
    if (dir != nullptr) {
        if (dir->fd >= 0) {
            ::close(dir->fd);  // read-only: nothing to lose in its error
        }
        delete dir;
    }
}

namespace {

directory_ref opened(int fd, directory_identity* identity, std::error_code& error)
{
    if (fd < 0) {
        error = last_error();
        return nullptr;
    }
    directory_ref dir(new directory{fd});
    if (identity != nullptr) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            error = last_error();
            return nullptr;
        }
        *identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    }
    error.clear();
    return dir;
}

}  // namespace

directory_ref open_typed_directory(const native_string& path, directory_identity& identity, std::error_code& error)
{
    if (path.empty()) {
        error.clear();
        return directory_ref(new directory{});
    }
    return opened(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), &identity, error);
}

directory_ref open_listed_directory(const directory& parent, native_view name, directory_identity& expected,
                                    bool check, std::error_code& error)
{
    const native_string text(name);
    directory_identity found;
    directory_ref dir =
        opened(::openat(parent.fd, text.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), &found, error);
    if (!dir) {
        return nullptr;  // a failed query says nothing of the identity: keep the one known
    }
    if (check && found != expected) {
        error = last_error(ELOOP);  // another directory was put in its place
        return nullptr;
    }
    expected = found;
    return dir;
}

namespace {

// As many links as the system itself follows in one path.
constexpr int link_limit = 40;

// The directory `name` names in `dir`, as a descriptor that only passes
// through (O_PATH), or minus the error number. A link is followed only when
// it belongs to the user running the program or to root: anyone else who can
// write a directory could otherwise send a new name, and the file with it,
// into a directory of theirs, or plant their files in one of the user's.
// The link is opened itself, and its owner and target are read through that
// descriptor, so that it cannot be swapped between the check and the read;
// its target is then resolved a name at a time from where the link stands
// (or from the root), each link met on the way under the same rule. `..` in
// a target is the link owner's choice. `foreign` is set when the refusal
// came from someone else's link.
int open_trusted(int dir, const native_string& name, int& links, bool& foreign)
{
    descriptor found;
    found.fd = ::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (found.fd < 0 || ::fstat(found.fd, &info) != 0) {
        return -errno;
    }
    if (S_ISDIR(info.st_mode)) {
        return std::exchange(found.fd, -1);
    }
    if (!S_ISLNK(info.st_mode)) {
        return -ENOTDIR;
    }
    if (info.st_uid != ::geteuid() && info.st_uid != 0) {
        foreign = true;
        return -EACCES;
    }
    if (++links > link_limit) {
        return -ELOOP;
    }
    native_string target(PATH_MAX, '\0');
    const ssize_t length = ::readlinkat(found.fd, "", target.data(), target.size());
    if (length < 0) {
        return -errno;
    }
    if (static_cast<std::size_t>(length) == target.size()) {
        return -ENAMETOOLONG;
    }
    target.resize(static_cast<std::size_t>(length));
    descriptor reached;
    if (target.starts_with('/')) {
        reached.fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (reached.fd < 0) {
            return -errno;
        }
    }
    for (std::size_t start = 0; start < target.size();) {
        const std::size_t end = std::min(target.find('/', start), target.size());
        if (end > start) {
            const int next = open_trusted(reached.fd >= 0 ? reached.fd : dir, target.substr(start, end - start),
                                          links, foreign);
            if (next < 0) {
                return next;
            }
            descriptor passed;
            passed.fd = std::exchange(reached.fd, next);
        }
        start = end + 1;
    }
    return std::exchange(reached.fd, -1);
}

}  // namespace

directory_ref open_way_directory(const directory& parent, native_view name, bool create, bool& created,
                                 directory_identity& made, std::error_code& error)
{
    const native_string text(name);
    int links = 0;
    bool foreign = false;
    int fd = open_trusted(parent.fd, text, links, foreign);
    if (fd == -ENOENT && create) {
        created = ::mkdirat(parent.fd, text.c_str(), 0777) == 0;
        if (created) {
            // Made here and now: a link in its place would be someone
            // else's doing, and is not followed.
            return opened(::openat(parent.fd, text.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), &made,
                          error);
        }
        if (errno != EEXIST) {
            error = last_error();
            return nullptr;
        }
        links = 0;
        fd = open_trusted(parent.fd, text, links, foreign);  // made meanwhile by someone else
    }
    if (fd >= 0) {
        return opened(fd, nullptr, error);
    }
    // Something that is not a directory stands there; and where the new
    // name is only asked about, what lies behind someone else's link is
    // nothing of this run's: its creation step then refuses it.
    error = last_error(create && (fd == -ENOTDIR || fd == -ENOENT) ? EEXIST : foreign && !create ? ENOENT : -fd);
    return nullptr;
}

directory_handle list_directory(const directory& dir, std::error_code& error)
{
    const int fd = ::fcntl(dir.fd, F_DUPFD_CLOEXEC, 0);
    DIR* stream = fd < 0 ? nullptr : ::fdopendir(fd);
    if (stream == nullptr) {
        error = last_error();
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    error.clear();
    return directory_handle(new directory_stream{stream});
}

entry_type status_in(const directory& dir, native_view name, std::error_code& error)
{
    struct stat info {};
    if (::fstatat(dir.fd, native_string(name).c_str(), &info, 0) != 0) {
        error = last_error();
        return entry_type::none;
    }
    error.clear();
    return S_ISREG(info.st_mode) ? entry_type::regular
           : S_ISDIR(info.st_mode) ? entry_type::directory
                                   : entry_type::other;
}

}  // namespace tarn::platform
