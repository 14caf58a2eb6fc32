#include "engine/engine.h"
#include "engine/fs_error.h"
#include "engine/name_rewrite.h"
#include "tarn/output.h"

#include <iostream>

namespace tarn {

namespace {

bool has_parent_reference(platform::native_view path)
{
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !platform::is_separator(path[end])) {
            ++end;
        }
        if (end - start == 2 && path[start] == '.' && path[start + 1] == '.') {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

std::error_code create_missing_directories(const platform::native_string& path)
{
    // When the whole path already resolves to a directory, every prefix of it
    // is one too and each creation below would succeed: one query does. With
    // ".." in the path that does not hold where paths are resolved by text.
    if (!has_parent_reference(path)) {
        std::error_code error;
        if (platform::status(path, error) == platform::entry_type::directory) {
            return {};
        }
    }

    std::error_code last;
    std::error_code latest_significant;
    std::size_t position = platform::creation_root_length(path);
    while (position < path.size()) {
        while (position < path.size() && platform::is_separator(path[position])) {
            ++position;
        }
        if (position == path.size()) {
            break;
        }
        while (position < path.size() && !platform::is_separator(path[position])) {
            ++position;
        }
        last = platform::create_directory(path.substr(0, position));
        if (last && !platform::is_not_found(last)) {
            latest_significant = last;
        }
    }
    if (!last) {
        return {};
    }
    return latest_significant ? latest_significant : last;
}

int rename_entry(std::string old_text, std::string new_name, const run_options& options)
{
    const platform::native_string old_native = native_or_stop(old_text);
    const platform::native_string old_path = platform::listed_path(old_native);
    platform::native_string new_path = native_or_stop(new_name);

    // Names the system would take for something else than an entry (a data
    // stream, a device, another drive's current directory, a name it would
    // trim) are refused before any directory is made for them.
    std::error_code error = platform::check_new_name(new_path, old_native);

    // A new name that ends in a separator names a directory: a directory
    // takes the name itself, with nothing made for the last element; a file
    // cannot, and is refused before anything is made.
    const std::size_t root = platform::root_path_length(new_path);
    if (!error && new_path.size() > root && platform::is_separator(new_path.back())) {
        std::error_code status_error;
        if (platform::status(old_path, status_error) != platform::entry_type::directory) {
            error = status_error ? status_error : platform::not_a_directory_error();
        }
        while (new_path.size() > root && platform::is_separator(new_path.back())) {
            new_path.pop_back();
        }
    }

    // The directories a new name needs are nearly always there already, so
    // the move is tried first: that saves a status query per entry. A move
    // that succeeds shows that every directory on the way exists, and making
    // them first would have changed nothing. A move that fails has changed
    // nothing either. Only a missing or blocked directory on the way makes it
    // fail with the not-found kind; the directories are then made (or the
    // obstacle reported) and the move is tried again, so every failure reads
    // as if the directories had been made first. Other failures are final,
    // which spares a failed copy to another file system a second attempt.
    if (!error) {
        error = platform::move_entry(old_path, new_path);
        const path_parts parts = split_path(new_path);
        if (error && platform::is_not_found(error) && parts.parent_length > 0) {
            const std::error_code creation_error =
                create_missing_directories(new_path.substr(0, parts.parent_length));
            if (creation_error) {
                write_line(std::cerr, "   error [cd]: " + platform::error_text(creation_error));
                return 1;
            }
            error = platform::move_entry(old_path, new_path);
        }
    }
    if (error) {
        write_line(std::cerr, "   error [rn]: " + platform::error_text(error));
        return 1;
    }
    if (options.verbosity > 1) {
        write_line(std::cout, "Successfully renamed " + old_text + " to " + new_name + ".");
    }
    return 0;
}

}  // namespace tarn
