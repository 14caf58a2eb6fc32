/* Loaded with LD_PRELOAD into the program under test. It counts the calls of
 * the file functions below and, at the call numbered TARN_FAULT_AT, fails it
 * with TARN_FAULT_ERRNO (TARN_FAULT_ACTION=fail) or kills the process just
 * before or just after it (kill-before, kill-after), sends it SIGTERM just
 * before it (term), swaps the directory TARN_FAULT_SWAP for a link to
 * TARN_FAULT_SWAP_TO just before it (swap; when there is no such directory yet,
 * the link alone appears, and it belongs to another user: fstat says so
 * where the test cannot really give it away; with TARN_FAULT_SWAP_TO empty,
 * a named pipe takes the place of the file TARN_FAULT_SWAP), or appends a byte to the
 * file TARN_FAULT_APPEND just before it (append). TARN_FAULT_LOG names a file
 * that gets one line per counted call: the function and the path it opens. TARN_FAULT_REFUSE ("link=1,...")
 * makes functions always fail with that error number without being counted,
 * as a file system that lacks them would. A close of a descriptor that is not
 * open aborts: it would close someone else's. So does an exit with a
 * descriptor still open beside the standard three: a leak of one per moved
 * file would run out of descriptors in a large tree. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static long calls;
static struct stat planted; /* the link the swap made, someone else's */

static long setting(const char *name, long otherwise)
{
    const char *text = getenv(name);
    return text != NULL && *text != '\0' ? strtol(text, NULL, 10) : otherwise;
}

static int action_is(const char *action)
{
    const char *text = getenv("TARN_FAULT_ACTION");
    return text != NULL && strcmp(text, action) == 0;
}

/* 0: go on with the real call; -1: fail it (errno set). */
static int before(const char *function, const char *path)
{
    const char *refuse = getenv("TARN_FAULT_REFUSE");
    const size_t length = strlen(function);
    for (const char *at = refuse; at != NULL && *at != '\0'; at = strchr(at, ',') ? strchr(at, ',') + 1 : NULL) {
        if (strncmp(at, function, length) == 0 && at[length] == '=') {
            errno = atoi(at + length + 1);
            return -1;
        }
    }
    ++calls;
    const char *log = getenv("TARN_FAULT_LOG");
    if (log != NULL) {
        FILE *stream = fopen(log, "a");
        if (stream != NULL) {
            fprintf(stream, "%s %s\n", function, path != NULL ? path : "-");
            fclose(stream);
        }
    }
    if (calls != setting("TARN_FAULT_AT", 0)) {
        return 0;
    }
    if (action_is("append")) {
        FILE *grown = fopen(getenv("TARN_FAULT_APPEND"), "a");
        if (grown != NULL) {
            fputc('+', grown);
            fclose(grown);
        }
    }
    if (action_is("kill-before")) {
        kill(getpid(), SIGKILL);
    }
    if (action_is("term")) { /* as a service stop would; the call goes on */
        kill(getpid(), SIGTERM);
    }
    if (action_is("swap")) { /* someone who can write the tree puts a link in a directory's place */
        const char *directory = getenv("TARN_FAULT_SWAP"), *target = getenv("TARN_FAULT_SWAP_TO");
        char moved[4096];
        snprintf(moved, sizeof moved, "%s.moved", directory);
        int (*real_rename)(const char *, const char *) = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
        int (*real_lstat)(const char *, struct stat *) = (int (*)(const char *, struct stat *))dlsym(RTLD_NEXT, "lstat");
        if ((real_rename(directory, moved) == 0 || errno == ENOENT) &&
            (*target != '\0' ? symlink(target, directory) : mkfifo(directory, 0600)) == 0) {
            real_lstat(directory, &planted);
        }
    }
    if (action_is("fail")) {
        errno = (int)setting("TARN_FAULT_ERRNO", EIO);
        return -1;
    }
    return 0;
}

static void after(void)
{
    if (calls == setting("TARN_FAULT_AT", 0) && action_is("kill-after")) {
        kill(getpid(), SIGKILL);
    }
}

