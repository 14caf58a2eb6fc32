// Paths on Windows: roots and drives, the exact form of a listed path, the
// system's reading of a typed one, and the names a new name may not use.

#include "platform/windows/system.h"

#include <algorithm>

namespace tarn::platform {

namespace {

bool is_drive_letter(native_char c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

}  // namespace

bool starts_with_drive(native_view path)
{
    return path.size() >= 2 && is_drive_letter(path[0]) && path[1] == L':';
}

// "\\?\", "\\.\" and "\??\": the prefixes of paths that go to the system's
// object names without the usual rewriting.
bool starts_with_device_prefix(native_view path)
{
    if (path.size() < 4 || !is_separator(path[0]) || !is_separator(path[3])) {
        return false;
    }
    if (is_separator(path[1])) {
        return path[2] == L'?' || path[2] == L'.';
    }
    return path[1] == L'?' && path[2] == L'?';
}

// "\\?\" and "\??\" hand the names behind them to the system as they are,
// with no rewriting at all (a '/' there is part of a name).
bool has_verbatim_prefix(native_view path)
{
    return path.size() >= 4 && path[0] == L'\\' && path[3] == L'\\' &&
           ((path[1] == L'\\' && path[2] == L'?') || (path[1] == L'?' && path[2] == L'?'));
}

namespace {

std::error_code invalid_name()
{
    return win32_error(ERROR_INVALID_NAME);
}

}  // namespace

// The system's full path for a path as typed: made absolute against the
// current directory (or the drive's), '.' and '..' resolved, a trailing dot
// or space of a name trimmed, a device name turned into "\\.\NAME".
bool full_path_name(const native_string& path, native_string& full)
{
    DWORD size = MAX_PATH;
    for (;;) {
        full.resize(size);
        const DWORD length = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
        if (length == 0) {
            return false;
        }
        if (length < size) {
            full.resize(length);
            return true;
        }
        size = length;
    }
}

namespace {

// Where the part of a full path that '..' never climbs out of ends: "D:",
// "\\server\share" or a device prefix with the name behind it. Zero when the
// path has none of these forms.
std::size_t full_root_length(native_view path)
{
    auto element_end = [&](std::size_t from) {
        from = std::min(from, path.size());
        while (from < path.size() && !is_separator(path[from])) {
            ++from;
        }
        return from;
    };
    if (starts_with_device_prefix(path)) {
        const std::size_t end = element_end(4);
        if (end - 4 == 3 && path.substr(4, 3) == L"UNC") {
            return element_end(element_end(end + 1) + 1);
        }
        return end;
    }
    if (path.size() > 2 && is_separator(path[0]) && is_separator(path[1])) {
        return element_end(element_end(2) + 1);
    }
    return starts_with_drive(path) ? 2 : 0;
}

// A full path in the form that lifts the length limit: "\\?\D:\..." or
// "\\?\UNC\server\share\...". Paths with a device prefix stay as they are.
native_string long_form(const native_string& full)
{
    native_string form;
    if (starts_with_drive(full)) {
        form = L"\\\\?\\";
        form += full;
    } else if (full.size() > 2 && is_separator(full[0]) && is_separator(full[1]) &&
               !starts_with_device_prefix(full)) {
        form = L"\\\\?\\UNC";
        form.append(full, 1);
    } else {
        form = full;
    }
    return form;
}

bool ascii_equal(native_view text, native_view lower)
{
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i] >= L'A' && text[i] <= L'Z' ? static_cast<wchar_t>(text[i] + 32) : text[i];
        if (c != lower[i]) {
            return false;
        }
    }
    return true;
}

// CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9, also with an extension or
// trailing spaces, and the superscript digits 1-3: names that the system
// (some of its versions at least) takes for a device wherever they stand.
// CONIN$ and CONOUT$ open the console, and CLOCK$ was a device once.
bool is_device_name(native_view name)
{
    native_view base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') {
        base.remove_suffix(1);
    }
    if (base.size() == 3) {
        return ascii_equal(base, L"con") || ascii_equal(base, L"prn") || ascii_equal(base, L"aux") ||
               ascii_equal(base, L"nul");
    }
    if (ascii_equal(base, L"conin$") || ascii_equal(base, L"conout$") || ascii_equal(base, L"clock$")) {
        return true;
    }
    const wchar_t last = base.empty() ? L'\0' : base.back();
    const bool digit = (last >= L'1' && last <= L'9') || last == L'\x00B9' || last == L'\x00B2' || last == L'\x00B3';
    return base.size() == 4 && digit && (ascii_equal(base.substr(0, 3), L"com") || ascii_equal(base.substr(0, 3), L"lpt"));
}

