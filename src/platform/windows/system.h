#pragma once

// What the Windows files of the platform layer share: native names are
// UTF-16, the narrow text of a name is its exact conversion to the code page
// of the file interfaces, the separator is the backslash (the slash is
// accepted too), and errors are Win32 error numbers in
// std::system_category().

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include "platform/platform.h"
#include "platform/windows/rules.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

namespace tarn::platform {

inline std::error_code win32_error(DWORD number)
{
    return std::error_code(static_cast<int>(number), std::system_category());
}

inline std::error_code last_error()
{
    return win32_error(::GetLastError());
}

// Closes a handle on every way out.
struct handle_owner {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~handle_owner()
    {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
};

// What tells one file from another, whatever it is called now.
struct file_identity {
    ULONGLONG volume = 0;
    FILE_ID_128 id{};
    bool known = false;
};
file_identity identity_of(HANDLE handle);

// A directory here is its path: the one the listing gave, in the form that
// reaches it exactly, or the text a new name's way was typed in. Names are
// joined to it as the walk joined them. A directory of the walk is also held
// open, without delete sharing, while the walk is inside it: it can then be
// neither renamed nor replaced by a junction or link, so its path keeps
// leading to the directory that was listed.
struct directory {
    native_string path;
    HANDLE held = INVALID_HANDLE_VALUE;
};

// The path-based operations the directories above are made of: listing a
// directory, creating one (a directory already there counts as made,
// anything else there gives the already-exists error), and a move that never
// replaces an existing target.
directory_handle open_directory(const native_string& path, std::error_code& error);
std::error_code create_directory(const native_string& path);
std::error_code move_entry(const native_string& from, const native_string& to);

// A name joined to a directory's path as the walk joins them.
native_string joined(const native_string& dir, native_view name);

// Drives and prefixes of typed paths.
bool starts_with_drive(native_view path);
bool starts_with_device_prefix(native_view path);
bool has_verbatim_prefix(native_view path);

// The system's full path for a path as typed: made absolute against the
// current directory (or the drive's), '.' and '..' resolved, a trailing dot
// or space of a name trimmed, a device name turned into "\\.\NAME".
bool full_path_name(const native_string& path, native_string& full);

// The form in which a path reaches exactly the entries that exist under
// their names, with the names that must not be used refused.
native_string system_form(native_view path, std::error_code& error);

// The kind of reparse point a path names, asked of the entry itself; 0 where
// it cannot say.
DWORD reparse_tag_of(const native_string& path);

}  // namespace tarn::platform
