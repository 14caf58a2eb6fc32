// Renaming and moving on POSIX: never onto an existing name, and across
// file systems by a copy that survives a crash at any instant.

#include "platform/posix/system.h"

#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace tarn::platform {

namespace {

// Errors of an attribute copy that mean the target's file system or the
// user's privileges do not take that attribute: it is left behind, as the
// system's own move does, and the move goes on.
bool refused(int number)
{
    return number == EPERM || number == EACCES || number == ENOTSUP || number == EOPNOTSUPP ||
           number == EINVAL || number == E2BIG || number == ERANGE || number == ENOSYS;
}

// The signals that end a run from outside: Ctrl+C, a service stop, a closed
// terminal. A copy to another file system holds them back and looks for
// them between its pieces, so that it can remove its temporary file before
// the signal ends the process as it would have; once the copy has taken its
// real name, the move is finished first. Signals the process ignores, or
// that were blocked already, are left as they were.
struct held_signals {
    sigset_t held;
    sigset_t previous;
    held_signals()
    {
        sigemptyset(&held);
        for (int number : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action {};
            if (::sigaction(number, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
                sigaddset(&held, number);
            }
        }
        ::sigprocmask(SIG_BLOCK, &held, &previous);
        for (int number : {SIGINT, SIGTERM, SIGHUP}) {
            if (sigismember(&previous, number) == 1) {
                sigdelset(&held, number);
            }
        }
    }
    ~held_signals() { ::sigprocmask(SIG_SETMASK, &previous, nullptr); }
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
};

// Whether one of the held signals has arrived; the copy then gives up.
std::error_code stop_requested(const held_signals& signals)
{
    sigset_t pending;
    if (::sigpending(&pending) == 0) {
        for (int number : {SIGINT, SIGTERM, SIGHUP}) {
            if (sigismember(&signals.held, number) == 1 && sigismember(&pending, number) == 1) {
                return last_error(EINTR);
            }
        }
    }
    return {};
}

std::error_code write_all(int fd, const char* data, std::size_t size, off_t offset)
{
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, size, offset);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return last_error();
        }
        if (written == 0) {
            return last_error(EIO);
        }
        data += written;
        offset += written;
        size -= static_cast<std::size_t>(written);
    }
    return {};
}

// Copies bytes [offset, end) to the same place in the target, by the kernel
// where it can do it between these two files, else through a buffer. A
// source that ends early has changed under the copy.
// Between pieces it looks for a signal that asks the run to stop; a piece
// is small enough (16 MiB at most) for that to come within a moment.
std::error_code copy_range(int from_fd, int to_fd, off_t offset, off_t end, bool& in_kernel,
                           std::vector<char>& buffer, const held_signals& signals)
{
    while (offset < end) {
        if (auto error = stop_requested(signals)) {
            return error;
        }
        const std::size_t wanted = static_cast<std::size_t>(std::min<off_t>(end - offset, off_t(16) << 20));
        if (in_kernel) {
            off_t in = offset;
            off_t out = offset;
            const ssize_t copied = ::copy_file_range(from_fd, &in, to_fd, &out, wanted, 0);
            if (copied > 0) {
                offset += copied;
                continue;
            }
            if (copied == 0) {
                return source_changed_error();
            }
            if (errno == EINTR) {
                continue;
            }
            // Other file systems, older kernels and some special files say
            // so with these; the buffer does the same job.
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
                errno != ENOTSUP) {
                return last_error();
            }
            in_kernel = false;
        }
        if (buffer.empty()) {
            // Small enough to stay in the processor's cache between the read
            // and the write, which a larger one does not.
            buffer.resize(std::size_t(128) << 10);
        }
        const ssize_t count = ::pread(from_fd, buffer.data(), std::min(wanted, buffer.size()), offset);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return last_error();
        }
        if (count == 0) {
            return source_changed_error();
        }
        if (auto error = write_all(to_fd, buffer.data(), static_cast<std::size_t>(count), offset)) {
            return error;
        }
        offset += count;
    }
    return {};
}