// Whether any element of the path, from `from` on, is a device name.
bool names_a_device(native_view path, std::size_t from)
{
    while (from < path.size()) {
        std::size_t end = from;
        while (end < path.size() && !is_separator(path[end])) {
            ++end;
        }
        if (is_device_name(path.substr(from, end - from))) {
            return true;
        }
        from = end + 1;
    }
    return false;
}

}  // namespace

// The form every file operation hands to the system. A path with a device
// prefix goes as written; any other is read as the system reads it and given
// the long form, except that a name the system would trim (a trailing dot or
// space) is kept exactly, as in a listed path: such a name in a new name has
// been checked to exist as it is. Refused with the invalid-name error: a
// device name the user did not spell as one, and a ':' behind the root name,
// which would address a data stream (of a file, or of a directory) instead of
// an entry.
native_string system_form(native_view path, std::error_code& error)
{
    error.clear();
    native_string form(path);
    if (path.empty()) {
        return form;
    }
    if (!starts_with_device_prefix(path)) {
        if (names_a_device(path, 0)) {
            error = invalid_name();
            return {};
        }
        native_string full;
        if (!full_path_name(form, full)) {
            error = last_error();
            return {};
        }
        if (starts_with_device_prefix(full)) {
            error = invalid_name();
            return {};
        }
        form = trimmed_element_end(path, 0) == native_string::npos ? long_form(full) : listed_path(path);
    }
    if (form.find(L':', full_root_length(form)) != native_string::npos) {
        error = invalid_name();
        return {};
    }
    return form;
}


bool is_separator(native_char c)
{
    return c == L'\\' || c == L'/';
}

bool is_bare_drive(native_view path)
{
    return path.size() == 2 && starts_with_drive(path);
}

// By the standard library's rules for native paths here: a root name is a
// character and a colon ("D:"), with at most one separator behind it as the
// root directory; otherwise a leading separator is the root directory, and
// any further ones (as in "\\server") belong to the relative path.
std::size_t root_path_length(native_view path)
{
    if (!path.empty() && is_separator(path[0])) {
        return 1;
    }
    if (path.size() >= 2 && path[1] == L':') {
        return path.size() > 2 && is_separator(path[2]) ? 3 : 2;
    }
    return 0;
}

std::size_t creation_root_length(native_view path)
{
    if (starts_with_device_prefix(path)) {
        std::size_t length = 4;
        const native_view rest = path.substr(length);
        if (starts_with_drive(rest)) {
            length += 2;
            if (rest.size() > 2 && is_separator(rest[2])) {
                ++length;
            }
        }
        return length;
    }
    if (path.size() > 2 && is_separator(path[0]) && is_separator(path[1]) && !is_separator(path[2])) {
        // A network path: the server and the separator after it. The share
        // is the first element, asked for like any other.
        std::size_t length = 3;
        while (length < path.size() && !is_separator(path[length])) {
            ++length;
        }
        return length < path.size() ? length + 1 : length;
    }
    return root_path_length(path);
}

