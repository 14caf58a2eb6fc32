#pragma once

// The renaming engine: the walk over the start directory and what happens to
// each entry in it.

#include "engine/bounded_match.h"
#include "engine/entry_list.h"
#include "platform/platform.h"
#include "tarn/run_options.h"

#include <map>
#include <string>

namespace tarn {

// Lists the start directory (its whole tree when recursive) in pre-order: a
// directory before its contents, its contents before its next sibling.
// Symbolic links are listed but never walked into. Throws run_stopped when a
// directory cannot be read.
entry_list collect_entries(const platform::native_string& start, bool recursive);

// Takes the complete listing first, then hands the entries to process_entry
// last first, so that a directory comes after everything inside it.
rename_tally run_walk(std::string start_path, const compiled_pattern& pattern, std::string replacement,
                      const run_options& options);

// An entry as the walk hands it over: the directory it was listed in, open
// and checked, and its listed path, whose name begins at `name_start` and
// whose first `typed_length` characters are the start path as typed. When
// the directory could not be reached again, `dir` is null and `unreachable`
// says why: nothing in it is touched, and a matching entry fails with that.
struct entry_place {
    const platform::directory* dir = nullptr;
    platform::native_view path;
    std::size_t name_start = 0;
    std::size_t typed_length = 0;
    std::error_code unreachable;
};

// The directory the last new name went into, kept open for the entries that
// follow: most go to the same one. Cleared whenever a directory is renamed.
// The directories the run made, by the text that named them: a later new
// name reaches them only while they are still the ones made, never through a
// link someone put in their place.
struct way_cache {
    platform::native_string path;
    platform::directory_ref dir;
    std::map<platform::native_string, platform::directory_identity> made;
};

// Decides one entry's fate (skip, refuse, rename or report a dry-run rename),
// writes its report line and returns a tally with exactly one counter at 1.
// `listed` is the type the listing gave; the status is queried only where
// that type cannot settle the decision, and always before a rename.
rename_tally process_entry(const entry_place& entry, platform::listed_type listed, way_cache& ways,
                           const compiled_pattern& pattern, const std::string& replacement,
                           const run_options& options);

// Opens the directory that will hold a new name, the parent part of `path`,
// element by element from the working directory (or the root it names), or
// from the entry's own directory where `path` is that directory's listed path
// or lies below it; makes what is missing when `create` is set. Without
// `create`, a missing directory gives null and no error. A directory already
// there, or a link to one, counts as present; a file standing in the way
// gives the already-exists error.
const platform::directory* open_new_name_directory(way_cache& ways, const entry_place& entry,
                                                   const platform::native_string& path, bool create,
                                                   std::error_code& error);

// What a rename attempt ended with: success, or the failure and whether it
// came while the new name's directories were made or from the move itself.
struct rename_outcome {
    std::error_code error;
    bool making_directories = false;
    bool directory_missing = false;  // nothing tried: a directory is missing and was not to be made
};

// Makes the directories the new name needs (when `create` is set), then
// moves the entry into the directory opened for it, never over an existing
// name. Writes nothing.
rename_outcome try_rename(const entry_place& entry, const std::string& new_name, way_cache& ways, bool create);

// Writes what a rename attempt ended with: the error line on the standard
// error, or at verbosity 2 the confirmation. Returns 0 on success, 1 on
// failure.
int report_rename(const rename_outcome& outcome, const std::string& old_text, const std::string& new_name,
                  const run_options& options);


}  // namespace tarn