// Copies the first `size` bytes, leaving the source's holes as holes.
std::error_code copy_contents(int from_fd, int to_fd, const struct stat& info, const held_signals& signals)
{
    const off_t size = info.st_size;
    // A small file gains nothing from the kernel's copy, and a file with as
    // many blocks as bytes has no holes: both spare their system calls.
    bool in_kernel = size >= (off_t(128) << 10);
    std::vector<char> buffer;
    if (info.st_blocks * 512 >= size) {
        if (auto error = copy_range(from_fd, to_fd, 0, size, in_kernel, buffer, signals)) {
            return error;
        }
        return {};
    }
    off_t offset = 0;
    while (offset < size) {
        off_t data = ::lseek(from_fd, offset, SEEK_DATA);
        off_t hole = size;
        if (data < 0) {
            if (errno == ENXIO) {
                break;  // nothing but a hole up to the end
            }
            if (errno != EINVAL) {
                return last_error();
            }
            data = offset;  // no hole finding here: all of it is data
        } else {
            hole = ::lseek(from_fd, data, SEEK_HOLE);
            if (hole < 0) {
                return last_error();
            }
        }
        const off_t end = std::min(hole, size);
        if (auto error = copy_range(from_fd, to_fd, data, end, in_kernel, buffer, signals)) {
            return error;
        }
        offset = std::max(end, data);
    }
    // A hole at the end is made by the size alone.
    if (::ftruncate(to_fd, size) != 0) {
        return last_error();
    }
    return {};
}

// Extended attributes, and the access lists kept in them.
std::error_code copy_extended_attributes(int from_fd, int to_fd)
{
    const ssize_t listed = ::flistxattr(from_fd, nullptr, 0);
    if (listed <= 0) {
        return listed == 0 || refused(errno) ? std::error_code() : last_error();
    }
    std::vector<char> names(static_cast<std::size_t>(listed));
    const ssize_t size = ::flistxattr(from_fd, names.data(), names.size());
    if (size < 0) {
        return last_error();
    }
    std::vector<char> value;
    for (std::size_t at = 0; at < static_cast<std::size_t>(size); at += std::strlen(&names[at]) + 1) {
        const char* name = &names[at];
        ssize_t length = ::fgetxattr(from_fd, name, nullptr, 0);
        // A value that grew after its size was asked is read again with its
        // new size, never dropped for that; one that keeps growing fails the
        // move rather than arrive without it.
        for (int attempt = 0; length > 0; ++attempt) {
            value.resize(static_cast<std::size_t>(length));
            length = ::fgetxattr(from_fd, name, value.data(), value.size());
            if (length >= 0 || errno != ERANGE) {
                break;
            }
            if (attempt == 3) {
                return last_error();
            }
            length = ::fgetxattr(from_fd, name, nullptr, 0);
        }
        if (length < 0) {
            if (refused(errno)) {
                continue;
            }
            return last_error();
        }
        if (::fsetxattr(to_fd, name, value.data(), static_cast<std::size_t>(length), 0) != 0 &&
            !refused(errno)) {
            return last_error();
        }
    }
    return {};
}

// Owner, access list, extended attributes, mode and times, in this order:
// the ownership change can clear set-id bits and setting an access list
// changes the mode, which comes after both; the times go last because every
// other change touches the file.
std::error_code copy_metadata(int from_fd, int to_fd, const struct stat& info)
{
    const bool owned = ::fchown(to_fd, info.st_uid, info.st_gid) == 0;
    if (!owned && !refused(errno)) {
        return last_error();
    }
    // The copy's access list is the source's or none, as a rename keeps it:
    // the one it was given from the target directory's default list (which
    // whoever owns that directory chose) goes before the mode opens the file
    // up, and the source's own, if any, comes with the attributes below.
    if (::fremovexattr(to_fd, "system.posix_acl_access") != 0 && errno != ENODATA && errno != ENOTSUP &&
        errno != EOPNOTSUPP) {
        return last_error();
    }
    if (auto error = copy_extended_attributes(from_fd, to_fd)) {
        return error;
    }
    // A program whose owner or group could not be kept must not run with
    // the identity of the user who moved it: its set-id bits stay behind,
    // as the standard copy tools leave them.
    if (::fchmod(to_fd, info.st_mode & (owned ? 07777 : 01777)) != 0 && !refused(errno)) {
        return last_error();
    }
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (::futimens(to_fd, times) != 0 && !refused(errno)) {
        return last_error();
    }
    return {};
}

// Every move below names its entries by a directory descriptor and a name
// in it (AT_FDCWD and a path for the path-based move).
native_string parent_of(const native_string& name)
{
    const std::size_t slash = name.rfind('/');
    return slash == native_string::npos ? native_string(".") : name.substr(0, slash == 0 ? 1 : slash);
}

