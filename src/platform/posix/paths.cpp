// Paths, names and error kinds on POSIX: names are the bytes the system gives,
// the separator is '/', and errors are errno values.

#include "platform/posix/system.h"

#include <cstring>

namespace tarn::platform {

bool is_separator(native_char c)
{
    return c == '/';
}

bool is_bare_drive(native_view)
{
    return false;
}

std::size_t root_path_length(native_view path)
{
    return creation_root_length(path);
}

std::size_t creation_root_length(native_view path)
{
    std::size_t length = 0;
    while (length < path.size() && path[length] == '/') {
        ++length;
    }
    return length;
}

std::string narrow_text(native_view native, std::error_code& error)
{
    error.clear();
    return std::string(native);
}

native_string native_text(std::string_view narrow, std::error_code& error)
{
    error.clear();
    return native_string(narrow);
}

std::string display_text(native_view native)
{
    return std::string(native);
}

native_string listed_path(native_view path)
{
    return native_string(path);
}

native_string typed_path(native_view path)
{
    return native_string(path);
}

std::error_code check_new_name(native_view, native_view)
{
    return {};
}

std::error_code not_a_directory_error()
{
    return last_error(ENOTDIR);
}

std::error_code invalid_argument_error()
{
    return last_error(EINVAL);
}

bool is_not_found(std::error_code error)
{
    return error.category() == std::system_category() &&
           (error.value() == ENOENT || error.value() == ENOTDIR);
}

bool is_already_exists(std::error_code error)
{
    return error.category() == std::system_category() && error.value() == EEXIST;
}

// A rename that refuses to replace, and the fallbacks for file systems
// without one (a hard link, an exclusive creation), all fail with EEXIST
// wherever a lookup of the new name finds something, also where a
// case-folding directory finds the entry itself under another case.
bool move_tells_taken_names()
{
    return true;
}

bool is_name_too_long(std::error_code error)
{
    return error.category() == std::system_category() && error.value() == ENAMETOOLONG;
}

}  // namespace tarn::platform
