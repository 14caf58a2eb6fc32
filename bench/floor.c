/*
 * The system-call floor of a batch rename: the least a renamer has to ask the
 * kernel for, with no pattern matching and no file-system library in between.
 *
 *   floor_rename MODE [-v] [-n] [-s] [-t] [-1]
 *
 * run in the directory to be renamed. Every name IMG_<rest> becomes
 * photo-<rest>. The listing is taken completely first, then handled last
 * entry first; per entry: stat(entry), and for a regular file stat(target)
 * and rename(entry, target), each relative to the entry's directory (opened
 * once per directory) and to the target's (the working directory, or the
 * entry's own in place), with the no-replace flag tarn uses.
 *
 * MODE
 *   flat      the entries of "." only; targets land beside them.
 *   tree      "." and everything below it, pre-order; targets are bare names,
 *             so every renamed file moves into the working directory.
 *   inplace   like tree, but each target stays in its entry's directory.
 *   move      like tree, directories included: every entry below ./d<rest>
 *             moves to ./n<rest>, keeping its name. The new directories are
 *             made when a rename finds its target's directory missing; a
 *             directory whose target is already there is left alone.
 * -v  writes one line per renamed entry, flushed on its own (one write).
 * -n  dry run: the listing and the two status queries, no rename.
 * -s  sparse: only names IMG_<rest> ending in 99.jpg are renamed (1 % of a
 *     workload), the rest are skipped.
 * -t  the name test comes first and only a matching entry gets its stat:
 *     what a renamer must ask for when the listing gives the types, so -n -t
 *     costs what `find -name` does and -t alone adds the renames' own calls.
 *     Without -t every entry gets its stat first.
 * -1  one call: the listing's type stands for stat(entry) and the no-replace
 *     rename for stat(target), so a renamed file costs the rename alone (a
 *     dry run asks stat(target) only); implies -t. Not with move.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* All listed paths, packed one after another, each ending in a NUL. */
static char* paths;
static size_t paths_used, paths_size;
static size_t* starts;
static unsigned char* types; /* the listing's d_type of each path */
static size_t count, starts_size;

static void die(const char* what, const char* path)
{
    fprintf(stderr, "floor_rename: %s %s: %s\n", what, path, strerror(errno));
    exit(2);
}

static void append_path(const char* path, size_t length, unsigned char type)
{
    if (paths_used + length + 1 > paths_size) {
        paths_size = paths_size ? paths_size * 2 : (size_t)1 << 20;
        paths = realloc(paths, paths_size);
        if (paths == NULL) {
            die("out of memory at", path);
        }
    }
    if (count == starts_size) {
        starts_size = starts_size ? starts_size * 2 : (size_t)1 << 16;
        starts = realloc(starts, starts_size * sizeof *starts);
        types = realloc(types, starts_size);
        if (starts == NULL || types == NULL) {
            die("out of memory at", path);
        }
    }
    types[count] = type;
    starts[count++] = paths_used;
    memcpy(paths + paths_used, path, length + 1);
    paths_used += length + 1;
}

/* Lists `dir` (whose path is in buffer[0..length)) in pre-order. */
static void list_directory(char* buffer, size_t length, int recursive)
{
    DIR* dir = opendir(buffer);
    if (dir == NULL) {
        die("cannot open", buffer);
    }
    struct dirent* entry;
    while ((errno = 0, entry = readdir(dir)) != NULL) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        size_t name_length = strlen(name);
        if (length + 1 + name_length >= 4096) {
            errno = ENAMETOOLONG;
            die("path too long below", buffer);
        }
        buffer[length] = '/';
        memcpy(buffer + length + 1, name, name_length + 1);
        append_path(buffer, length + 1 + name_length, entry->d_type);
        if (recursive) {
            int is_directory = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat info;
                is_directory = fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                               S_ISDIR(info.st_mode);
            }
            if (is_directory) {
                list_directory(buffer, length + 1 + name_length, 1);
            }
        }
        buffer[length] = '\0';
    }
    if (errno != 0) {
        die("cannot read", buffer);
    }
    closedir(dir);
}

/* Whether a name is one to rename: IMG_<rest>, and with `sparse` only those
 * ending in 99.jpg. */
static int wanted_name(const char* name, int sparse)
{
    static const char ending[] = "99.jpg";
    size_t length = strlen(name);
    return strncmp(name, "IMG_", 4) == 0 &&
           (!sparse || (length >= 4 + sizeof ending - 1 &&
                        strcmp(name + length - (sizeof ending - 1), ending) == 0));
}

/* The directory of a listed path, opened once for the entries that follow in
 * it: like tarn, the floor names an entry by its directory and its name, so
 * that the kernel resolves one name per call rather than the whole path. */
