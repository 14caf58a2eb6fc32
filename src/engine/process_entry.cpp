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

// The type filter: regular files, and directories when they are included.
bool wanted(platform::entry_type type, const run_options& options)
{
    return type == platform::entry_type::regular ||
           (options.include_directories && type == platform::entry_type::directory);
}

rename_tally skip_unwanted(platform::native_view entry, const run_options& options)
{
    if (options.verbosity > 1) {
        write_line(std::cout, " Skipping     '" + quoted_path(narrow_or_stop(entry, entry)) + "'.");
    }
    rename_tally tally;
    tally.skipped = 1;
    return tally;
}

}  // namespace

rename_tally process_entry(platform::native_view entry, platform::listed_type listed,
                           const compiled_pattern& pattern, const std::string& replacement,
                           const run_options& options)
{
    rename_tally tally;
    // The form the system needs is made only when a query is asked: on
    // Windows it costs a call, and most entries are never queried.
    auto entry_status = [entry] { return query_status(platform::listed_path(entry), "status", entry); };

    // The listing's type stands in for the status query up to the match, so
    // a run asks about what it may rename, not about the whole tree. Within
    // a run a listed path changes only through its own processing (a
    // directory comes after its contents, and no rename replaces an existing
    // name), so the two can differ only where another process changed the
    // tree; what follows from that (a file removed by someone else and not
    // matching is reported as not matching) is what a query before the match
    // gives too when the change comes just after it. A matching entry is
    // still queried afresh before anything depends on its type. Links,
    // reparse points and entries of unknown type are queried first: what a
    // link leads to may change at any time.
    bool queried = false;
    if (listed == platform::listed_type::unknown) {
        if (!wanted(entry_status(), options)) {
            return skip_unwanted(entry, options);
        }
        queried = true;
    } else if (listed == platform::listed_type::directory && !options.include_directories) {
        return skip_unwanted(entry, options);
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
    // Asked afresh before anything depends on the entry's type.
    if (!queried && !wanted(entry_status(), options)) {
        return skip_unwanted(entry, options);
    }

    std::string old_text = narrow_or_stop(entry, entry);
    const platform::native_string target = native_or_stop(new_name);
    if (query_status(target, "exists", target) != platform::entry_type::none) {
        // Asked again: the entry may have changed since the type filter.
        if (entry_status() == platform::entry_type::directory) {
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
