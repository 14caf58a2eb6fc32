#include "engine/engine.h"
#include "engine/fs_error.h"
#include "engine/name_rewrite.h"
#include "tarn/output.h"

#include <iostream>
#include <vector>

namespace tarn {

namespace {

// The type of what an entry names, links followed; a failure other than
// absence ends the run.
platform::entry_type query_status(const entry_place& entry)
{
    std::error_code error;
    const platform::entry_type type = platform::status_in(*entry.dir, entry.path.substr(entry.name_start), error);
    if (error && !platform::is_not_found(error)) {
        stop_run("status", entry.path, error);
    }
    return type;
}

// Absence, where the program asks whether a new name is free. A name too
// long for the system names nothing: its rename is then tried and reports
// the failure on its own line, so one bad name does not end the run.
bool absent_new_name(std::error_code error)
{
    return platform::is_not_found(error) || platform::is_name_too_long(error);
}

// Whether something stands at the new name, links followed. A name that
// ends in a separator names a directory, and only a directory takes it.
bool new_name_taken(way_cache& ways, const entry_place& entry, platform::native_string target)
{
    if (target.empty()) {
        return false;  // the empty text names no entry; its rename fails on its own line
    }
    const std::size_t root = platform::root_path_length(target);
    bool directory_only = false;
    while (target.size() > root && platform::is_separator(target.back())) {
        target.pop_back();
        directory_only = true;
    }
    const path_parts parts = split_path(target);
    std::error_code error;
    const platform::directory* dir =
        open_new_name_directory(ways, entry, target.substr(0, parts.parent_length), false, error);
    platform::entry_type type = platform::entry_type::none;
    if (dir != nullptr) {
        type = parts.name_start == target.size()
                   ? platform::entry_type::directory  // a root
                   : platform::status_in(*dir, platform::native_view(target).substr(parts.name_start), error);
    }
    if (error && !absent_new_name(error)) {
        stop_run("exists", target, error);
    }
    return type != platform::entry_type::none && !(directory_only && type != platform::entry_type::directory);
}

// The type filter: regular files, and directories when they are included.
bool wanted(platform::entry_type type, const run_options& options)
{
    return type == platform::entry_type::regular ||
           (options.include_directories && type == platform::entry_type::directory);
}

// A new name that is taken: a directory counts as already processed (its
// contents went to a directory of that name earlier in the walk), anything
// else is refused. The entry is asked about afresh, as it may have changed.
rename_tally refuse_taken(const entry_place& entry, const std::string& old_text, const std::string& new_name,
                          const run_options& options)
{
    rename_tally tally;
    if (query_status(entry) == platform::entry_type::directory) {
        tally.skipped = 1;
        if (options.verbosity > 1) {
            write_line(std::cout, " Processed        '" + quoted_path(old_text) + "' ...");
        }
    } else {
        tally.failed = 1;
        write_line(std::cout, " Can't rename '" + quoted_path(old_text) + "' to '" + new_name + "' - file exists.");
    }
    return tally;
}

rename_tally skip_unwanted(const entry_place& entry, const run_options& options)
{
    if (options.verbosity > 1) {
        write_line(std::cout, " Skipping     '" + quoted_path(narrow_or_stop(entry.path, entry.path)) + "'.");
    }
    rename_tally tally;
    tally.skipped = 1;
    return tally;
}

// The line before a rename, or before what a dry run would do.
void write_intention(std::string_view old_text, std::string_view new_name, const run_options& options)
{
    if (options.verbosity > 0) {
        std::string line = options.dry_run ? " Would rename" : " Renaming    ";
        line += options.verbosity > 1 && !options.dry_run ? "     " : " ";
        line += "  '" + quoted_path(old_text) + "' to '";
        line += new_name;
        line += "' ...";
        write_line(std::cout, std::move(line));
    }
}

}  // namespace

rename_tally process_entry(const entry_place& entry, platform::listed_type listed, way_cache& ways,
                           const compiled_pattern& pattern, const std::string& replacement,
                           const run_options& options)
{
    rename_tally tally;
    auto entry_status = [&entry] { return query_status(entry); };

    // The listing's type stands in for the status query, so a run asks about
    // what it renames, not about the whole tree. Within a run a listed path
    // changes only through its own processing (a directory comes after its
    // contents, and no rename replaces an existing name), so the two can
    // differ only where another process changed the tree; what follows from
    // that is what a query gives too when the change comes just after it,
    // and a move never replaces anything whatever the entry has become. An
    // entry gone since the listing is still reported as gone (below). Links,
    // reparse points and entries of unknown type are queried first: what a
    // link leads to may change at any time.
    bool queried = false;
    platform::entry_type type = platform::entry_type::none;
    if (listed == platform::listed_type::unknown && entry.dir != nullptr) {
        if (!wanted(type = entry_status(), options)) {
            return skip_unwanted(entry, options);
        }
        queried = true;
    } else if (listed == platform::listed_type::directory && !options.include_directories) {
        return skip_unwanted(entry, options);
    }

    const subject_text subject = build_subject(entry.path, options, entry.typed_length);
    std::string new_name;
    std::vector<bool> from_listed;  // per byte of the new name: from a listed name
    if (!rewrite_matches(subject.subject, subject.typed_length, pattern, replacement, options.first_only, new_name,
                         from_listed)) {
        tally.skipped = 1;
        if (options.verbosity > 1) {
            write_line(std::cout, " Skipping         '" + quoted_path(narrow_or_stop(entry.path, entry.path)) + "' ...");
        }
        return tally;
    }
    new_name += subject.extension;
    from_listed.resize(new_name.size(), true);
    if (entry.dir == nullptr) {
        // Its directory is not reached: the rename this run means to make,
        // or would make, fails like any other, with the reason.
        write_intention(narrow_or_stop(entry.path, entry.path), new_name, options);
        write_line(std::cerr, "   error [rn]: " + platform::error_text(entry.unreachable));
        tally.failed = 1;
        return tally;
    }
    std::string old_text = narrow_or_stop(entry.path, entry.path);
    if (climbs_by_listed_name(new_name, from_listed)) {
        // Refused before anything is looked up or made where it leads, in
        // a dry run too.
        write_intention(old_text, new_name, options);
        write_line(std::cerr, "   error [cd]: " + platform::error_text(platform::invalid_argument_error()));
        tally.failed = 1;
        return tally;
    }
    if (!options.dry_run && (listed == platform::listed_type::directory || type == platform::entry_type::directory)) {
        // The way kept from the last new name may lie inside this directory;
        // held open there, it would stop the rename where the system keeps
        // open directories from being renamed.
        ways.dir.reset();
    }
    // One call where nothing is in the way: the move never replaces, so it
    // is refused wherever asking first would have found the new name taken,
    // and the entry's type is the listing's. A dry run, and a system whose
    // move does not tell a taken name (see move_tells_taken_names), ask
    // whether the name is taken first. Where the move fails, or a directory
    // of the new name is missing, the questions a run that asks first would
    // have asked are asked now, so that the report, and any directory made,
    // are what asking first gives: a taken name is refused as such, an entry
    // gone since the listing is skipped, a failed query stops the run before
    // anything is made.
    const bool ask_first = options.dry_run || !platform::move_tells_taken_names();
    if (ask_first && new_name_taken(ways, entry, native_or_stop(new_name))) {
        return refuse_taken(entry, old_text, new_name, options);
    }
    if (options.dry_run) {
        write_intention(old_text, new_name, options);
        tally.renamed = 1;
        return tally;
    }
    rename_outcome outcome = try_rename(entry, new_name, ways, ask_first);
    if (outcome.error) {
        if (!queried && !wanted(type = entry_status(), options)) {
            return skip_unwanted(entry, options);
        }
        if (!ask_first && new_name_taken(ways, entry, native_or_stop(new_name))) {
            return refuse_taken(entry, old_text, new_name, options);
        }
        if (outcome.directory_missing) {
            outcome = try_rename(entry, new_name, ways, true);
        }
    }
    write_intention(old_text, new_name, options);
    if (report_rename(outcome, old_text, new_name, options) != 0) {
        tally.failed = 1;
        return tally;
    }
    tally.renamed = 1;
    if (listed == platform::listed_type::directory || type == platform::entry_type::directory) {
        // The kept directory may be this one, or below it; so may
        // directories the run made, which their names no longer reach.
        ways.dir.reset();
        std::erase_if(ways.made, [&entry](const auto& made) {
            return made.first.starts_with(entry.path) &&
                   (made.first.size() == entry.path.size() || platform::is_separator(made.first[entry.path.size()]));
        });
    }
    return tally;
}

}  // namespace tarn
