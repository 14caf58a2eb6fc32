#include "engine/engine.h"
#include "engine/fs_error.h"
#include "engine/name_rewrite.h"
#include "tarn/output.h"

#include <iostream>

namespace tarn {

namespace {

// The type of what a path names; a failure other than absence ends the run,
// naming `shown`.
platform::entry_type query_status(const platform::native_string& path, const char* operation,
                                  platform::native_view shown)
{
    std::error_code error;
    const platform::entry_type type = platform::status(path, error);
    if (error && !platform::is_not_found(error)) {
        stop_run(operation, shown, error);
    }
    return type;
}

}  // namespace

rename_tally process_entry(platform::native_view entry, const std::regex& pattern,
                           const std::string& replacement, const run_options& options)
{
    rename_tally tally;
    const platform::native_string path = platform::listed_path(entry);

    const platform::entry_type type = query_status(path, "status", entry);
    if (type != platform::entry_type::regular &&
        !(options.include_directories && type == platform::entry_type::directory)) {
        tally.skipped = 1;
        if (options.verbosity > 1) {
            write_line(std::cout, " Skipping     '" + quoted_path(narrow_or_stop(entry, entry)) + "'.");
        }
        return tally;
    }

    const subject_text subject = build_subject(entry, options);
    std::string new_name;
    if (!rewrite_matches(subject.subject, pattern, replacement, options.first_only, new_name)) {
        tally.skipped = 1;
        if (options.verbosity > 1) {
            write_line(std::cout, " Skipping         '" + quoted_path(narrow_or_stop(entry, entry)) + "' ...");
        }
        return tally;
    }
    new_name += subject.extension;

    std::string old_text = narrow_or_stop(entry, entry);
    const platform::native_string target = native_or_stop(new_name);
    if (query_status(target, "exists", target) != platform::entry_type::none) {
        // Asked again: the entry may have changed since the type filter.
        if (query_status(path, "status", entry) == platform::entry_type::directory) {
            tally.skipped = 1;
            if (options.verbosity > 1) {
                write_line(std::cout, " Processed        '" + quoted_path(old_text) + "' ...");
            }
        } else {
            tally.failed = 1;
            write_line(std::cout, " Can't rename '" + quoted_path(old_text) + "' to '" + new_name +
                                      "' - file exists.");
        }
        return tally;
    }

    if (options.verbosity > 0) {
        std::string line = options.dry_run ? " Would rename" : " Renaming    ";
        line += options.verbosity > 1 && !options.dry_run ? "     " : " ";
        line += "  '" + quoted_path(old_text) + "' to '" + new_name + "' ...";
        write_line(std::cout, std::move(line));
    }
    if (options.dry_run) {
        tally.renamed = 1;
    } else if (rename_entry(std::move(old_text), std::move(new_name), options) == 0) {
        tally.renamed = 1;
    } else {
        tally.failed = 1;
    }
    return tally;
}

}  // namespace tarn
