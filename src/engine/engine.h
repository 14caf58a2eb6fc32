#pragma once

// The renaming engine: the walk over the start directory and what happens to
// each entry in it.

#include "engine/bounded_match.h"
#include "engine/entry_list.h"
#include "platform/platform.h"
#include "tarn/run_options.h"

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

// Decides one entry's fate (skip, refuse, rename or report a dry-run rename),
// writes its report line and returns a tally with exactly one counter at 1.
// `listed` is the type the listing gave; the status is queried only where
// that type cannot settle the decision, and always before a rename.
rename_tally process_entry(platform::native_view entry, platform::listed_type listed,
                           const compiled_pattern& pattern, const std::string& replacement,
                           const run_options& options);

// Creates the directories the new name needs, then moves the entry. Reports
// failures on the standard error; returns 0 on success and 1 on failure.
int rename_entry(std::string old_text, std::string new_name, const run_options& options);

// Creates every missing directory of `path`, element by element. When the last
// creation fails, the error is the latest one that is not of the not-found
// kind, so a file standing in the way is reported rather than the missing
// directories behind it.
std::error_code create_missing_directories(const platform::native_string& path);

}  // namespace tarn
