// Listing directories, opening them through their parents, and asking what
// an entry is, on POSIX.

#include "platform/posix/system.h"

#include <sys/stat.h>

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

directory_ref open_way_directory(const directory& parent, native_view name, bool create, bool& created,
                                 directory_identity& made, std::error_code& error)
{
    const native_string text(name);
    // O_PATH: the way needs only the right to pass through, as a path does.
    const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    int fd = ::openat(parent.fd, text.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
        created = ::mkdirat(parent.fd, text.c_str(), 0777) == 0;
        if (created) {
            // Made here and now: a link in its place would be someone
            // else's doing, and is not followed.
            return opened(::openat(parent.fd, text.c_str(), flags | O_NOFOLLOW), &made, error);
        }
        if (errno != EEXIST) {
            error = last_error();
            return nullptr;
        }
        fd = ::openat(parent.fd, text.c_str(), flags);  // made meanwhile by someone else
    }
    if (fd < 0 && create && (errno == ENOTDIR || errno == ENOENT)) {
        error = last_error(EEXIST);  // something that is not a directory stands there
        return nullptr;
    }
    return opened(fd, nullptr, error);
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
