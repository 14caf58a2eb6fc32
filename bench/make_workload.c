/*
 * Makes a benchmark workload of empty files named IMG_<n>.jpg, n from 0.
 *
 *   make_workload flat N DIR     N files directly in DIR
 *   make_workload tree N DIR     N files in a tree below DIR: 10 directories,
 *                                10 in each of them, 10 in each of those
 *                                (depth 3) and one more inside each of those
 *                                (depth 4); the files are shared out evenly
 *                                over the 2,000 directories of depth 3 and 4,
 *                                so 2,110 directories in all.
 *
 * When DIR already holds a workload, used or not, it is made again from it:
 * DIR is moved aside, a new directory tree of the requested kind is made,
 * every file whose name ends in <n>.jpg is moved into its place under its
 * original name IMG_<n>.jpg, and the old directories, empty now, are moved
 * into DIR.trash (remove it when done). Files that are missing are created.
 * So every run starts from freshly made directories holding the same files,
 * without creating 100,000 files again. Nothing is deleted between runs on
 * purpose: right after a deletion ext4's inode allocator passes over the
 * inodes freed in the last half minute one by one, which makes creating
 * files and directories several times slower for a while and would blur
 * the timing of runs that make directories.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { leaves = 2000, path_size = 4096 };

static const char* root;
static int tree;
static long total;
static long leaf_start[leaves + 1]; /* first file of each leaf directory */
static unsigned char* placed;

static void die(const char* what, const char* path)
{
    fprintf(stderr, "make_workload: %s %s: %s\n", what, path, strerror(errno));
    exit(2);
}

/* snprintf that refuses to cut a path short. */
static void format_path(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
static void format_path(char* buffer, size_t size, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int written = vsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    if (written < 0 || (size_t)written >= size) {
        errno = ENAMETOOLONG;
        die("path too long below", root);
    }
}

static void make_directory(const char* path)
{
    if (mkdir(path, 0755) != 0) {
        die("cannot create directory", path);
    }
}

/* The directory of leaf `leaf` (0 to 1999) below `base`. */
static void leaf_path(char* buffer, const char* base, long leaf)
{
    long k = leaf / 2;
    format_path(buffer, path_size, "%s/d%ld/e%ld/f%ld%s", base, k / 100, k / 10 % 10, k % 10,
                leaf % 2 ? "/g" : "");
}

/* Where file n lives in a workload below `base`. */
static void file_path(char* buffer, const char* base, long n)
{
    if (!tree) {
        format_path(buffer, path_size, "%s/IMG_%ld.jpg", base, n);
        return;
    }
    long low = 0, high = leaves; /* leaf_start[low] <= n < leaf_start[high] */
    while (high - low > 1) {
        long middle = (low + high) / 2;
        if (leaf_start[middle] <= n) {
            low = middle;
        } else {
            high = middle;
        }
    }
    char directory[path_size];
    leaf_path(directory, base, low);
    format_path(buffer, path_size, "%s/IMG_%ld.jpg", directory, n);
}

static void make_directories(const char* base)
{
    char path[path_size];
    make_directory(base);
    if (!tree) {
        return;
    }
    for (int a = 0; a < 10; ++a) {
        format_path(path, sizeof path, "%s/d%d", base, a);
        make_directory(path);
        for (int b = 0; b < 10; ++b) {
            format_path(path, sizeof path, "%s/d%d/e%d", base, a, b);
            make_directory(path);
            for (int c = 0; c < 10; ++c) {
                format_path(path, sizeof path, "%s/d%d/e%d/f%d", base, a, b, c);
                make_directory(path);
                format_path(path, sizeof path, "%s/d%d/e%d/f%d/g", base, a, b, c);
                make_directory(path);
            }
        }
    }
}

/* The n of a name ending in <n>.jpg, or -1. */
static long file_number(const char* name)
{
    size_t length = strlen(name);
    if (length < 5 || strcmp(name + length - 4, ".jpg") != 0) {
        return -1;
    }
    size_t digits_end = length - 4;
    size_t digits_start = digits_end;
    while (digits_start > 0 && name[digits_start - 1] >= '0' && name[digits_start - 1] <= '9') {
        --digits_start;
    }
    if (digits_start == digits_end || digits_end - digits_start > 12) {
        return -1;
    }
    return strtol(name + digits_start, NULL, 10);
}

/* Moves the files of an old workload into the new one and removes the rest. */
static void take_files_from(char* path, size_t length)
{
    DIR* dir = opendir(path);
    if (dir == NULL) {
        die("cannot open", path);
    }
    struct dirent* entry;
    char target[path_size];
    while ((errno = 0, entry = readdir(dir)) != NULL) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        size_t name_length = strlen(name);
        if (length + 1 + name_length >= path_size) {
            errno = ENAMETOOLONG;
            die("path too long below", path);
        }
        path[length] = '/';
        memcpy(path + length + 1, name, name_length + 1);
        struct stat info;
        if (lstat(path, &info) != 0) {
            die("cannot query", path);
        }
        if (S_ISDIR(info.st_mode)) {
            take_files_from(path, length + 1 + name_length);
        } else {
            long n = S_ISREG(info.st_mode) ? file_number(name) : -1;
            if (n >= 0 && n < total && !placed[n]) {
                file_path(target, root, n);
                if (rename(path, target) != 0) {
                    die("cannot move back", path);
                }
                placed[n] = 1;
            } else if (unlink(path) != 0) {
                die("cannot remove", path);
            }
        }
        path[length] = '\0';
    }
    if (errno != 0) {
        die("cannot read", path);
    }
    closedir(dir);
}

int main(int argc, char** argv)
{
    if (argc != 4 || (strcmp(argv[1], "flat") != 0 && strcmp(argv[1], "tree") != 0)) {
        fprintf(stderr, "usage: make_workload flat|tree N DIR\n");
        return 2;
    }
    char* end = NULL;
    total = strtol(argv[2], &end, 10);
    if (*end != '\0' || total < 0) {
        fprintf(stderr, "make_workload: not a count: %s\n", argv[2]);
        return 2;
    }
    root = argv[3];
    tree = strcmp(argv[1], "tree") == 0;
    for (long leaf = 0; leaf <= leaves; ++leaf) {
        leaf_start[leaf] = total * leaf / leaves;
    }
    placed = calloc((size_t)total + 1, 1);
    if (placed == NULL) {
        die("out of memory for", root);
    }

    char old[path_size];
    format_path(old, sizeof old, "%s.old", root);
    struct stat info;
    int remake = lstat(root, &info) == 0;
    if (remake) {
        if (lstat(old, &info) == 0) {
            errno = EEXIST;
            die("left over from an interrupted run, remove it first:", old);
        }
        if (rename(root, old) != 0) {
            die("cannot move aside", root);
        }
    }
    make_directories(root);
    if (remake) {
        take_files_from(old, strlen(old));
        char trash[path_size];
        format_path(trash, sizeof trash, "%s.trash", root);
        if (mkdir(trash, 0755) != 0 && errno != EEXIST) {
            die("cannot create directory", trash);
        }
        char place[path_size];
        for (long i = 0;; ++i) {
            format_path(place, sizeof place, "%s/%ld", trash, i);
            if (lstat(place, &info) != 0) {
                break;
            }
        }
        if (rename(old, place) != 0) {
            die("cannot move into the trash", old);
        }
    }

    char path[path_size];
    for (long n = 0; n < total; ++n) {
        if (placed[n]) {
            continue;
        }
        file_path(path, root, n);
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            die("cannot create file", path);
        }
        close(fd);
    }
    free(placed);
    return 0;
}
