#include "engine/engine.h"
#include "engine/fs_error.h"
#include "tarn/output.h"

#include <algorithm>
#include <iostream>
#include <vector>

namespace tarn {

namespace {

bool needs_separator(platform::native_view directory)
{
    return !directory.empty() && !platform::is_separator(directory.back()) &&
           !platform::is_bare_drive(directory);
}

// Descriptors kept open on the way down from the start directory: the
// deepest `kept_deepest`, and every `checkpoint_spacing`-th level above them,
// from which a closed level is reopened. A tree 3,000 levels deep needs about
// 80, whatever the limit on open files, and reopening costs one step a level.
constexpr std::size_t kept_deepest = 32;
constexpr std::size_t checkpoint_spacing = 64;

// The directories open from the start directory down to the one in use;
// closed ones are null.
struct directory_chain {
    const platform::directory* start = nullptr;
    std::vector<std::uint32_t> index;           // below the start, top down
    std::vector<platform::directory_ref> open;  // the same levels
};

const platform::directory* opened_at(const directory_chain& chain, std::size_t depth)
{
    return depth == 0 ? chain.start : chain.open[depth - 1].get();
}

// Makes the chain end at directory `target`, reopening what it lacks from
// the deepest open directory above it; every step goes through the name the
// listing gave and checks that the directory is still the one listed (the
// first time a directory is opened, its identity is taken instead). Returns
// null with the error set when a step fails.
const platform::directory* reach(directory_chain& chain, std::vector<listed_directory>& directories,
                                 std::uint32_t target, bool first_time, std::error_code& error)
{
    if (target == (chain.index.empty() ? 0 : chain.index.back()) && (chain.index.empty() || chain.open.back())) {
        error.clear();
        return opened_at(chain, chain.index.size());  // the entries of one directory come together
    }
    std::vector<std::uint32_t> way;  // bottom up
    for (std::uint32_t at = target; at != 0; at = directories[at].parent) {
        way.push_back(at);
    }
    std::size_t common = 0;
    while (common < chain.index.size() && common < way.size() &&
           chain.index[common] == way[way.size() - 1 - common]) {
        ++common;
    }
    chain.index.resize(common);
    chain.open.resize(common);

    std::size_t depth = common;
    while (depth > 0 && !chain.open[depth - 1]) {
        --depth;  // to the deepest open directory on the way
    }
    error.clear();
    for (++depth; depth <= way.size(); ++depth) {
        const std::uint32_t index = way[way.size() - depth];
        listed_directory& listed = directories[index];
        platform::directory_ref dir = platform::open_listed_directory(
            *opened_at(chain, depth - 1), listed.name, listed.identity, !(first_time && index == target), error);
        if (!dir) {
            return nullptr;
        }
        if (depth <= chain.open.size()) {
            chain.open[depth - 1] = std::move(dir);  // reopened, and kept while the walk is below it
            continue;
        }
        chain.index.push_back(index);
        chain.open.push_back(std::move(dir));
        // Going deeper: the level that leaves the window of the deepest ones
        // is closed, unless it is a checkpoint.
        if (depth > kept_deepest && (depth - kept_deepest) % checkpoint_spacing != 0) {
            chain.open[depth - kept_deepest - 1].reset();
        }
    }
    return opened_at(chain, way.size());
}

// The path text of the directory in use, built from the names the listing
// gave: the start path, then each level's name behind a separator. The next
// directory is most often a neighbour, so only what differs is rewritten.
struct path_chain {
    platform::native_string text;
    std::size_t start_length = 0;      // the start path, and its separator when it needs one
    std::vector<std::uint32_t> index;  // below the start, top down
    std::vector<std::size_t> end;      // where each level's name ends in the text
    std::vector<std::uint32_t> way;    // kept for its capacity
};

// Makes the text the path of directory `target` and the separator its
// entries' names follow.
void follow(path_chain& chain, const std::vector<listed_directory>& directories, std::uint32_t target)
{
    if (target != (chain.index.empty() ? 0 : chain.index.back())) {
        chain.way.clear();  // bottom up
        for (std::uint32_t at = target; at != 0; at = directories[at].parent) {
            chain.way.push_back(at);
        }
        const auto common = static_cast<std::size_t>(
            std::mismatch(chain.index.begin(), chain.index.end(), chain.way.rbegin(), chain.way.rend()).first -
            chain.index.begin());
        chain.index.resize(common);
        chain.end.resize(common);
        for (std::size_t depth = common + 1; depth <= chain.way.size(); ++depth) {
            chain.text.resize(depth == 1 ? chain.start_length : chain.end.back());
            if (depth > 1) {
                chain.text.push_back(platform::separator);
            }
            const std::uint32_t index = chain.way[chain.way.size() - depth];
            chain.text.append(directories[index].name);
            chain.index.push_back(index);
            chain.end.push_back(chain.text.size());
        }
    }
    // Left as the front of its entries' paths.
    chain.text.resize(chain.end.empty() ? chain.start_length : chain.end.back());
    if (!chain.end.empty()) {
        chain.text.push_back(platform::separator);
    }
}

// One directory being listed: its entries are read as the walk goes, while
// it is among the deepest levels; above them, its remaining entries are read
// into memory and its stream closed, so that streams stay few too.
struct listing_level {
    platform::directory_handle stream;
    std::vector<platform::native_string> names;  // read ahead, with their types and whether to descend
    std::vector<unsigned char> kinds;
    std::size_t next = 0;
    std::size_t path_length = 0;  // of the directory's path in the walk's path buffer
    std::uint32_t directory = 0;
};

constexpr unsigned char descend_bit = 4;

// The next entry of a level, from its stream or from what was read ahead.
bool next_listed(listing_level& level, platform::native_view& name, platform::listed_type& type, bool& descend,
                 std::error_code& error)
{
    if (level.stream) {
        if (platform::next_entry(*level.stream, name, type, descend, error)) {
            return true;
        }
        level.stream.reset();
        return false;
    }
    if (level.next == level.names.size()) {
        error.clear();
        return false;
    }
    name = level.names[level.next];
    type = static_cast<platform::listed_type>(level.kinds[level.next] & 3);
    descend = (level.kinds[level.next] & descend_bit) != 0;
    ++level.next;
    return true;
}

void read_ahead(listing_level& level, std::error_code& error)
{
    platform::native_view name;
    platform::listed_type type = platform::listed_type::unknown;
    bool descend = false;
    while (platform::next_entry(*level.stream, name, type, descend, error)) {
        level.names.emplace_back(name);
        level.kinds.push_back(static_cast<unsigned char>(static_cast<unsigned>(type) | (descend ? descend_bit : 0)));
    }
    level.stream.reset();
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
    list.directories.emplace_back();
    list.start = platform::open_typed_directory(platform::listed_path(start), list.directories[0].identity, error);
    std::vector<listing_level> levels(1);
    if (list.start) {
        levels[0].stream = platform::list_directory(*list.start, error);
    }
    if (error) {
        stop_run(open_operation, start, error);
    }
    list.start_length = start.size() + (needs_separator(start) ? 1 : 0);
    levels[0].path_length = start.size();

    directory_chain chain;
    chain.start = list.start.get();

    // One buffer holds the path being listed; each entry's name is put behind
    // its directory's path in place.
    platform::native_string path = start;
    while (!levels.empty()) {
        listing_level& current = levels.back();
        platform::native_view name;
        platform::listed_type type = platform::listed_type::unknown;
        bool descend = false;
        if (!next_listed(current, name, type, descend, error)) {
            if (error) {
                path.resize(current.path_length);
                stop_run(step_operation, path, error);
            }
            levels.pop_back();
            continue;
        }
        path.resize(current.path_length);
        if (levels.size() > 1 || needs_separator(start)) {
            path.push_back(platform::separator);
        }
        path.append(name);
        append_entry(list, name, type, current.directory);
        if (recursive && descend) {
            if (list.directories.size() >= UINT32_MAX) {
                stop_run(step_operation, path, std::make_error_code(std::errc::value_too_large));
            }
            const auto index = static_cast<std::uint32_t>(list.directories.size());
            list.directories.push_back({current.directory, platform::native_string(name), {}});
            const platform::directory* dir = reach(chain, list.directories, index, true, error);
            listing_level level;
            if (dir) {
                level.stream = platform::list_directory(*dir, error);
            }
            if (error) {
                stop_run(step_operation, path, error);
            }
            level.path_length = path.size();
            level.directory = index;
            if (levels.size() >= kept_deepest && levels[levels.size() - kept_deepest].stream) {
                read_ahead(levels[levels.size() - kept_deepest], error);
                if (error) {
                    stop_run(step_operation, path, error);
                }
            }
            levels.push_back(std::move(level));
        }
    }
    return list;
}

rename_tally run_walk(std::string start_path, const compiled_pattern& pattern, std::string replacement,
                      const run_options& options)
{
    const platform::native_string start = platform::typed_path(native_or_stop(start_path));
    entry_list list = collect_entries(start, options.recursive);

    directory_chain chain;
    chain.start = list.start.get();
    way_cache ways;
    rename_tally total;
    path_chain paths;
    paths.text = start;
    paths.start_length = list.start_length;
    paths.text.resize(paths.start_length, platform::separator);
    visit_reversed(list, [&](platform::native_view name, platform::listed_type type, std::uint32_t directory) {
        std::error_code error;
        const platform::directory* dir = reach(chain, list.directories, directory, false, error);
        follow(paths, list.directories, directory);
        const std::size_t name_start = paths.text.size();
        paths.text.append(name);
        const entry_place place{dir, paths.text, name_start, start.size(), dir ? std::error_code() : error};
        total = add_tallies(total, process_entry(place, type, ways, pattern, replacement, options));
    });
    return total;
}

}  // namespace tarn
