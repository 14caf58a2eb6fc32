#pragma once

// The thin layer over the operating system. The engine calls these functions
// and the standard library, nothing else, so that it reads the same on every
// system. Each function reports failures through std::error_code; deciding
// what a failure means for the run is the engine's business.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace tarn::platform {

#ifdef _WIN32
using native_char = wchar_t;
inline constexpr native_char separator = L'\\';
inline constexpr char narrow_separator = '\\';
#else
using native_char = char;
inline constexpr native_char separator = '/';
inline constexpr char narrow_separator = '/';
#endif

using native_string = std::basic_string<native_char>;
using native_view = std::basic_string_view<native_char>;

bool is_separator(native_char c);

// True for a drive name with nothing behind it ("D:"), whose entries are
// written "D:name". Never true where there are no drives.
bool is_bare_drive(native_view path);

// Length of the path's root name and root directory by the standard library's
// rules for native paths: "/" on POSIX; "D:", "D:\\" or "\\\\server\\" on Windows.
std::size_t root_path_length(native_view path);

// Length of the part of a path that directory creation never creates: "/" on
// POSIX; on Windows a drive with its separator, the server of a network path,
// or a device prefix with the drive right behind it. Zero for a relative path.
std::size_t creation_root_length(native_view path);

// Exact conversions between the native form of a name and the narrow text that
// patterns see and reports print. A name that cannot be converted exactly sets
// the error; the result is then empty.
std::string narrow_text(native_view native, std::error_code& error);
native_string native_text(std::string_view narrow, std::error_code& error);

// A narrow text for messages about a failure: never fails, may be inexact.
std::string display_text(native_view native);

// The form in which the system reaches exactly the entry a listing gave: the
// root, '.', '..' and separators are resolved as the system resolves a typed
// path, but every name is kept as it came, also one the system would
// otherwise trim (a trailing dot or space) or take for a device. Only for
// handing to the operations below, never for printing. Paths the user typed
// and new names need no such call: the operations read them as the system
// does. On POSIX the path comes back unchanged.
native_string listed_path(native_view path);

// A path the user typed as the system reads it, still relative where it was:
// on Windows each name loses its trailing dots and spaces (unless it has a
// device prefix), so that the entries found below it, which are listed paths,
// lie where the system found them. On POSIX the path comes back unchanged.
native_string typed_path(native_view path);

// Whether a new name can be given to the entry listed as `listed`: on Windows
// a ':' after the drive (which would name a data stream of some other file),
// a drive with no root directory behind it ("X:name", unless the entry was
// listed under that same drive so), a device name such as CON, NUL or COM1 in
// any of its names (behind a device prefix too), and a name ending in a dot
// or a space that does not exist as it is are refused with the invalid-name
// error, before anything is made or moved. Never an error on POSIX.
std::error_code check_new_name(native_view path, native_view listed);

// The system's error for a file where only a directory will do.
std::error_code not_a_directory_error();

// The system's error for an argument it would refuse as invalid.
std::error_code invalid_argument_error();

enum class entry_type { none, regular, directory, other };

// The type of what the path names, following symbolic links. On failure sets
// the error and returns entry_type::none.
entry_type status(const native_string& path, std::error_code& error);

// Errors that mean "nothing is there": they count as absence wherever the
// program asks whether something exists.
bool is_not_found(std::error_code error);

// A name or path longer than the system takes. Where the program asks
// whether a new name is free, this counts as free: the rename then fails on
// its own error line instead of ending the run.
bool is_name_too_long(std::error_code error);

// The error of a move refused because something stands at the new name.
bool is_already_exists(std::error_code error);

// Whether a move, which never replaces, is refused exactly where something
// answers to the new name, so that the attempt itself can stand in for
// asking first. Not on Windows: a new name that differs from the entry's
// own only in letter case answers with the entry itself there, but the move
// renames it.
bool move_tells_taken_names();

// What the listing itself says an entry is, with no further query: a regular
// file or a directory that is neither a link nor another reparse point, or
// `unknown` for everything else (links, reparse points, special files, and
// every entry of a file system that does not report types). Fits in two bits.
enum class listed_type : unsigned char { unknown, regular, directory };

