#pragma once

// The pure core of a rename: the text the pattern is matched against, and the
// new name made from it.

#include "engine/bounded_match.h"
#include "platform/platform.h"
#include "tarn/run_options.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// Where a path's parent, file name and extension begin, by the standard rules
// for native paths: the file name is the last element; the extension runs from
// the file name's last dot, except for a name whose only dot leads it and for
// "." and "..".
struct path_parts {
    std::size_t parent_length = 0;  // the parent path, trailing separators cut
    std::size_t name_start = 0;
    std::size_t extension_start = 0;  // equals the path's length when there is none
};

path_parts split_path(platform::native_view path);

struct subject_text {
    std::string subject;
    std::string extension;      // empty unless extensions are skipped
    std::size_t typed_length = 0;  // the subject's front that is the start path as the user typed it
};

// The match subject: the name (or stem, with skip_extensions) alone, or behind
// the parent path and one separator with include_directories. The first
// `typed_length` characters of the entry path are the start path as typed.
subject_text build_subject(platform::native_view entry_path, const run_options& options,
                           std::size_t typed_length = 0);

// Replaces the matches of the pattern in the subject by the replacement,
// reading $ codes as a batch renamer's users expect from ECMAScript. Returns
// false, leaving `result` empty, when the pattern does not match at all.
bool rewrite_matches(std::string_view subject, const compiled_pattern& pattern,
                     std::string_view replacement, bool first_only, std::string& result);

// The same, and for each byte of the result whether it came from a listed
// name (the subject past its typed front) rather than from the replacement's
// own text or the start path.
bool rewrite_matches(std::string_view subject, std::size_t typed_length, const compiled_pattern& pattern,
                     std::string_view replacement, bool first_only, std::string& result, std::vector<bool>& listed);

// Whether a new name holds a ".." element any of whose characters came from
// a listed name: the tree's writers would choose where it leads. A ".." the
// user typed, and "." elements, are not such.
bool climbs_by_listed_name(std::string_view new_name, const std::vector<bool>& listed);

// The subject with its matches replaced (the subject unchanged without one).
std::string rewrite_name(std::string_view subject, const compiled_pattern& pattern,
                         std::string_view replacement, bool first_only);

}  // namespace tarn
