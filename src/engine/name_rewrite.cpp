#include "engine/name_rewrite.h"

#include "engine/bounded_match.h"
#include "engine/fs_error.h"

#include <algorithm>

namespace tarn {

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A piece of the subject, with where it came from when that is asked for.
void append_range(std::string& out, std::vector<bool>* listed, const char* first, const char* last,
                  const char* listed_from)
{
    out.append(first, static_cast<std::size_t>(last - first));
    if (listed != nullptr) {
        for (const char* at = first; at != last; ++at) {
            listed->push_back(at >= listed_from);
        }
    }
}

// A piece of the replacement's own text.
void append_typed(std::string& out, std::vector<bool>* listed, std::string_view text)
{
    out.append(text);
    if (listed != nullptr) {
        listed->insert(listed->end(), text.size(), false);
    }
}

// One match's replacement, read left to right. `search_start` is where the
// search that found this match began: $` reaches back to it, not further.
void append_replacement(std::string& out, std::vector<bool>* listed, std::string_view replacement,
                        const bounded_match& match, const std::vector<bool>& never_set, const char* search_start,
                        const char* subject_end, const char* listed_from)
{
    const char* match_start = match[0].first.base();
    const char* match_end = match[0].second.base();
    const std::size_t groups = match.size() - 1;
    const std::size_t size = replacement.size();
    for (std::size_t i = 0; i < size; ++i) {
        const char c = replacement[i];
        if (c != '$' || i + 1 == size) {
            append_typed(out, listed, replacement.substr(i, 1));
            continue;
        }
        const char next = replacement[i + 1];
        if (next == '$') {
            append_typed(out, listed, "$");
            ++i;
        } else if (next == '&') {
            append_range(out, listed, match_start, match_end, listed_from);
            ++i;
        } else if (next == '`') {
            append_range(out, listed, search_start, match_start, listed_from);
            ++i;
        } else if (next == '\'') {
            append_range(out, listed, match_end, subject_end, listed_from);
            ++i;
        } else if (is_digit(next)) {
            std::size_t digits = (i + 2 < size && is_digit(replacement[i + 2])) ? 2 : 1;
            std::size_t number = static_cast<std::size_t>(next - '0');
            if (digits == 2) {
                number = number * 10 + static_cast<std::size_t>(replacement[i + 2] - '0');
            }
            if (number == 0) {
                // $0 is not the whole match here: it stands for itself.
                append_typed(out, listed, replacement.substr(i, digits + 1));
            } else if (number <= groups && match[number].matched &&
                       (number >= never_set.size() || !never_set[number])) {
                append_range(out, listed, match[number].first.base(), match[number].second.base(), listed_from);
            }
            i += digits;
        } else {
            append_typed(out, listed, replacement.substr(i, 2));
            ++i;
        }
    }
}

bool rewrite_into(std::string_view subject, std::size_t typed_length, const compiled_pattern& pattern,
                  std::string_view replacement, bool first_only, std::string& result, std::vector<bool>* listed)
{
    namespace flags = std::regex_constants;
    result.clear();
    if (listed != nullptr) {
        listed->clear();
    }
    if (!may_match(subject, pattern)) {
        return false;
    }
    start_match_budget();
    const char* const begin = subject.data();
    const char* const end = begin + subject.size();
    const char* const listed_from = begin + std::min(typed_length, subject.size());
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
        append_range(result, listed, copy_from, match_start, listed_from);
        append_replacement(result, listed, replacement, match, pattern.never_set, copy_from, end, listed_from);
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
    append_range(result, listed, copy_from, end, listed_from);
    return true;
}

bool is_narrow_separator(char c)
{
    return c == '/' || c == platform::narrow_separator;
}

// Whether the separator byte before `start` is one to the system too, and
// not the second byte of a double-byte character.
bool separator_before(std::string_view name, std::size_t start)
{
    std::error_code error;
    const platform::native_string front = platform::native_text(name.substr(0, start), error);
    return error || (!front.empty() && platform::is_separator(front.back()));
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

subject_text build_subject(platform::native_view entry_path, const run_options& options, std::size_t typed_length)
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
        if (typed_length > 0) {
            const std::size_t typed = std::min(typed_length, parts.parent_length);
            text.typed_length = typed == parts.parent_length
                                    ? parent.size()
                                    : narrow_or_stop(entry_path.substr(0, typed), entry_path).size();
        }
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
    return rewrite_into(subject, 0, pattern, replacement, first_only, result, nullptr);
}

bool rewrite_matches(std::string_view subject, std::size_t typed_length, const compiled_pattern& pattern,
                     std::string_view replacement, bool first_only, std::string& result, std::vector<bool>& listed)
{
    return rewrite_into(subject, typed_length, pattern, replacement, first_only, result, &listed);
}

bool climbs_by_listed_name(std::string_view new_name, const std::vector<bool>& listed)
{
    for (std::size_t start = 0; start < new_name.size();) {
        std::size_t end = start;
        while (end < new_name.size() && !is_narrow_separator(new_name[end])) {
            ++end;
        }
        if (end - start == 2 && new_name.substr(start, 2) == ".." && (listed[start] || listed[start + 1]) &&
            (start == 0 || separator_before(new_name, start))) {
            return true;
        }
        start = end + 1;
    }
    return false;
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