native_string listed_path(native_view path)
{
    if (path.empty() || has_verbatim_prefix(path)) {
        return native_string(path);
    }
    // The absolute path the names are resolved in: as given when it has a
    // root name, else behind the directory the system would start from.
    native_string absolute;
    const bool has_root_name = (path.size() > 1 && is_separator(path[0]) && is_separator(path[1])) ||
                               (starts_with_drive(path) && path.size() > 2 && is_separator(path[2]));
    if (has_root_name) {
        absolute = path;
    } else {
        const bool on_drive = starts_with_drive(path);
        const native_string anchor = on_drive ? native_string(path.substr(0, 2))
                                     : is_separator(path[0]) ? native_string(L"\\") : native_string(L".");
        if (!full_path_name(anchor, absolute)) {
            return native_string(path);
        }
        absolute += L'\\';
        absolute += path.substr(on_drive ? 2 : 0);
    }
    const std::size_t root = full_root_length(absolute);
    if (root == 0) {
        return native_string(path);
    }
    native_string result = L"\\\\?\\";
    if (starts_with_drive(absolute)) {
        result += absolute.substr(0, root);
    } else if (starts_with_device_prefix(absolute)) {
        result += absolute.substr(4, root - 4);
    } else {
        result += L"UNC\\";
        result += absolute.substr(2, root - 2);
    }
    std::replace(result.begin(), result.end(), L'/', L'\\');
    const std::size_t root_end = result.size();
    std::size_t start = root;
    while (start < absolute.size()) {
        std::size_t end = start;
        while (end < absolute.size() && !is_separator(absolute[end])) {
            ++end;
        }
        const native_view name = native_view(absolute).substr(start, end - start);
        if (name == L"..") {
            if (result.size() > root_end) {
                result.resize(result.rfind(L'\\'));
            }
        } else if (!name.empty() && name != L".") {
            result += L'\\';
            result += name;
        }
        start = end + 1;
    }
    if (result.size() == root_end) {
        result += L'\\';  // the root directory, not the volume or share itself
    }
    return result;
}

native_string typed_path(native_view path)
{
    if (starts_with_device_prefix(path)) {
        return native_string(path);
    }
    native_string reading;
    std::size_t from = 0;
    for (std::size_t end = trimmed_element_end(path, 0); end != native_string::npos;
         end = trimmed_element_end(path, end + 1)) {
        std::size_t kept = end;
        while (kept > 0 && (path[kept - 1] == L'.' || path[kept - 1] == L' ')) {
            --kept;
        }
        if (kept == 0 || is_separator(path[kept - 1])) {
            kept = end;  // a name of dots and spaces only is left as it is
        }
        reading.append(path.substr(from, kept - from));
        from = end;
    }
    reading.append(path.substr(from));
    return reading;
}

std::error_code check_new_name(native_view path, native_view listed)
{
    // Behind a device prefix the system takes every name as it is, so a
    // device name there would be made as a file no other program can open.
    if (is_refused_drive_relative(path, listed) || (starts_with_device_prefix(path) && names_a_device(path, 4))) {
        return invalid_name();
    }
    // A ':' in any name, looked for in the text as it is: a ".." behind
    // it would take it out of the path the system reads, but the way to the
    // new name is taken one name at a time.
    const std::size_t root = starts_with_device_prefix(path) ? creation_root_length(path)
                             : starts_with_drive(path)       ? 2
                                                             : 0;
    if (path.find(L':', root) != native_view::npos) {
        return invalid_name();
    }
    std::error_code error;
    system_form(path, error);
    if (error) {
        return error;
    }
    // A name that ends in a dot or a space is reached exactly where it
    // exists as it is; one that does not would be made so, and no program
    // that reads paths as the system does could open it.
    for (std::size_t end = trimmed_element_end(path, 0); end != native_string::npos;
         end = trimmed_element_end(path, end + 1)) {
        const native_string prefix = system_form(path.substr(0, end), error);
        if (error || ::GetFileAttributesW(prefix.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return invalid_name();
        }
    }
    return {};
}

bool object_name(const native_string& path, native_string& name, std::error_code& error)
{
    name = system_form(path, error);
    if (error) {
        return false;
    }
    // "\\.\" paths are resolved first, as the system would; the others
    // are in their exact form already.
    if (!has_verbatim_prefix(name) && !full_path_name(native_string(name), name)) {
        error = last_error();
        return false;
    }
    if (!starts_with_device_prefix(name)) {
        error = invalid_name();
        return false;
    }
    name[1] = L'?';
    name[2] = L'?';
    return true;
}

std::error_code not_a_directory_error()
{
    return win32_error(ERROR_DIRECTORY);
}

std::error_code invalid_argument_error()
{
    return win32_error(ERROR_INVALID_PARAMETER);
}

}  // namespace tarn::platform