// Listing one directory. Entries "." and ".." are never returned; `descend`
// tells whether the entry is a directory to be walked into (symbolic links,
// even to directories, are not).
struct directory_stream;
void close_directory(directory_stream* stream);
struct directory_stream_closer {
    void operator()(directory_stream* stream) const { close_directory(stream); }
};
using directory_handle = std::unique_ptr<directory_stream, directory_stream_closer>;

// Returns false at the end of the directory or on failure (error set). `name`
// stays valid until the next call on the same stream.
bool next_entry(directory_stream& stream, native_view& name, listed_type& type, bool& descend,
                std::error_code& error);

// Reaching entries through the directories that were opened, never by path
// text again: a directory of the walk that someone swaps for a link after it
// was listed, or a directory of a new name swapped after it was made, cannot
// send an operation elsewhere. On POSIX a directory is an open descriptor and
// every call below resolves one name relative to it. On Windows it is the
// directory's exact path, to which the name is joined.
struct directory;
void close_directory(directory* dir);
struct directory_closer {
    void operator()(directory* dir) const { close_directory(dir); }
};
using directory_ref = std::unique_ptr<directory, directory_closer>;

// What tells one directory from another, whatever it is called now.
struct directory_identity {
    std::uint64_t device = 0;
    std::uint64_t node = 0;
    bool operator==(const directory_identity&) const = default;
};

// The directory a typed path names, links followed; the working directory
// for an empty path. Its identity is set.
directory_ref open_typed_directory(const native_string& path, directory_identity& identity,
                                   std::error_code& error);

// A directory listed in `parent`, reached without following a link, and only
// if it is still the one with `expected` identity, when one is given
// (otherwise its identity is set into `expected`). A link or another
// directory in its place gives the system's too-many-links error.
directory_ref open_listed_directory(const directory& parent, native_view name, directory_identity& expected,
                                    bool check, std::error_code& error);

// A directory on the way to a new name, links followed (where a new name
// leads is the user's choice), made first when `create` is set and nothing
// is there; then `created` is set, and `made` to the new directory's
// identity once it is open. A directory already there counts as made;
// anything else there gives the already-exists error.
directory_ref open_way_directory(const directory& parent, native_view name, bool create, bool& created,
                                 directory_identity& made, std::error_code& error);

// Lists a directory opened above.
directory_handle list_directory(const directory& dir, std::error_code& error);

// The type of the entry `name` in `dir`, following symbolic links.
entry_type status_in(const directory& dir, native_view name, std::error_code& error);

// Renames or moves an entry, never replacing an existing target. A move to
// another file system copies a regular file to a temporary name beside the
// target, gives the complete copy the real name and only then removes the
// source; any failure leaves the source in place and no copy behind.
std::error_code move_between(const directory& from, native_view from_name, const directory& to,
                             native_view to_name);

// The failures a move detects itself: the source changed while it was being
// copied, or the target volume cannot hold all of it; the copy is dropped and
// the source kept.
class move_failure_category final : public std::error_category {
public:
    const char* name() const noexcept override { return "tarn move"; }
    std::string message(int value) const override
    {
        return value == 1 ? "the file changed while it was being copied"
                          : "the target volume cannot hold the file's data streams";
    }
};

inline std::error_code move_failure(int value)
{
    static const move_failure_category category;
    return std::error_code(value, category);
}

inline std::error_code source_changed_error()
{
    return move_failure(1);
}

inline std::error_code streams_unsupported_error()
{
    return move_failure(2);
}

// The system's text for an error, with trailing white space cut off.
std::string error_text(std::error_code error);

// How deep a single regular-expression match may recurse, in bytes of stack,
// so that a deep match stops with an error instead of overflowing the stack.
std::size_t match_stack_budget();

// Whether a standard stream (stdout or stderr) is a terminal, a console on
// Windows, where control characters in a line would act instead of showing.
bool is_terminal(std::FILE* stream);

// Puts the standard streams into the state the program's output relies on,
// and has the system report an absent medium as an error rather than ask
// the user about it.
void prepare_console();

}  // namespace tarn::platform