#define WRAP(type, name, parameters, arguments)                          \
    type name parameters                                                 \
    {                                                                    \
        type(*real) parameters = (type(*) parameters)dlsym(RTLD_NEXT, #name); \
        if (before(#name, NULL) != 0) {                                  \
            return (type)-1;                                             \
        }                                                                \
        type result = real arguments;                                    \
        after();                                                         \
        return result;                                                   \
    }

int open(const char *path, int flags, ...)
{
    va_list list;
    va_start(list, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(list, mode_t) : 0;
    va_end(list);
    int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
    if (before("open", path) != 0) {
        return -1;
    }
    int result = real(path, flags, mode);
    after();
    return result;
}

int openat(int dir, const char *path, int flags, ...)
{
    va_list list;
    va_start(list, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(list, mode_t) : 0;
    va_end(list);
    int (*real)(int, const char *, int, ...) = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, "openat");
    if (before("openat", path) != 0) {
        return -1;
    }
    int result = real(dir, path, flags, mode);
    after();
    return result;
}

int close(int fd)
{
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "close");
    int (*real_fstat)(int, struct stat *) = (int (*)(int, struct stat *))dlsym(RTLD_NEXT, "fstat");
    if (fd >= 0 && fd <= 2) {
        abort(); /* the program never closes a standard stream's descriptor */
    }
    struct stat info;
    const int directory = real_fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    if (before("close", directory ? "directory" : NULL) != 0) {
        const int error = errno;
        real(fd); /* a failed close frees the descriptor all the same on Linux */
        errno = error;
        return -1;
    }
    int result = real(fd);
    if (result != 0 && errno == EBADF) {
        abort();
    }
    after();
    return result;
}

WRAP(ssize_t, pread, (int fd, void *data, size_t size, off_t at), (fd, data, size, at))
WRAP(ssize_t, pwrite, (int fd, const void *data, size_t size, off_t at), (fd, data, size, at))
/* With TARN_FAULT_KERNEL_COPY set, a kernel that copies between any two file
 * systems, 64 KiB a call: the program's in-kernel path runs to its end. */
ssize_t copy_file_range(int in, off_t *in_at, int out, off_t *out_at, size_t size, unsigned flags)
{
    ssize_t (*real)(int, off_t *, int, off_t *, size_t, unsigned) =
        (ssize_t(*)(int, off_t *, int, off_t *, size_t, unsigned))dlsym(RTLD_NEXT, "copy_file_range");
    if (before("copy_file_range", NULL) != 0) {
        return -1;
    }
    ssize_t result = real(in, in_at, out, out_at, size, flags);
    if (result < 0 && errno == EXDEV && setting("TARN_FAULT_KERNEL_COPY", 0) != 0) {
        ssize_t (*real_pread)(int, void *, size_t, off_t) = (ssize_t(*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread");
        ssize_t (*real_pwrite)(int, const void *, size_t, off_t) =
            (ssize_t(*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
        static char piece[65536];
        result = real_pread(in, piece, size < sizeof piece ? size : sizeof piece, *in_at);
        if (result > 0 && real_pwrite(out, piece, (size_t)result, *out_at) != result) {
            result = -1;
        }
        if (result > 0) {
            *in_at += result;
            *out_at += result;
        }
    }
    after();
    return result;
}
WRAP(off_t, lseek, (int fd, off_t at, int whence), (fd, at, whence))
WRAP(int, ftruncate, (int fd, off_t size), (fd, size))
WRAP(int, fsync, (int fd), (fd))
int fstat(int fd, struct stat *info)
{
    int (*real)(int, struct stat *) = (int (*)(int, struct stat *))dlsym(RTLD_NEXT, "fstat");
    if (before("fstat", NULL) != 0) {
        return -1;
    }
    int result = real(fd, info);
    if (result == 0 && S_ISLNK(info->st_mode) && info->st_ino == planted.st_ino && info->st_dev == planted.st_dev) {
        info->st_uid = 65533;
    }
    after();
    return result;
}
WRAP(int, lstat, (const char *path, struct stat *info), (path, info))
WRAP(int, fchown, (int fd, uid_t user, gid_t group), (fd, user, group))
WRAP(int, fchmod, (int fd, mode_t mode), (fd, mode))
WRAP(int, futimens, (int fd, const struct timespec times[2]), (fd, times))
WRAP(ssize_t, flistxattr, (int fd, char *names, size_t size), (fd, names, size))
ssize_t fgetxattr(int fd, const char *name, void *value, size_t size)
{
    ssize_t (*real)(int, const char *, void *, size_t) =
        (ssize_t(*)(int, const char *, void *, size_t))dlsym(RTLD_NEXT, "fgetxattr");
    if (before("fgetxattr", size == 0 ? "size" : "value") != 0) { /* the size asked for, or the value read */
        return -1;
    }
    ssize_t result = real(fd, name, value, size);
    after();
    return result;
}
WRAP(int, fremovexattr, (int fd, const char *name), (fd, name))
WRAP(int, fsetxattr, (int fd, const char *name, const void *value, size_t size, int flags),
     (fd, name, value, size, flags))
WRAP(int, renameat2, (int from_dir, const char *from, int to_dir, const char *to, unsigned flags),
     (from_dir, from, to_dir, to, flags))
WRAP(int, renameat, (int from_dir, const char *from, int to_dir, const char *to), (from_dir, from, to_dir, to))
WRAP(int, linkat, (int from_dir, const char *from, int to_dir, const char *to, int flags),
     (from_dir, from, to_dir, to, flags))
WRAP(int, unlinkat, (int dir, const char *path, int flags), (dir, path, flags))
WRAP(int, mkdirat, (int dir, const char *path, mode_t mode), (dir, path, mode))
WRAP(int, fstatat, (int dir, const char *path, struct stat *info, int flags), (dir, path, info, flags))
WRAP(int, rename, (const char *from, const char *to), (from, to))
WRAP(int, link, (const char *from, const char *to), (from, to))
WRAP(int, unlink, (const char *path), (path))
WRAP(int, mkdir, (const char *path, mode_t mode), (path, mode))
WRAP(int, rmdir, (const char *path), (path))

__attribute__((destructor)) static void no_descriptor_left_open(void)
{
    DIR *listing = opendir("/proc/self/fd");
    if (listing == NULL) {
        return;
    }
    int left = 0;
    for (struct dirent *entry = readdir(listing); entry != NULL; entry = readdir(listing)) {
        const int fd = atoi(entry->d_name); /* "." and ".." read as 0 */
        left += fd > 2 && fd != dirfd(listing);
    }
    closedir(listing);
    if (left > 0) {
        abort();
    }
}
