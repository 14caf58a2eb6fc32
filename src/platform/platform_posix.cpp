// The POSIX side of the platform layer: names are the bytes the system gives,
// the separator is '/', and errors are errno values.

#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace tarn::platform {

namespace {

std::error_code last_error(int number = errno)
{
    return std::error_code(number, std::system_category());
}

// Closes a descriptor on every way out of the copy.
struct descriptor {
    int fd = -1;
    ~descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

std::error_code write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return last_error();
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return {};
}

std::error_code copy_contents(int from_fd, int to_fd)
{
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t count = ::read(from_fd, buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return last_error();
        }
        if (count == 0) {
            return {};
        }
        if (auto error = write_all(to_fd, buffer.data(), static_cast<std::size_t>(count))) {
            return error;
        }
    }
}

std::error_code sync_parent_directory(const native_string& path)
{
    const std::size_t slash = path.rfind('/');
    const native_string parent =
        slash == native_string::npos ? native_string(".") : path.substr(0, slash == 0 ? 1 : slash);
    descriptor directory;
    directory.fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory.fd < 0) {
        return last_error();
    }
    // Some file systems cannot flush a directory; their entries are as safe as
    // they will get.
    if (::fsync(directory.fd) != 0 && errno != EINVAL && errno != ENOTSUP) {
        return last_error();
    }
    return {};
}

// Moves a regular file to another file system. The target is created
// exclusively, so nothing there is ever replaced; the source goes only after
// the copy is complete and on disk. On any failure the partial copy is
// removed and the source stays.
std::error_code copy_then_remove(const native_string& from, const native_string& to)
{
    descriptor source;
    source.fd = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (source.fd < 0) {
        return last_error();
    }
    struct stat info {};
    if (::fstat(source.fd, &info) != 0) {
        return last_error();
    }
    if (!S_ISREG(info.st_mode)) {
        return last_error(EXDEV);
    }

    descriptor target;
    // Owner-only while the data is incomplete; the real mode is set last.
    target.fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (target.fd < 0) {
        return last_error();
    }
    auto fail = [&](std::error_code error) {
        ::close(target.fd);
        target.fd = -1;
        ::unlink(to.c_str());
        return error;
    };

    if (auto error = copy_contents(source.fd, target.fd)) {
        return fail(error);
    }
    // Ownership may be refused to an unprivileged user; the copy is still good.
    if (::fchown(target.fd, info.st_uid, info.st_gid) != 0 && errno != EPERM) {
        return fail(last_error());
    }
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (::futimens(target.fd, times) != 0) {
        return fail(last_error());
    }
    // The mode comes after the ownership change, which can clear set-id bits.
    if (::fchmod(target.fd, info.st_mode & 07777) != 0) {
        return fail(last_error());
    }
    if (::fsync(target.fd) != 0) {
        return fail(last_error());
    }
    int closing = ::close(target.fd);
    target.fd = -1;
    if (closing != 0) {
        return fail(last_error());
    }
    // The two file systems journal independently: the new name must be on
    // disk before the old one goes, or a crash in between could keep neither.
    if (auto error = sync_parent_directory(to)) {
        return fail(error);
    }
    if (::unlink(from.c_str()) != 0) {
        // Two copies must never be left behind as a success: drop the new one.
        std::error_code error = last_error();
        ::unlink(to.c_str());
        return error;
    }
    return {};
}

// For file systems that refuse the no-replace flag. A hard link fails when
// the name is taken, which makes the move of a regular file as safe as the
// flag; anything else gets a checked rename with a small window between the
// check and the rename.
std::error_code move_without_flag(const native_string& from, const native_string& to)
{
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0) {
        return last_error();
    }
    if (S_ISREG(info.st_mode)) {
        if (::link(from.c_str(), to.c_str()) == 0) {
            if (::unlink(from.c_str()) != 0) {
                std::error_code error = last_error();
                ::unlink(to.c_str());
                return error;
            }
            return {};
        }
        if (errno == EEXIST || errno == EXDEV || errno == ENOENT || errno == ENOTDIR) {
            return last_error();
        }
    }
    struct stat existing {};
    if (::lstat(to.c_str(), &existing) == 0) {
        return last_error(EEXIST);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return last_error();
    }
    return {};
}

}  // namespace

bool is_separator(native_char c)
{
    return c == '/';
}

bool is_bare_drive(native_view)
{
    return false;
}

std::size_t root_path_length(native_view path)
{
    return creation_root_length(path);
}

std::size_t creation_root_length(native_view path)
{
    std::size_t length = 0;
    while (length < path.size() && path[length] == '/') {
        ++length;
    }
    return length;
}

std::string narrow_text(native_view native, std::error_code& error)
{
    error.clear();
    return std::string(native);
}

native_string native_text(std::string_view narrow, std::error_code& error)
{
    error.clear();
    return native_string(narrow);
}

std::string display_text(native_view native)
{
    return std::string(native);
}

native_string listed_path(native_view path)
{
    return native_string(path);
}

std::error_code check_new_name(native_view)
{
    return {};
}

std::error_code not_a_directory_error()
{
    return last_error(ENOTDIR);
}

entry_type status(const native_string& path, std::error_code& error)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = last_error();
        return entry_type::none;
    }
    error.clear();
    if (S_ISREG(info.st_mode)) {
        return entry_type::regular;
    }
    if (S_ISDIR(info.st_mode)) {
        return entry_type::directory;
    }
    return entry_type::other;
}

bool is_not_found(std::error_code error)
{
    return error.category() == std::system_category() &&
           (error.value() == ENOENT || error.value() == ENOTDIR);
}

struct directory_stream {
    DIR* dir = nullptr;
};

void close_directory(directory_stream* stream)
{
    if (stream != nullptr) {
        ::closedir(stream->dir);
        delete stream;
    }
}

directory_handle open_directory(const native_string& path, std::error_code& error)
{
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        error = last_error();
        return nullptr;
    }
    error.clear();
    return directory_handle(new directory_stream{dir});
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

std::error_code create_directory(const native_string& path)
{
    if (::mkdir(path.c_str(), 0777) == 0) {
        return {};
    }
    std::error_code error = last_error();
    if (error.value() == EEXIST) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            return {};
        }
    }
    return error;
}

std::error_code move_entry(const native_string& from, const native_string& to)
{
    std::error_code error;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    error = last_error();
    if (error.value() == EINVAL || error.value() == ENOSYS || error.value() == ENOTSUP ||
        error.value() == EOPNOTSUPP) {
        error = move_without_flag(from, to);
    }
    if (error.value() == EXDEV) {
        struct stat info {};
        if (::lstat(from.c_str(), &info) != 0) {
            return last_error();
        }
        if (S_ISREG(info.st_mode)) {
            return copy_then_remove(from, to);
        }
    }
    return error;
}

std::string error_text(std::error_code error)
{
    std::string text = error.message();
    while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr) {
        text.pop_back();
    }
    return text.empty() ? std::string("unknown error") : text;
}

std::size_t match_stack_budget()
{
    constexpr std::size_t most = std::size_t(48) << 20;
    struct rlimit limit {};
    std::size_t size = std::size_t(8) << 20;
    if (::getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        size = static_cast<std::size_t>(limit.rlim_cur);
    } else if (limit.rlim_cur == RLIM_INFINITY) {
        size = most;
    }
    // Leave a quarter for the program's own frames and the system.
    return std::min(size / 4 * 3, most);
}

void prepare_console() {}

}  // namespace tarn::platform
