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
#include <winternl.h>

#include <cstring>
#include <memory>
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

// A directory here is held open, without delete sharing, so that it can be
// neither renamed nor replaced by a junction or link while it is in use, and
// the names below it are opened relative to that handle, never through path
// text again. The path is the text that first reached it (the listed form
// for the walk's directories, the typed text for the start and a new name's
// way); it is used where there is no handle (a server's name alone) and for
// messages. A directory on a new name's way also keeps the one it was opened
// from, which a `..` the user typed after it goes back to.
struct directory {
    native_string path;
    HANDLE held = INVALID_HANDLE_VALUE;
    std::shared_ptr<directory> up;
};

// Opens `name` (one name, or a stream of a file held as `root`, ":name")
// relative to what `root` holds, as NtCreateFile takes a root handle: the
// name is taken as it is, never as a path the system would rewrite. Options
// are NtCreateFile's; the handle is synchronous. On failure returns
// INVALID_HANDLE_VALUE with `error` set to the Win32 error; `created` tells
// whether the call made the entry.
struct open_request {
    ACCESS_MASK access = FILE_READ_ATTRIBUTES;
    ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    ULONG disposition = FILE_OPEN;
    ULONG options = 0;
    ULONG attributes = 0;
    PSECURITY_DESCRIPTOR security = nullptr;
};
HANDLE open_below(HANDLE root, native_view name, const open_request& request, std::error_code& error,
                  bool* created = nullptr);

// Gives the file a handle has open the name `name`, relative to the
// directory `root` holds (or an absolute object name where `root` is null),
// never replacing an existing entry.
std::error_code rename_below(HANDLE handle, HANDLE root, native_view name);

// The same as open_below for a name in a directory: relative to its handle where it holds
// one, else by its path's absolute form (a server's name alone cannot be
// held).
HANDLE open_in(const directory& dir, native_view name, const open_request& request, std::error_code& error);

// The absolute name the system's own calls take for a path: "\??\" in front
// of the drive or UNC path, the names as the path's system form has them.
bool object_name(const native_string& path, native_string& name, std::error_code& error);

// The attributes and reparse tag of what a handle has open; false where the
// system could not say.
bool attribute_tag(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO& info);

// The security identifier of the user running the program, and its text;
// null and empty where the system could not say.
PSID running_user();
const std::wstring& running_user_text();

// Creating a directory by its path, where there is no handle to create it
// relative to (the share of a network path): a directory already there
// counts as made, anything else there gives the already-exists error.
std::error_code create_directory(const native_string& path);

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
