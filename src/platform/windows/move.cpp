// Renaming and moving on Windows: never onto an existing name, and to
// another volume by a copy that survives a crash at any instant.

#include "platform/windows/system.h"

#include <cstring>
#include <vector>

namespace tarn::platform {

namespace {

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

}  // namespace

// Which file a handle has open: the volume and the 128-bit file id, or the
// 64-bit file index where the file system has no 128-bit ids.
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

namespace {

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

std::error_code move_between(const directory& from, native_view from_name, const directory& to,
                             native_view to_name)
{
    return move_entry(joined(from.path, from_name), joined(to.path, to_name));
}

}  // namespace tarn::platform
