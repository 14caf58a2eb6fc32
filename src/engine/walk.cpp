#include "engine/engine.h"
#include "engine/fs_error.h"

#include <vector>

namespace tarn {

namespace {

struct listing_level {
    platform::directory_handle stream;
    std::size_t path_length;  // of the directory's path in the walk's path buffer
};

bool needs_separator(platform::native_view directory)
{
    return !directory.empty() && !platform::is_separator(directory.back()) &&
           !platform::is_bare_drive(directory);
}

}  // namespace

entry_list collect_entries(const platform::native_string& start, bool recursive)
{
    const char* open_operation = recursive ? "recursive_directory_iterator::recursive_directory_iterator"
                                           : "directory_iterator::directory_iterator";
    const char* step_operation =
        recursive ? "recursive_directory_iterator::operator++" : "directory_iterator::operator++";

    entry_list list;
    std::error_code error;
    std::vector<listing_level> open;
    open.push_back({platform::open_directory(platform::listed_path(start), error), start.size()});
    if (error) {
        stop_run(open_operation, start, error);
    }

    // One buffer holds the path being listed; each entry's name is put behind
    // its directory's path in place.
    platform::native_string path = start;
    while (!open.empty()) {
        listing_level& current = open.back();
        platform::native_view name;
        platform::listed_type type = platform::listed_type::unknown;
        bool descend = false;
        if (!platform::next_entry(*current.stream, name, type, descend, error)) {
            if (error) {
                path.resize(current.path_length);
                stop_run(step_operation, path, error);
            }
            open.pop_back();
            continue;
        }
        path.resize(current.path_length);
        if (open.size() > 1 || needs_separator(start)) {
            path.push_back(platform::separator);
        }
        path.append(name);
        append_entry(list, path, type);
        if (recursive && descend) {
            auto stream = platform::open_directory(platform::listed_path(path), error);
            if (error) {
                stop_run(step_operation, path, error);
            }
            open.push_back({std::move(stream), path.size()});
        }
    }
    return list;
}

rename_tally run_walk(std::string start_path, const compiled_pattern& pattern, std::string replacement,
                      const run_options& options)
{
    const platform::native_string start = native_or_stop(start_path);
    const entry_list list = collect_entries(start, options.recursive);

    rename_tally total;
    visit_reversed(list, [&](platform::native_view entry, platform::listed_type type) {
        total = add_tallies(total, process_entry(entry, type, pattern, replacement, options));
    });
    return total;
}

}  // namespace tarn
