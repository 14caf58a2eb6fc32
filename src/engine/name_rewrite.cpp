#include "engine/name_rewrite.h"

#include "engine/bounded_match.h"
#include "engine/fs_error.h"

namespace tarn {

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

void append_range(std::string& out, const char* first, const char* last)
{
    out.append(first, static_cast<std::size_t>(last - first));
}

// One match's replacement, read left to right. `search_start` is where the
// search that found this match began: $` reaches back to it, not further.
void append_replacement(std::string& out, std::string_view replacement, const bounded_match& match,
                        const std::vector<bool>& never_set, const char* search_start, const char* subject_end)
{
    const char* match_start = match[0].first.base();
    const char* match_end = match[0].second.base();
    const std::size_t groups = match.size() - 1;
    const std::size_t size = replacement.size();
    for (std::size_t i = 0; i < size; ++i) {
        const char c = replacement[i];
        if (c != '$' || i + 1 == size) {
            out.push_back(c);
            continue;
        }
        const char next = replacement[i + 1];
        if (next == '$') {
            out.push_back('$');
            ++i;
        } else if (next == '&') {
            append_range(out, match_start, match_end);
            ++i;
        } else if (next == '`') {
            append_range(out, search_start, match_start);
            ++i;
        } else if (next == '\'') {
            append_range(out, match_end, subject_end);
            ++i;
        } else if (is_digit(next)) {
            std::size_t digits = (i + 2 < size && is_digit(replacement[i + 2])) ? 2 : 1;
            std::size_t number = static_cast<std::size_t>(next - '0');
            if (digits == 2) {
                number = number * 10 + static_cast<std::size_t>(replacement[i + 2] - '0');
            }
            if (number == 0) {
                // $0 is not the whole match here: it stands for itself.
                out.append(replacement.substr(i, digits + 1));
            } else if (number <= groups && match[number].matched &&
                       (number >= never_set.size() || !never_set[number])) {
                append_range(out, match[number].first.base(), match[number].second.base());
            }
            i += digits;
        } else {
            out.push_back('$');
            out.push_back(next);
            ++i;
        }
    }
}

}  // namespace

path_parts split_path(platform::native_view path)
{
    const std::size_t root = platform::root_path_length(path);
    std::size_t name_start = path.size();
    while (name_start > root && !platform::is_separator(path[name_start - 1])) {
        --name_start;
    }
    std::size_t parent_length = name_start;
    while (parent_length > root && platform::is_separator(path[parent_length - 1])) {
        --parent_length;
    }

    path_parts parts;
    parts.parent_length = parent_length;
    parts.name_start = name_start;
    parts.extension_start = path.size();
    const platform::native_view name = path.substr(name_start);
    const bool dots_only = name.size() <= 2 && name.find_first_not_of('.') == name.npos;
    if (!dots_only) {
        const std::size_t dot = name.rfind('.');
        if (dot != name.npos && dot != 0) {
            parts.extension_start = name_start + dot;
        }
    }
    return parts;
}

subject_text build_subject(platform::native_view entry_path, const run_options& options)
{
    const path_parts parts = split_path(entry_path);
    const std::size_t name_end =
        options.skip_extensions ? parts.extension_start : entry_path.size();
    const platform::native_view name = entry_path.substr(parts.name_start, name_end - parts.name_start);

    // The parent is converted even where the subject leaves it out, so that
    // a directory name with no exact narrow form stops the run for every
    // entry below it, not only for the ones that match.
    std::string parent = narrow_or_stop(entry_path.substr(0, parts.parent_length), entry_path);
    subject_text text;
    if (options.include_directories) {
        text.subject = std::move(parent);
        text.subject.push_back(platform::narrow_separator);
        text.subject += narrow_or_stop(name, entry_path);
    } else {
        text.subject = narrow_or_stop(name, entry_path);
    }
    if (options.skip_extensions) {
        text.extension = narrow_or_stop(entry_path.substr(parts.extension_start), entry_path);
    }
    return text;
}

bool rewrite_matches(std::string_view subject, const compiled_pattern& pattern,
                     std::string_view replacement, bool first_only, std::string& result)
{
    namespace flags = std::regex_constants;
    result.clear();
    if (!may_match(subject, pattern)) {
        return false;
    }
    start_match_budget();
    const char* const begin = subject.data();
    const char* const end = begin + subject.size();
    const counted_iterator last(end);

    bounded_match match;
    const char* copy_from = begin;  // end of the previous match
    bool previous_empty = false;
    bool matched = false;
    for (;;) {
        const flags::match_flag_type base =
            copy_from == begin ? flags::match_default : flags::match_prev_avail;
        bool found;
        if (!previous_empty) {
            found = std::regex_search(counted_iterator(copy_from), last, match, pattern.matcher, base);
        } else {
            // After an empty match only a non-empty one may start at the same
            // place; otherwise the search moves on by one character.
            found = std::regex_search(counted_iterator(copy_from), last, match, pattern.matcher,
                                      base | flags::match_not_null | flags::match_continuous);
            if (!found) {
                found = std::regex_search(counted_iterator(copy_from + 1), last, match, pattern.matcher,
                                          flags::match_prev_avail);
            }
        }
        if (!found) {
            break;
        }
        matched = true;
        const char* match_start = match[0].first.base();
        const char* match_end = match[0].second.base();
        append_range(result, copy_from, match_start);
        append_replacement(result, replacement, match, pattern.never_set, copy_from, end);
        copy_from = match_end;
        // A match that reaches the end of the subject ends the scan, even
        // where an empty match could still follow it.
        if (first_only || match_end == end) {
            break;
        }
        previous_empty = match_start == match_end;
    }
    if (!matched) {
        return false;
    }
    append_range(result, copy_from, end);
    return true;
}

std::string rewrite_name(std::string_view subject, const compiled_pattern& pattern,
                         std::string_view replacement, bool first_only)
{
    std::string result;
    if (!rewrite_matches(subject, pattern, replacement, first_only, result)) {
        return std::string(subject);
    }
    return result;
}

}  // namespace tarn
