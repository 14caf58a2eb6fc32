#include "engine/engine.h"
#include "engine/fs_error.h"
#include "engine/name_rewrite.h"
#include "tarn/output.h"

#include <iostream>

namespace tarn {

const platform::directory* open_new_name_directory(way_cache& ways, const entry_place& entry,
                                                   const platform::native_string& path, bool create,
                                                   std::error_code& error)
{
    error.clear();
    // The entry's own directory, reached by identity, stands for the text it
    // was listed under: a new name in it, or below it, goes there even when
    // someone has since put a link in that directory's place.
    const std::size_t own = split_path(entry.path).parent_length;
    const bool inside = own > 0 && path.compare(0, own, entry.path.substr(0, own)) == 0 &&
                        (path.size() == own || platform::is_separator(path[own]));
    if (inside && path.size() == own) {
        return entry.dir;
    }
    if (ways.dir && ways.path == path) {
        return ways.dir.get();
    }
    ways.dir.reset();
    std::size_t position = inside ? own : platform::creation_root_length(path);
    platform::directory_ref dir;
    if (!inside) {
        platform::directory_identity identity;
        dir = platform::open_typed_directory(path.substr(0, position), identity, error);
    }
    bool failed = !inside && !dir;
    while (!failed && position < path.size()) {
        while (position < path.size() && platform::is_separator(path[position])) {
            ++position;
        }
        const std::size_t start = position;
        while (position < path.size() && !platform::is_separator(path[position])) {
            ++position;
        }
        if (position > start) {
            const platform::directory* parent = dir ? dir.get() : entry.dir;
            const platform::native_view name = platform::native_view(path).substr(start, position - start);
            const auto made = ways.made.find(path.substr(0, position));
            if (made != ways.made.end()) {
                dir = platform::open_listed_directory(*parent, name, made->second, true, error);
            } else {
                // Made here but not opened as made, the directory is never
                // reached again: its recorded identity matches none.
                bool created = false;
                platform::directory_identity identity;
                dir = platform::open_way_directory(*parent, name, create, created, identity, error);
                if (created) {
                    ways.made.emplace(path.substr(0, position), identity);
                }
            }
            failed = !dir;
        }
    }
    if (failed) {
        if (!create && platform::is_not_found(error)) {
            error.clear();
        }
        return nullptr;
    }
    if (!dir) {
        return entry.dir;  // only separators behind the entry's directory
    }
    ways.path = path;
    ways.dir = std::move(dir);
    return ways.dir.get();
}

rename_outcome try_rename(const entry_place& entry, const std::string& new_name, way_cache& ways, bool create)
{
    const platform::native_view name = entry.path.substr(entry.name_start);
    platform::native_string new_path = native_or_stop(new_name);

    // Names the system would take for something else than an entry (a data
    // stream, a device, another drive's current directory, a name it would
    // trim) are refused before any directory is made for them.
    rename_outcome outcome;
    outcome.error = platform::check_new_name(new_path, entry.path);

    // A new name that ends in a separator names a directory: a directory
    // takes the name itself, with nothing made for the last element; a file
    // cannot, and is refused before anything is made.
    const std::size_t root = platform::root_path_length(new_path);
    if (!outcome.error && new_path.size() > root && platform::is_separator(new_path.back())) {
        std::error_code status_error;
        if (platform::status_in(*entry.dir, name, status_error) != platform::entry_type::directory) {
            outcome.error = status_error ? status_error : platform::not_a_directory_error();
        }
        while (new_path.size() > root && platform::is_separator(new_path.back())) {
            new_path.pop_back();
        }
    }
    if (outcome.error) {
        return outcome;
    }
    const path_parts parts = split_path(new_path);
    const platform::directory* to =
        open_new_name_directory(ways, entry, new_path.substr(0, parts.parent_length), create, outcome.error);
    if (to == nullptr) {
        outcome.making_directories = true;
        if (!outcome.error) {
            outcome.directory_missing = true;
            outcome.error = std::make_error_code(std::errc::no_such_file_or_directory);
        }
        return outcome;
    }
    outcome.error =
        platform::move_between(*entry.dir, name, *to, platform::native_view(new_path).substr(parts.name_start));
    return outcome;
}

int report_rename(const rename_outcome& outcome, const std::string& old_text, const std::string& new_name,
                  const run_options& options)
{
    if (outcome.error) {
        write_line(std::cerr, (outcome.making_directories ? "   error [cd]: " : "   error [rn]: ") +
                                  platform::error_text(outcome.error));
        return 1;
    }
    if (options.verbosity > 1) {
        write_line(std::cout, "Successfully renamed " + old_text + " to " + new_name + ".");
    }
    return 0;
}

}  // namespace tarn