std::error_code sync_parent_directory(int dir, const native_string& name)
{
    descriptor directory;
    directory.fd = ::openat(dir, parent_of(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory.fd < 0) {
        return last_error();
    }
    // Some file systems cannot flush a directory; their entries are as safe as
    // they will get.
    if (::fsync(directory.fd) != 0 && errno != EINVAL && errno != ENOTSUP) {
        return last_error();
    }
    return close_now(directory);
}

bool same_file(const struct stat& one, const struct stat& other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

bool unchanged(const struct stat& before, const struct stat& after)
{
    return same_file(before, after) && before.st_size == after.st_size &&
           before.st_ctim.tv_sec == after.st_ctim.tv_sec && before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

// Removes what the path names only while it is still the entry we made.
void remove_own(int dir, const native_string& name, const struct stat& made)
{
    struct stat now {};
    if (::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, made)) {
        ::unlinkat(dir, name.c_str(), S_ISDIR(now.st_mode) ? AT_REMOVEDIR : 0);
    }
}

// For file systems that refuse the no-replace flag. A hard link fails when
// the name is taken, which keeps a non-directory as safe as the flag. Where
// links are refused too (FAT and many network and user-space file systems),
// the name is first taken by an entry of our own, created exclusively (an
// empty file, or an empty directory for a directory), and the entry is
// renamed over it. Only someone who deletes that reservation and puts an
// entry of their own there before the rename can lose what they put there.
std::error_code move_without_flag(int from_dir, const native_string& from, int to_dir, const native_string& to)
{
    struct stat info {};
    if (::fstatat(from_dir, from.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return last_error();
    }
    const bool directory = S_ISDIR(info.st_mode);
    if (!directory) {
        if (::linkat(from_dir, from.c_str(), to_dir, to.c_str(), 0) == 0) {
            if (::unlinkat(from_dir, from.c_str(), 0) != 0) {
                const std::error_code error = last_error();
                ::unlinkat(to_dir, to.c_str(), 0);
                return error;
            }
            return {};
        }
        if (errno == EEXIST || errno == EXDEV || errno == ENOENT || errno == ENOTDIR) {
            return last_error();
        }
    }

    // A reservation on another file system would only be made to be removed
    // again. (Equal devices do not rule that out: a bind mount gives EXDEV
    // too, and the reservation then goes.)
    struct stat parent {};
    if (::fstatat(to_dir, parent_of(to).c_str(), &parent, 0) != 0) {
        return last_error();
    }
    if (parent.st_dev != info.st_dev) {
        return last_error(EXDEV);
    }
    struct stat reservation {};
    if (directory) {
        if (::mkdirat(to_dir, to.c_str(), 0700) != 0) {
            return last_error();
        }
        if (::fstatat(to_dir, to.c_str(), &reservation, AT_SYMLINK_NOFOLLOW) != 0) {
            const std::error_code error = last_error();
            ::unlinkat(to_dir, to.c_str(), AT_REMOVEDIR);
            return error;
        }
    } else {
        descriptor reserved;
        reserved.fd = ::openat(to_dir, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (reserved.fd < 0) {
            return last_error();
        }
        if (::fstat(reserved.fd, &reservation) != 0) {
            const std::error_code error = last_error();
            ::unlinkat(to_dir, to.c_str(), 0);
            return error;
        }
        if (auto error = close_now(reserved)) {
            remove_own(to_dir, to, reservation);
            return error;
        }
    }
    if (::renameat(from_dir, from.c_str(), to_dir, to.c_str()) != 0) {
        const std::error_code error = last_error();
        remove_own(to_dir, to, reservation);
        return error;
    }
    return {};
}

// A move within one file system that never replaces what is at `to`.
std::error_code rename_no_replace(int from_dir, const native_string& from, int to_dir, const native_string& to)
{
    if (::renameat2(from_dir, from.c_str(), to_dir, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    const std::error_code error = last_error();
    if (error.value() == EINVAL || error.value() == ENOSYS || error.value() == ENOTSUP ||
        error.value() == EOPNOTSUPP) {
        return move_without_flag(from_dir, from, to_dir, to);
    }
    return error;
}

// A name for the copy beside its target that marks it as ours and
// unfinished, and that no other run of the program picks.
native_string temporary_name(const native_string& to)
{
    unsigned long long random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        random = static_cast<unsigned long long>(::time(nullptr)) ^ reinterpret_cast<std::uintptr_t>(&random);
    }
    char name[64];
    std::snprintf(name, sizeof name, ".tarn-%ld-%016llx.part", static_cast<long>(::getpid()), random);
    const std::size_t slash = to.rfind('/');
    return slash == native_string::npos ? native_string(name) : to.substr(0, slash + 1) + name;
}

// Moves a regular file to another file system. The copy is written under a
// temporary name with contents, metadata and a flush, then takes the real
// name without replacing anything, and the directory is flushed; only then is
// the source removed. A crash at any point leaves the source whole, with at
// most a complete copy under the real name or a temporary file beside it.
// Any failure removes the copy and keeps the source.
std::error_code copy_then_remove(int from_dir, const native_string& from, int to_dir, const native_string& to)
{
    descriptor source;
    // Without waiting for anyone: a named pipe or a device put in the file's
    // place would block the open until another process acts, and so would a
    // lease someone holds on the file. Such an open fails at once (the
    // entry's error), and anything but a regular file is refused below.
    source.fd = ::openat(from_dir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
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
    const int flags = ::fcntl(source.fd, F_GETFL);
    if (flags < 0 || ::fcntl(source.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return last_error();
    }
    ::posix_fadvise(source.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    // Held while a temporary file may exist, and only then: declared before
    // it, so that the signals come through only when it is gone or the move
    // is complete. An open that could wait on another process is behind us,
    // so Ctrl+C never waits on one.
    const held_signals signals;
    native_string temporary;
    descriptor target;
    for (int attempt = 0; target.fd < 0; ++attempt) {
        temporary = temporary_name(to);
        // Owner-only while the data is incomplete; the real mode comes later.
        target.fd = ::openat(to_dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (target.fd < 0 && (errno != EEXIST || attempt == 8)) {
            return last_error();
        }
    }
    auto fail = [&](std::error_code error) {
        if (target.fd >= 0) {
            ::close(target.fd);
            target.fd = -1;
        }
        ::unlinkat(to_dir, temporary.c_str(), 0);
        return error;
    };

    if (auto error = copy_contents(source.fd, target.fd, info, signals)) {
        return fail(error);
    }
    if (auto error = copy_metadata(source.fd, target.fd, info)) {
        return fail(error);
    }
    if (::fsync(target.fd) != 0) {
        return fail(last_error());
    }
    if (auto error = close_now(target)) {
        return fail(error);
    }
    struct stat after {};
    if (::fstat(source.fd, &after) != 0) {
        return fail(last_error());
    }
    if (!unchanged(info, after)) {
        return fail(source_changed_error());
    }
    if (auto error = stop_requested(signals)) {
        return fail(error);
    }
    // Closed before the unlink, which then frees a large file's blocks at
    // once rather than at a last close.
    if (auto error = close_now(source)) {
        return fail(error);
    }
    if (auto error = rename_no_replace(to_dir, temporary, to_dir, to)) {
        return fail(error);
    }
    // The two file systems journal independently: the new name must be on
    // disk before the old one goes, or a crash in between could keep neither.
    // Two copies are never left behind as a success: any failure from here
    // on drops the new one.
    auto undo = [&](std::error_code error) {
        ::unlinkat(to_dir, to.c_str(), 0);
        return error;
    };
    if (auto error = sync_parent_directory(to_dir, to)) {
        return undo(error);
    }
    // The name must still lead to the file that was copied.
    struct stat named {};
    if (::fstatat(from_dir, from.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return undo(last_error());
    }
    if (!unchanged(info, named)) {
        return undo(source_changed_error());
    }
    if (::unlinkat(from_dir, from.c_str(), 0) != 0) {
        return undo(last_error());
    }
    return {};
}
}  // namespace

std::error_code move_between(const directory& from_dir, native_view from_name, const directory& to_dir,
                             native_view to_name)
{
    const native_string from(from_name);
    const native_string to(to_name);
    std::error_code error = rename_no_replace(from_dir.fd, from, to_dir.fd, to);
    if (error.value() == EXDEV) {
        struct stat info {};
        if (::fstatat(from_dir.fd, from.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return last_error();
        }
        if (S_ISREG(info.st_mode)) {
            return copy_then_remove(from_dir.fd, from, to_dir.fd, to);
        }
    }
    return error;
}

}  // namespace tarn::platform
