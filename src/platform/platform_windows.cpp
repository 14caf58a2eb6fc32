// The Windows side of the platform layer: native names are UTF-16, the narrow
// text of a name is its exact conversion to the code page of the file
// interfaces, the separator is the backslash (the slash is accepted too), and
// errors are Win32 error numbers in std::system_category().

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include "platform/platform.h"
#include "platform/windows_rules.h"

#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// In the system's import library since Windows 8, but missing from the
// MinGW-w64 headers.
extern "C" __declspec(dllimport) VOID WINAPI GetCurrentThreadStackLimits(PULONG_PTR low, PULONG_PTR high);

namespace tarn::platform {

namespace {

std::error_code win32_error(DWORD number)
{
    return std::error_code(static_cast<int>(number), std::system_category());
}

std::error_code last_error()
{
    return win32_error(::GetLastError());
}

// The code page the ANSI file functions use, which is what a name's narrow
// text must be in for the system to agree with what the program prints.
UINT file_code_page()
{
    return ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

bool is_utf8(UINT code_page)
{
    return code_page == CP_UTF8 || (code_page == CP_ACP && ::GetACP() == CP_UTF8) ||
           (code_page == CP_OEMCP && ::GetOEMCP() == CP_UTF8);
}

// A few stateful code pages take no conversion flags at all; the round trip
// below still keeps those conversions exact.
bool refuses_flags(DWORD error)
{
    return error == ERROR_INVALID_FLAGS || error == ERROR_INVALID_PARAMETER;
}

// Plain conversion calls; each returns false with the system's error set.
bool to_narrow(UINT code_page, native_view native, std::string& out, bool& inexact)
{
    inexact = false;
    out.clear();
    if (native.empty()) {
        return true;
    }
    if (native.size() > static_cast<std::size_t>(INT_MAX / 4)) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    const int length = static_cast<int>(native.size());
    DWORD flags = is_utf8(code_page) ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* used_default_out = is_utf8(code_page) ? nullptr : &used_default;
    int size = ::WideCharToMultiByte(code_page, flags, native.data(), length, nullptr, 0, nullptr,
                                     used_default_out);
    if (size == 0 && refuses_flags(::GetLastError())) {
        flags = 0;
        used_default_out = nullptr;
        size = ::WideCharToMultiByte(code_page, 0, native.data(), length, nullptr, 0, nullptr, nullptr);
    }
    if (size <= 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(size));
    size = ::WideCharToMultiByte(code_page, flags, native.data(), length, out.data(), size, nullptr,
                                 used_default_out);
    if (size <= 0) {
        out.clear();
        return false;
    }
    out.resize(static_cast<std::size_t>(size));
    inexact = used_default != FALSE;
    return true;
}

bool to_native(UINT code_page, std::string_view narrow, native_string& out)
{
    out.clear();
    if (narrow.empty()) {
        return true;
    }
    if (narrow.size() > static_cast<std::size_t>(INT_MAX)) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    const int length = static_cast<int>(narrow.size());
    DWORD flags = MB_ERR_INVALID_CHARS;
    int size = ::MultiByteToWideChar(code_page, flags, narrow.data(), length, nullptr, 0);
    if (size == 0 && refuses_flags(::GetLastError())) {
        flags = 0;
        size = ::MultiByteToWideChar(code_page, 0, narrow.data(), length, nullptr, 0);
    }
    if (size <= 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(size));
    size = ::MultiByteToWideChar(code_page, flags, narrow.data(), length, out.data(), size);
    if (size <= 0) {
        out.clear();
        return false;
    }
    out.resize(static_cast<std::size_t>(size));
    return true;
}

// The conversion failed because it could not be exact, not for another reason.
std::error_code conversion_error()
{
    const DWORD error = ::GetLastError();
    if (error == 0 || error == ERROR_NO_UNICODE_TRANSLATION || error == ERROR_INSUFFICIENT_BUFFER) {
        return win32_error(ERROR_NO_UNICODE_TRANSLATION);
    }
    return win32_error(error);
}

bool is_drive_letter(native_char c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

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

std::error_code invalid_name()
{
    return win32_error(ERROR_INVALID_NAME);
}

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

// An entry that is there but that this program cannot look through: a link
// class the system has switched off, or a reparse point only its own driver
// or app can open. It is skipped like any special file.
bool is_unreachable(std::error_code error)
{
    return error.value() == ERROR_CANT_ACCESS_FILE || error.value() == ERROR_SYMLINK_CLASS_DISABLED;
}

// Opens what a path names after all its links, for attribute queries.
HANDLE open_followed(const native_string& path)
{
    return ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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

// The kind of reparse point a path names, asked of the entry itself (which
// neither follows it nor has a filter fetch anything); 0 where it cannot say.
DWORD reparse_tag_of(const native_string& path)
{
    handle_owner itself;
    itself.handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (itself.handle != INVALID_HANDLE_VALUE &&
        ::GetFileInformationByHandleEx(itself.handle, FileAttributeTagInfo, &info, sizeof info)) {
        return info.ReparseTag;
    }
    return 0;
}

bool set_delete_on_close(HANDLE handle, bool remove)
{
    FILE_DISPOSITION_INFO info{static_cast<BOOLEAN>(remove ? TRUE : FALSE)};
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info) != FALSE;
}

// Copies `length` bytes from the handles' current positions, or up to the
// end of the source.
std::error_code copy_contents(HANDLE from, HANDLE to, ULONGLONG length = ~0ull)
{
    std::vector<char> buffer(1 << 20);
    while (length > 0) {
        DWORD count = 0;
        const DWORD wanted = static_cast<DWORD>(std::min<ULONGLONG>(length, buffer.size()));
        if (!::ReadFile(from, buffer.data(), wanted, &count, nullptr)) {
            return last_error();
        }
        if (count == 0) {
            return {};
        }
        length -= count;
        const char* data = buffer.data();
        while (count > 0) {
            DWORD written = 0;
            if (!::WriteFile(to, data, count, &written, nullptr)) {
                return last_error();
            }
            if (written == 0) {
                return win32_error(ERROR_WRITE_FAULT);
            }
            data += written;
            count -= written;
        }
    }
    return {};
}

// Marks the copy sparse; false where its volume has no sparse files.
bool make_sparse(HANDLE handle)
{
    DWORD returned = 0;
    return ::DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
}

// Copies only the source's allocated ranges into a sparse copy, so that the
// holes stay holes.
std::error_code copy_allocated_ranges(HANDLE from, HANDLE to, LONGLONG size)
{
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.Length.QuadPart = size;
    std::vector<FILE_ALLOCATED_RANGE_BUFFER> ranges(256);
    for (;;) {
        DWORD returned = 0;
        const bool complete =
            ::DeviceIoControl(from, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, ranges.data(),
                              static_cast<DWORD>(ranges.size() * sizeof ranges[0]), &returned, nullptr) != FALSE;
        if (!complete && ::GetLastError() != ERROR_MORE_DATA) {
            return last_error();
        }
        const std::size_t count = returned / sizeof ranges[0];
        for (std::size_t at = 0; at < count; ++at) {
            const LARGE_INTEGER offset = ranges[at].FileOffset;
            if (!::SetFilePointerEx(from, offset, nullptr, FILE_BEGIN) ||
                !::SetFilePointerEx(to, offset, nullptr, FILE_BEGIN)) {
                return last_error();
            }
            if (auto error = copy_contents(from, to, static_cast<ULONGLONG>(ranges[at].Length.QuadPart))) {
                return error;
            }
        }
        if (complete || count == 0) {
            return {};
        }
        query.FileOffset.QuadPart = ranges[count - 1].FileOffset.QuadPart + ranges[count - 1].Length.QuadPart;
        query.Length.QuadPart = size - query.FileOffset.QuadPart;
    }
}

// Which file a handle has open: the volume and the 128-bit file id, or the
// 64-bit file index where the file system has no 128-bit ids.
struct file_identity {
    ULONGLONG volume = 0;
    FILE_ID_128 id{};
    bool known = false;
};

file_identity identity_of(HANDLE handle)
{
    file_identity identity;
    FILE_ID_INFO info{};
    if (::GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) {
        identity.volume = info.VolumeSerialNumber;
        identity.id = info.FileId;
        identity.known = true;
        return identity;
    }
    BY_HANDLE_FILE_INFORMATION by_handle{};
    if (::GetFileInformationByHandle(handle, &by_handle)) {
        identity.volume = by_handle.dwVolumeSerialNumber;
        const ULONGLONG index = (ULONGLONG(by_handle.nFileIndexHigh) << 32) | by_handle.nFileIndexLow;
        std::memcpy(identity.id.Identifier, &index, sizeof index);
        identity.known = true;
    }
    return identity;
}

// Whether the file a handle had open is still reachable under its name.
bool still_there(const native_string& path, const file_identity& identity)
{
    handle_owner reopened;
    reopened.handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
    if (reopened.handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const file_identity now = identity_of(reopened.handle);
    return now.known && now.volume == identity.volume &&
           std::memcmp(now.id.Identifier, identity.id.Identifier, sizeof now.id.Identifier) == 0;
}

// A name beside the target that marks the copy as ours and unfinished, cut at
// the target's last separator (or behind a bare drive), so that it lands in
// the same directory in whatever form the target's path is written.
native_string temporary_name(const native_string& to, unsigned attempt)
{
    const std::size_t separator_at = to.find_last_of(L"\\/");
    const std::size_t directory_length =
        separator_at != native_string::npos ? separator_at + 1 : starts_with_drive(to) ? 2 : 0;
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    unsigned long long random = static_cast<unsigned long long>(counter.QuadPart) * 0x9E3779B97F4A7C15ull;
    random ^= (static_cast<unsigned long long>(::GetCurrentThreadId()) << 32) + attempt;
    wchar_t digits[17];
    for (int at = 15; at >= 0; --at, random >>= 4) {
        digits[at] = L"0123456789abcdef"[random & 15];
    }
    digits[16] = L'\0';
    return to.substr(0, directory_length) + L".tarn-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           digits + L".part";
}

// One named stream of a file to the same stream of the copy, flushed as the
// main stream is before the copy takes its name.
std::error_code copy_stream(const native_string& from, const native_string& to)
{
    // Full sharing: the files' main handles, which hold them against anyone
    // else, are open already and must not stand in the way.
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    handle_owner source;
    source.handle = ::CreateFileW(from.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (source.handle == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    handle_owner target;
    target.handle =
        ::CreateFileW(to.c_str(), GENERIC_WRITE, sharing, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (target.handle == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    if (auto error = copy_contents(source.handle, target.handle)) {
        return error;
    }
    return ::FlushFileBuffers(target.handle) ? std::error_code() : last_error();
}

// The names of the source's named streams (a downloaded file's
// Zone.Identifier among them). A file system without streams has none.
std::error_code named_streams(HANDLE source, std::vector<native_string>& names)
{
    std::vector<char> buffer(64 << 10);
    while (!::GetFileInformationByHandleEx(source, FileStreamInfo, buffer.data(),
                                           static_cast<DWORD>(buffer.size()))) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_MORE_DATA && buffer.size() < (std::size_t(16) << 20)) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (error == ERROR_HANDLE_EOF || error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
            error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED) {
            return {};
        }
        return win32_error(error);
    }
    for (std::size_t at = 0;;) {
        const auto* stream = reinterpret_cast<const FILE_STREAM_INFO*>(buffer.data() + at);
        native_string name(stream->StreamName, stream->StreamNameLength / sizeof(wchar_t));
        if (name != L"::$DATA") {
            names.push_back(std::move(name));
        }
        if (stream->NextEntryOffset == 0) {
            return {};
        }
        at += stream->NextEntryOffset;
    }
}

// Deletes a file of ours, read-only or not.
void remove_own(const native_string& path)
{
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path.c_str());
}

// What tells whether the source changed under the copy.
struct change_mark {
    LONGLONG change_time = 0;
    LONGLONG size = 0;
};

bool read_change_mark(HANDLE handle, change_mark& mark)
{
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
        !::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        return false;
    }
    mark = {basic.ChangeTime.QuadPart, standard.EndOfFile.QuadPart};
    return true;
}

// Gives the open copy its real name through its own handle, never replacing
// anything, so that no other program can stand between the copy and its
// name. False with the system's error set where that fails.
bool claim_by_handle(HANDLE handle, const native_string& to)
{
    // The handle call takes an absolute name as the system's object manager
    // does: "\??\" in front of the drive or UNC path, no rewriting of the
    // names. "\\.\" paths are resolved first, as the system would.
    native_string name = to;
    if (starts_with_device_prefix(to)) {
        if (!has_verbatim_prefix(to) && !full_path_name(to, name)) {
            return false;
        }
        name[1] = L'?';
        name[2] = L'?';
    }
    const std::size_t bytes = name.size() * sizeof(wchar_t);
    std::vector<unsigned long long> buffer((sizeof(FILE_RENAME_INFO) + bytes) / sizeof(unsigned long long) + 1);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(info->FileName, name.c_str(), bytes + sizeof(wchar_t));
    return ::SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(buffer.size() * 8)) !=
           FALSE;
}

// Errors by which a system or file system says it has no such call, not that
// the call failed.
bool is_unsupported(DWORD error)
{
    return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
           error == ERROR_CALL_NOT_IMPLEMENTED;
}

// Moves a regular file to another volume. The copy is written under a
// temporary name beside the target, held with no sharing while it fills:
// contents, named streams, times and attributes, then a flush. Then it takes
// the real name through its still open handle without replacing anything,
// and only after that is the source deleted, through its own handle. A crash
// at any point leaves the source whole, with at most a complete copy under
// the real name or a temporary file beside it; any failure leaves the source
// as it was and, through the copy's handle marked for deletion, no copy.
std::error_code copy_then_remove(const native_string& from, const native_string& to)
{
    // Asked before opening: a directory cannot be opened as a file at all, and
    // the failure would read "access denied" rather than "another drive".
    const DWORD attributes = ::GetFileAttributesW(from.c_str());
    const bool reparse = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const DWORD tag = reparse ? reparse_tag_of(from) : 0;
    if ((attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) ||
        (reparse && copy_refuses_reparse_tag(tag))) {
        return win32_error(ERROR_NOT_SAME_DEVICE);
    }
    // Any other reparse point (a cloud file, a deduplicated or compressed
    // one) is opened through its file-system filter, which supplies the data.
    handle_owner source;
    source.handle = ::CreateFileW(from.c_str(), source_access(attributes), FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING,
                                  (reparse ? 0 : FILE_FLAG_OPEN_REPARSE_POINT) | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (source.handle == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    FILE_BASIC_INFO info{};
    FILE_ATTRIBUTE_TAG_INFO opened{};
    change_mark before{};
    if (!::GetFileInformationByHandleEx(source.handle, FileBasicInfo, &info, sizeof info) ||
        !::GetFileInformationByHandleEx(source.handle, FileAttributeTagInfo, &opened, sizeof opened) ||
        !read_change_mark(source.handle, before)) {
        return last_error();
    }
    // What was opened must be what was asked about: a link put in the
    // entry's place meanwhile would have been followed, and deleting through
    // the handle would then delete what it leads to.
    const bool opened_reparse = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || opened_reparse != reparse ||
        (reparse && opened.ReparseTag != tag)) {
        return win32_error(ERROR_NOT_SAME_DEVICE);
    }
    // A plain copy would decrypt it, and the encrypted original would go.
    if ((info.FileAttributes & FILE_ATTRIBUTE_ENCRYPTED) != 0) {
        return win32_error(ERROR_ENCRYPTION_FAILED);
    }
    std::vector<native_string> streams;
    if (auto error = named_streams(source.handle, streams)) {
        return error;
    }

    native_string temporary;
    handle_owner target;
    for (unsigned attempt = 0; target.handle == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = temporary_name(to, attempt);
        target.handle = ::CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (target.handle == INVALID_HANDLE_VALUE &&
            (::GetLastError() != ERROR_FILE_EXISTS || attempt == 8)) {
            return last_error();
        }
    }
    // Where the copy stands under a name of ours (the temporary one, or the
    // real one once claimed) it goes through its own handle, which no other
    // program can have taken from us.
    native_string placed = temporary;
    auto fail = [&](std::error_code error) {
        if (target.handle == INVALID_HANDLE_VALUE || !set_delete_on_close(target.handle, true)) {
            ::CloseHandle(target.handle);
            target.handle = INVALID_HANDLE_VALUE;
            remove_own(placed);
        }
        return error;
    };
    // While the copy is incomplete it is marked for deletion, so that it
    // goes with its handle however the program ends: Ctrl+C, Ctrl+Break, a
    // closed console or a killed process leave no temporary file behind. The
    // mark is lifted only while the streams are written (a file marked for
    // deletion cannot be opened again) and for the claim.
    if (!set_delete_on_close(target.handle, true)) {
        return fail(last_error());
    }
    // Only a file on a disk takes the data; a device never receives any.
    if (::GetFileType(target.handle) != FILE_TYPE_DISK) {
        return fail(win32_error(ERROR_INVALID_NAME));
    }
    // A volume without streams (FAT, exFAT, some shares) would drop them,
    // and with them a downloaded file's mark of where it came from.
    DWORD volume_flags = 0;
    if (!streams.empty() &&
        !::GetVolumeInformationByHandleW(target.handle, nullptr, 0, nullptr, nullptr, &volume_flags, nullptr, 0)) {
        volume_flags = 0;
    }
    if (streams_would_be_lost(streams.size(), volume_flags)) {
        return fail(streams_unsupported_error());
    }
    // Marked before the size is set, which then allocates nothing.
    const bool sparse = (info.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0 && make_sparse(target.handle);
    // The full size at once: a full disk, or a file too large for the volume,
    // fails here and not after gigabytes.
    FILE_END_OF_FILE_INFO size{};
    size.EndOfFile.QuadPart = before.size;
    if (!::SetFileInformationByHandle(target.handle, FileEndOfFileInfo, &size, sizeof size)) {
        return fail(last_error());
    }
    if (auto error = sparse ? copy_allocated_ranges(source.handle, target.handle, before.size)
                            : copy_contents(source.handle, target.handle)) {
        return fail(error);
    }
    if (!streams.empty() && !set_delete_on_close(target.handle, false)) {
        return fail(last_error());
    }
    for (const native_string& stream : streams) {
        if (auto error = copy_stream(from + stream, temporary + stream)) {
            return fail(error);
        }
    }
    if (!streams.empty() && !set_delete_on_close(target.handle, true)) {
        return fail(last_error());
    }
    // Times and attributes go before the flush, so that they are on disk when
    // the source goes.
    FILE_BASIC_INFO copied = info;
    copied.ChangeTime.QuadPart = 0;  // left to the system
    // Only the attributes a handle can set; compression and the like belong
    // to the volume the copy went to.
    copied.FileAttributes &= FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                             FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (copied.FileAttributes == 0) {
        copied.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    if (!::SetFileInformationByHandle(target.handle, FileBasicInfo, &copied, sizeof copied)) {
        return fail(last_error());
    }
    if (!::FlushFileBuffers(target.handle)) {
        return fail(last_error());
    }
    change_mark after{};
    if (!read_change_mark(source.handle, after)) {
        return fail(last_error());
    }
    if (after.change_time != before.change_time || after.size != before.size) {
        return fail(source_changed_error());
    }
    const file_identity identity = identity_of(source.handle);
    if (!identity.known) {
        return fail(last_error());
    }
    // No replacing: a name taken meanwhile stays as it is. Where the system
    // has no rename through a handle, the closed copy is renamed by its path.
    if (!set_delete_on_close(target.handle, false)) {
        return fail(last_error());
    }
    if (claim_by_handle(target.handle, to)) {
        placed = to;
        if (!::FlushFileBuffers(target.handle)) {  // the new name on disk before the source goes
            return fail(last_error());
        }
    } else if (const DWORD error = ::GetLastError(); !is_unsupported(error)) {
        return fail(win32_error(error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error));
    } else {
        const bool closed = ::CloseHandle(target.handle) != FALSE;
        target.handle = INVALID_HANDLE_VALUE;
        if (!closed) {
            return fail(last_error());
        }
        if (!::MoveFileExW(temporary.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
            const DWORD moved = ::GetLastError();
            remove_own(temporary);
            // The same answer as a rename onto an existing name on one volume.
            return win32_error(moved == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : moved);
        }
        placed = to;
    }

    // A read-only source cannot be deleted; it goes anyway, so the bit is
    // dropped first and put back if the deletion is still refused.
    const bool read_only = (info.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (read_only) {
        FILE_BASIC_INFO writable{};
        const DWORD rest = copied.FileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY);
        writable.FileAttributes = rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL;  // 0 means "unchanged"
        if (!::SetFileInformationByHandle(source.handle, FileBasicInfo, &writable, sizeof writable)) {
            return fail(last_error());
        }
    }
    if (!set_delete_on_close(source.handle, true)) {
        const std::error_code error = last_error();
        if (read_only) {
            FILE_BASIC_INFO restored{};
            restored.FileAttributes = copied.FileAttributes;
            ::SetFileInformationByHandle(source.handle, FileBasicInfo, &restored, sizeof restored);
        }
        return fail(error);
    }

    // The source goes when its handle closes. Where the system could not
    // delete it after all, the same file is still there under its name: then
    // the copy goes instead, and the move has failed with nothing changed.
    ::CloseHandle(source.handle);
    source.handle = INVALID_HANDLE_VALUE;
    if (still_there(from, identity)) {
        if (read_only) {
            ::SetFileAttributesW(from.c_str(), copied.FileAttributes);
        }
        return fail(win32_error(ERROR_ACCESS_DENIED));
    }
    return {};
}

}  // namespace

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

std::string narrow_text(native_view native, std::error_code& error)
{
    error.clear();
    const UINT code_page = file_code_page();
    std::string narrow;
    bool inexact = false;
    if (!to_narrow(code_page, native, narrow, inexact)) {
        error = conversion_error();
        return {};
    }
    // Converting back must give the very same name; otherwise the narrow text
    // would name another file (or none) when handed back to the system.
    native_string back;
    if (inexact || !to_native(code_page, narrow, back) || back != native) {
        error = win32_error(ERROR_NO_UNICODE_TRANSLATION);
        return {};
    }
    return narrow;
}

native_string native_text(std::string_view narrow, std::error_code& error)
{
    error.clear();
    const UINT code_page = file_code_page();
    native_string native;
    if (!to_native(code_page, narrow, native)) {
        error = conversion_error();
        return {};
    }
    std::string back;
    bool inexact = false;
    if (!to_narrow(code_page, native, back, inexact) || inexact || back != narrow) {
        error = win32_error(ERROR_NO_UNICODE_TRANSLATION);
        return {};
    }
    return native;
}

std::string display_text(native_view native)
{
    if (native.empty() || native.size() > static_cast<std::size_t>(INT_MAX / 4)) {
        return {};
    }
    const UINT code_page = file_code_page();
    const int length = static_cast<int>(native.size());
    const int size = ::WideCharToMultiByte(code_page, 0, native.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(code_page, 0, native.data(), length, text.data(), size, nullptr, nullptr);
    return text;
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

std::size_t trimmed_element_end(native_view path, std::size_t from)
{
    while (from < path.size()) {
        std::size_t end = from;
        while (end < path.size() && !is_separator(path[end])) {
            ++end;
        }
        const native_view name = path.substr(from, end - from);
        if (!name.empty() && name != L"." && name != L".." && (name.back() == L'.' || name.back() == L' ')) {
            return end;
        }
        from = end + 1;
    }
    return native_string::npos;
}

bool is_special_reparse_tag(unsigned long tag)
{
    return tag == IO_REPARSE_TAG_AF_UNIX || tag == IO_REPARSE_TAG_APPEXECLINK;
}

bool copy_refuses_reparse_tag(unsigned long tag)
{
    return tag == 0 || IsReparseTagNameSurrogate(tag) || is_special_reparse_tag(tag);
}

bool streams_would_be_lost(std::size_t named_streams, unsigned long volume_flags)
{
    return named_streams > 0 && (volume_flags & FILE_NAMED_STREAMS) == 0;
}

unsigned long source_access(unsigned long attributes)
{
    const DWORD needed = GENERIC_READ | DELETE;
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? needed | FILE_WRITE_ATTRIBUTES : needed;
}

bool is_refused_drive_relative(native_view new_name, native_view listed)
{
    if (!starts_with_drive(new_name) || (new_name.size() > 2 && is_separator(new_name[2]))) {
        return false;
    }
    const bool listed_relative = starts_with_drive(listed) && !(listed.size() > 2 && is_separator(listed[2]));
    return !listed_relative || (listed[0] | 0x20) != (new_name[0] | 0x20);
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

std::error_code not_a_directory_error()
{
    return win32_error(ERROR_DIRECTORY);
}

entry_type status(const native_string& path, std::error_code& error)
{
    const native_string form = system_form(path, error);
    if (error) {
        return entry_type::none;
    }
    auto failed = [&error]() {
        error = last_error();
        if (is_unreachable(error)) {
            error.clear();
            return entry_type::other;
        }
        return entry_type::none;
    };
    DWORD attributes = 0;
    DWORD tag = 0;
    bool tag_known = false;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(form.c_str(), GetFileExInfoStandard, &data)) {
        attributes = data.dwFileAttributes;
    } else if (::GetLastError() == ERROR_SHARING_VIOLATION && form.find_first_of(L"*?", 4) == form.npos) {
        // The paging and hibernation files refuse even this; the directory
        // listing still tells what they are. Wildcards would make it a search.
        WIN32_FIND_DATAW found{};
        const HANDLE find = ::FindFirstFileExW(form.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                               nullptr, 0);
        if (find == INVALID_HANDLE_VALUE) {
            return failed();
        }
        ::FindClose(find);
        attributes = found.dwFileAttributes;
        tag = found.dwReserved0;
        tag_known = true;
    } else {
        return failed();
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if (!tag_known) {
            tag = reparse_tag_of(form);
        }
        // A socket or an execution alias looks like a file but is none.
        if (is_special_reparse_tag(tag)) {
            return entry_type::other;
        }
        // Only links and junctions lead elsewhere; any other reparse point
        // (a cloud placeholder, a deduplicated or compressed file) is the
        // entry itself, and asking for its target could fetch it from the
        // network. A reparse point of no stated kind (Wine shows the Unix
        // symbolic links so) is taken for a link.
        if (IsReparseTagNameSurrogate(tag) || tag == 0) {
            handle_owner followed;
            followed.handle = open_followed(form);
            FILE_BASIC_INFO info{};
            if (followed.handle == INVALID_HANDLE_VALUE ||
                !::GetFileInformationByHandleEx(followed.handle, FileBasicInfo, &info, sizeof info)) {
                return failed();
            }
            attributes = info.FileAttributes;
        }
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return entry_type::directory;
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return entry_type::other;
    }
    return entry_type::regular;
}

bool is_not_found(std::error_code error)
{
    if (error.category() != std::system_category()) {
        return false;
    }
    switch (error.value()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:  // a path that runs through a file, as ENOTDIR
    case ERROR_NOT_READY:  // a drive with no medium in it
        return true;
    default:
        return false;
    }
}

bool is_name_too_long(std::error_code error)
{
    return error.category() == std::system_category() && error.value() == ERROR_FILENAME_EXCED_RANGE;
}

struct directory_stream {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data{};
    bool pending = false;  // `data` holds an entry not yet handed out
};

void close_directory(directory_stream* stream)
{
    if (stream != nullptr) {
        if (stream->find != INVALID_HANDLE_VALUE) {
            ::FindClose(stream->find);
        }
        delete stream;
    }
}

directory_handle open_directory(const native_string& path, std::error_code& error)
{
    native_string pattern = system_form(path, error);
    if (error) {
        return nullptr;
    }
    if (!pattern.empty() && !is_separator(pattern.back()) && !is_bare_drive(pattern)) {
        pattern.push_back(L'\\');
    }
    pattern.push_back(L'*');

    directory_handle stream(new directory_stream);
    stream->find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &stream->data,
                                      FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (stream->find == INVALID_HANDLE_VALUE) {
        const DWORD failure = ::GetLastError();
        // A directory with no entries at all (the root of an empty volume,
        // which has no "." or "..") matches nothing; a missing one must not
        // pass for empty.
        if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_NO_MORE_FILES) {
            std::error_code status_error;
            if (status(path, status_error) == entry_type::directory) {
                return stream;
            }
        }
        error = win32_error(failure);
        return nullptr;
    }
    stream->pending = true;
    return stream;
}

bool next_entry(directory_stream& stream, native_view& name, listed_type& type, bool& descend,
                std::error_code& error)
{
    error.clear();
    for (;;) {
        if (stream.find == INVALID_HANDLE_VALUE) {
            return false;
        }
        if (!stream.pending && !::FindNextFileW(stream.find, &stream.data)) {
            const DWORD failure = ::GetLastError();
            if (failure != ERROR_NO_MORE_FILES) {
                error = win32_error(failure);
            }
            return false;
        }
        stream.pending = false;
        const wchar_t* text = stream.data.cFileName;
        if (text[0] == L'.' && (text[1] == L'\0' || (text[1] == L'.' && text[2] == L'\0'))) {
            continue;
        }
        name = native_view(text);
        const DWORD attributes = stream.data.dwFileAttributes;
        // The same reading of the attributes as status() makes; a reparse
        // point of any kind leads elsewhere, so only a status query can say.
        if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
            type = listed_type::unknown;
        } else {
            type = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? listed_type::directory : listed_type::regular;
        }
        // Symbolic links, junctions and the other name surrogates are listed
        // but never walked into; directories behind other kinds of reparse
        // points (placeholders, for one) are walked. A reparse point of no
        // stated kind (Wine lists the Unix symbolic links it finds so) is
        // taken for a link: walking it could loop.
        const DWORD tag = stream.data.dwReserved0;
        const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                          (IsReparseTagNameSurrogate(tag) || tag == 0);
        descend = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link;
        return true;
    }
}

std::error_code create_directory(const native_string& path)
{
    std::error_code refused;
    const native_string form = system_form(path, refused);
    if (refused) {
        return refused;
    }
    if (::CreateDirectoryW(form.c_str(), nullptr)) {
        return {};
    }
    const std::error_code error = last_error();
    // Whatever the system answered (a drive's root gives access denied, not
    // already exists), a directory there is what was asked for, and anything
    // else there is in the way.
    std::error_code status_error;
    const entry_type type = status(path, status_error);
    if (type == entry_type::directory) {
        return {};
    }
    if (type != entry_type::none) {
        return win32_error(ERROR_ALREADY_EXISTS);
    }
    return error;
}

std::error_code move_entry(const native_string& from, const native_string& to)
{
    // Both in the form the system takes as it is, so that the copy below
    // works on the very same paths, and refused names never get that far.
    std::error_code error;
    const native_string source = system_form(from, error);
    if (error) {
        return error;
    }
    const native_string target = system_form(to, error);
    if (error) {
        return error;
    }
    // No replace flag: a target that appeared since the existence test stays.
    if (::MoveFileExW(source.c_str(), target.c_str(), 0)) {
        return {};
    }
    error = last_error();
    if (error.value() != ERROR_NOT_SAME_DEVICE) {
        return error;
    }
    // The system's own copy-allowed move reports success when it copied but
    // could not delete the source, leaving two files; this copy never does.
    return copy_then_remove(source, target);
}

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

void close_directory(directory* dir)
{
    if (dir != nullptr) {
        if (dir->held != INVALID_HANDLE_VALUE) {
            ::CloseHandle(dir->held);
        }
        delete dir;
    }
}

namespace {

native_string joined(const native_string& dir, native_view name)
{
    native_string path = dir;
    if (!path.empty() && !is_separator(path.back()) && !is_bare_drive(path)) {
        path += separator;
    }
    path += name;
    return path;
}

}  // namespace

directory_ref open_typed_directory(const native_string& path, directory_identity&, std::error_code& error)
{
    error.clear();
    return directory_ref(new directory{path});
}

directory_ref open_listed_directory(const directory& parent, native_view name, directory_identity& expected,
                                    bool check, std::error_code& error)
{
    directory_ref dir(new directory{joined(parent.path, name)});
    dir->held = ::CreateFileW(dir->path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (dir->held == INVALID_HANDLE_VALUE) {
        error = last_error();
        return nullptr;
    }
    // A junction or directory link in its place, or another directory, is
    // not entered. Other reparse points (cloud or deduplicated folders) are
    // directories like any other.
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const file_identity id = identity_of(dir->held);
    std::uint64_t node = 0;
    for (std::size_t at = 0; at < sizeof id.id.Identifier; at += sizeof node) {
        std::uint64_t part = 0;
        std::memcpy(&part, id.id.Identifier + at, sizeof part);
        node ^= part;
    }
    const directory_identity found{id.volume, node};
    if (!::GetFileInformationByHandleEx(dir->held, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(tag.ReparseTag)) ||
        !id.known || (check && found != expected)) {
        error = win32_error(ERROR_CANT_RESOLVE_FILENAME);
        return nullptr;
    }
    expected = found;
    error.clear();
    return dir;
}

directory_ref open_way_directory(const directory& parent, native_view name, bool create, bool&,
                                 directory_identity&, std::error_code& error)
{
    native_string path = joined(parent.path, name);
    if (create) {
        error = create_directory(path);
    } else if (status(path, error) != entry_type::directory && !error) {
        error = win32_error(ERROR_DIRECTORY);
    }
    return error ? nullptr : directory_ref(new directory{std::move(path)});
}

directory_handle list_directory(const directory& dir, std::error_code& error)
{
    return open_directory(dir.path, error);
}

entry_type status_in(const directory& dir, native_view name, std::error_code& error)
{
    return status(joined(dir.path, name), error);
}

std::error_code move_between(const directory& from, native_view from_name, const directory& to,
                             native_view to_name)
{
    return move_entry(joined(from.path, from_name), joined(to.path, to_name));
}

std::string error_text(std::error_code error)
{
    std::string text;
    if (error.category() == std::system_category()) {
        char* buffer = nullptr;
        const DWORD size = ::FormatMessageA(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, static_cast<DWORD>(error.value()), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
        if (size > 0 && buffer != nullptr) {
            text.assign(buffer, size);
        }
        if (buffer != nullptr) {
            ::LocalFree(buffer);
        }
    } else {
        text = error.message();
    }
    while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr) {
        text.pop_back();
    }
    // Some texts run over several lines; an error line is one line.
    std::string line;
    for (const char c : text) {
        if (c != '\r' && c != '\n') {
            line.push_back(c);
        } else if (!line.empty() && line.back() != ' ') {
            line.push_back(' ');
        }
    }
    return line.empty() ? std::string("unknown error") : line;
}

std::size_t match_stack_budget()
{
    // The whole reserved stack of this thread, as the system laid it out
    // (the link step asks for a large one).
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    ::GetCurrentThreadStackLimits(&low, &high);
    const std::size_t reserved = high > low ? high - low : std::size_t(1) << 20;
    // Leave a quarter for the program's own frames, the guard pages and the
    // system.
    return reserved / 4 * 3;
}

void prepare_console()
{
    // Text mode turns each '\n' into CR LF on the way out; the bytes are
    // otherwise written unchanged, with no console code page set.
    ::_setmode(::_fileno(stdout), _O_TEXT);
    ::_setmode(::_fileno(stderr), _O_TEXT);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    // An empty card reader or disc drive as start or target gives an error
    // line, not a dialog that holds the run until someone answers it.
    ::SetErrorMode(::SetErrorMode(SEM_FAILCRITICALERRORS) | SEM_FAILCRITICALERRORS);
}

}  // namespace tarn::platform