static int directory_of(const char* path, const char* name)
{
    static char current[4096];
    static int fd = -1;
    size_t length = (size_t)(name - path);
    if (fd < 0 || strlen(current) != length || strncmp(current, path, length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        memcpy(current, path, length);
        current[length] = '\0';
        fd = open(current, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            die("cannot open the directory of", path);
        }
    }
    return fd;
}

/* Makes every missing directory above `path`, whose last element is a name. */
static void make_parents(char* path)
{
    for (char* slash = strchr(path + 2, '/'); slash != NULL; slash = strchr(slash + 1, '/')) {
        *slash = '\0';
        int made = mkdir(path, 0777) == 0 || errno == EEXIST;
        *slash = '/';
        if (!made) {
            die("cannot create a directory for", path);
        }
    }
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: floor_rename flat|tree|inplace|move [-v] [-n] [-s] [-t] [-1]\n");
        return 2;
    }
    const char* mode = argv[1];
    int recursive = strcmp(mode, "flat") != 0;
    int in_place = strcmp(mode, "inplace") == 0;
    int move = strcmp(mode, "move") == 0;
    int verbose = 0, dry_run = 0, sparse = 0, name_first = 0, one_call = 0;
    for (int i = 2; i < argc; ++i) {
        verbose |= strcmp(argv[i], "-v") == 0;
        dry_run |= strcmp(argv[i], "-n") == 0;
        sparse |= strcmp(argv[i], "-s") == 0;
        name_first |= strcmp(argv[i], "-t") == 0;
        one_call |= strcmp(argv[i], "-1") == 0;
    }
    name_first |= one_call;
    if (recursive && !in_place && !move && strcmp(mode, "tree") != 0) {
        fprintf(stderr, "floor_rename: unknown mode %s\n", mode);
        return 2;
    }

    static char buffer[4096] = ".";
    list_directory(buffer, 1, recursive);

    static const char old_prefix[] = "IMG_";
    static const char new_prefix[] = "photo-";
    static char target[4096];
    static char line[8300];
    long renamed = 0, failed = 0, skipped = 0;
    for (size_t i = count; i-- > 0;) {
        const char* path = paths + starts[i];
        const char* name = strrchr(path, '/') + 1;
        if (name_first && !move && !wanted_name(name, sparse)) {
            ++skipped;
            continue;
        }
        struct stat info;
        const int directory = directory_of(path, name);
        const int settled = one_call && !move && types[i] == DT_REG;
        if (!settled &&
            (fstatat(directory, name, &info, 0) != 0 || !(S_ISREG(info.st_mode) || (move && S_ISDIR(info.st_mode))))) {
            ++skipped;
            continue;
        }
        if (move) {
            if (strncmp(path, "./d", 3) != 0) {
                ++skipped;
                continue;
            }
            int is_directory = S_ISDIR(info.st_mode);
            snprintf(target, sizeof target, "./n%s", path + 3);
            if (stat(target, &info) == 0 || errno != ENOENT) {
                is_directory ? ++skipped : ++failed;
                continue;
            }
            if (dry_run) {
                ++renamed;
                continue;
            }
            int moved = rename(path, target) == 0;
            if (!moved && errno == ENOENT) {
                make_parents(target);
                moved = rename(path, target) == 0;
            }
            if (!moved) {
                fprintf(stderr, "floor_rename: cannot rename %s: %s\n", path, strerror(errno));
                ++failed;
                continue;
            }
            ++renamed;
            continue;
        }
        if (!wanted_name(name, sparse)) {
            ++skipped;
            continue;
        }
        size_t directory_length = in_place ? (size_t)(name - path) : 0;
        memcpy(target, path, directory_length);
        snprintf(target + directory_length, sizeof target - directory_length, "%s%s", new_prefix,
                 name + sizeof old_prefix - 1);
        const int target_directory = in_place ? directory : AT_FDCWD;
        const char* target_name = target + directory_length;
        if ((!settled || dry_run) && (fstatat(target_directory, target_name, &info, 0) == 0 || errno != ENOENT)) {
            ++failed;
            continue;
        }
        if (verbose) {
            int length = snprintf(line, sizeof line, " %s  '\"%s\"' to '%s' ...\n",
                                  dry_run ? "Would rename" : "Renaming     ", path, target);
            if (write(STDOUT_FILENO, line, (size_t)length) != length) {
                die("cannot write a line for", path);
            }
        }
        if (dry_run) {
            ++renamed;
        } else if (renameat2(directory, name, target_directory, target_name, RENAME_NOREPLACE) == 0) {
            ++renamed;
        } else {
            fprintf(stderr, "floor_rename: cannot rename %s: %s\n", path, strerror(errno));
            ++failed;
        }
    }
    if (verbose) {
        printf(" %ld renamed, %ld failed, %ld skipped\n", renamed, failed, skipped);
    }
    free(paths);
    free(starts);
    free(types);
    return failed != 0;
}
