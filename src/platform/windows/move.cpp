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

// Whether two identities are known and name the same file.
bool same_file(const file_identity& one, const file_identity& other)
{
    return one.known && other.known && one.volume == other.volume &&
           std::memcmp(one.id.Identifier, other.id.Identifier, sizeof one.id.Identifier) == 0;
}

// Whether the file a handle had open is still reachable under its name.
bool still_there(const directory& dir, native_view name, const file_identity& identity)
{
    std::error_code error;
    handle_owner reopened;
    reopened.handle = open_in(dir, name,
                              {FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               FILE_OPEN, FILE_OPEN_REPARSE_POINT},
                              error);
    if (reopened.handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    return same_file(identity_of(reopened.handle), identity);
}

// A name beside the target that marks the copy as ours and unfinished.
native_string temporary_name(unsigned attempt)
{
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    unsigned long long random = static_cast<unsigned long long>(counter.QuadPart) * 0x9E3779B97F4A7C15ull;
    random ^= (static_cast<unsigned long long>(::GetCurrentThreadId()) << 32) + attempt;
    wchar_t digits[17];
    for (int at = 15; at >= 0; --at, random >>= 4) {
        digits[at] = L"0123456789abcdef"[random & 15];
    }
    digits[16] = L'\0';
    return L".tarn-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + digits + L".part";
}

// One named stream of a file to the same stream of the copy, each opened
// relative to its file's own handle, and flushed as the main stream is
// before the copy takes its name.
std::error_code copy_stream(HANDLE from, HANDLE to, native_view stream)
{
    // Full sharing: the files' main handles, which hold them against anyone
    // else, are open already and must not stand in the way.
    const ULONG sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    std::error_code error;
    handle_owner source;
    source.handle = open_below(from, stream, {GENERIC_READ, sharing, FILE_OPEN, FILE_SEQUENTIAL_ONLY}, error);
    if (source.handle == INVALID_HANDLE_VALUE) {
        return error;
    }
    handle_owner target;
    target.handle = open_below(to, stream, {GENERIC_WRITE, sharing, FILE_CREATE, 0, FILE_ATTRIBUTE_NORMAL}, error);
    if (target.handle == INVALID_HANDLE_VALUE) {
        return error;
    }
    if (auto copy_error = copy_contents(source.handle, target.handle)) {
        return copy_error;
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
void remove_own(const directory& dir, native_view name)
{
    std::error_code error;
    handle_owner own;
    own.handle = open_in(dir, name,
                         {DELETE | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_NON_DIRECTORY_FILE},
                         error);
    if (own.handle != INVALID_HANDLE_VALUE) {
        FILE_BASIC_INFO normal{};
        normal.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(own.handle, FileBasicInfo, &normal, sizeof normal);
        set_delete_on_close(own.handle, true);
    }
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

// Errors by which a system or file system says it has no such call, not that
// the call failed.
bool is_unsupported(DWORD error)
{
    return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
           error == ERROR_CALL_NOT_IMPLEMENTED;
}

// Whether a directory's path still leads to the directory it holds.
bool path_leads_to(const directory& dir)
{
    native_string name;
    std::error_code error;
    handle_owner reopened;
    if (object_name(dir.path, name, error)) {
        reopened.handle = open_below(nullptr, name,
                                     {FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      FILE_OPEN, FILE_DIRECTORY_FILE},
                                     error);
    }
    if (reopened.handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    return same_file(identity_of(reopened.handle), identity_of(dir.held));
}

// Gives an open file a name in a directory through its own handle, never
// replacing anything: relative to the directory's handle where it is held,
// so that the name is looked up in that very directory. Where the file
// system takes no name relative to a handle (a share may not), the name goes
// by the directory's path, checked right before to lead to the held one.
std::error_code rename_into(HANDLE handle, const directory& to, native_view to_name)
{
    if (to.held != INVALID_HANDLE_VALUE) {
        const std::error_code error = rename_below(handle, to.held, to_name);
        if (!error || !is_unsupported(static_cast<DWORD>(error.value()))) {
            return error;
        }
        if (!path_leads_to(to)) {
            return win32_error(ERROR_CANT_RESOLVE_FILENAME);
        }
    }
    native_string name;
    std::error_code error;
    if (!object_name(joined(to.path, to_name), name, error)) {
        return error;
    }
    return rename_below(handle, nullptr, name);
}

// The same answer as a rename onto an existing name on one volume.
std::error_code rename_error(DWORD error)
{
    return win32_error(error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error);
}

// The source's access list, as a descriptor to give the copy as it is: the
// same entries, protected where the source's was, inheriting where it was.
// Left empty where the source's volume keeps no access lists (FAT, exFAT),
// whose files anyone who can reach the volume can read.
std::error_code source_security(HANDLE source, std::vector<unsigned char>& descriptor)
{
    DWORD flags = 0;
    if (::GetVolumeInformationByHandleW(source, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        (flags & FILE_PERSISTENT_ACLS) == 0) {
        return {};
    }
    DWORD size = 0;
    ::GetKernelObjectSecurity(source, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    descriptor.resize(size);
    if (size == 0 || !::GetKernelObjectSecurity(source, DACL_SECURITY_INFORMATION, descriptor.data(), size, &size)) {
        descriptor.clear();
        return last_error();
    }
    return {};
}

// A descriptor whose protected access list lets the user running the
// program alone in: what the copy has while it fills.
struct owner_only_security {
    std::vector<unsigned long long> list;  // the ACL, aligned
    SECURITY_DESCRIPTOR descriptor{};
};

bool make_owner_only(owner_only_security& security)
{
    const PSID user = running_user();
    if (user == nullptr) {
        return false;
    }
    const DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(user);
    security.list.resize(size / sizeof(unsigned long long) + 1);
    auto* list = reinterpret_cast<ACL*>(security.list.data());
    return ::InitializeAcl(list, size, ACL_REVISION) && ::AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, user) &&
           ::InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           ::SetSecurityDescriptorDacl(&security.descriptor, TRUE, list, FALSE) &&
           ::SetSecurityDescriptorControl(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

// Moves a regular file to another volume. The copy is written under a
// temporary name in the target directory, opened relative to its held
// handle, with an access list that lets only the user in, and held with no
// sharing while it fills: contents, named streams, times and attributes, the
// source's access list, then a flush. Then it takes the real name through its
// still open handle without replacing anything, and only after that is the
// source deleted, through its own handle. A crash at any point leaves the
// source whole, with at most a complete copy under the real name or a
// temporary file beside it; any failure leaves the source as it was and,
// through the copy's handle marked for deletion, no copy.
std::error_code copy_then_remove(const directory& from, native_view from_name, const directory& to,
                                 native_view to_name)
{
    // Asked before opening: a directory cannot be opened as a file at all, and
    // the failure would read "access denied" rather than "another drive".
    std::error_code error;
    FILE_ATTRIBUTE_TAG_INFO asked{};
    {
        handle_owner probe;
        probe.handle = open_in(from, from_name,
                               {FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                FILE_OPEN, FILE_OPEN_REPARSE_POINT},
                               error);
        if (probe.handle == INVALID_HANDLE_VALUE) {
            return error;
        }
        if (!attribute_tag(probe.handle, asked)) {
            return last_error();
        }
    }
    const DWORD attributes = asked.FileAttributes;
    const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const DWORD tag = reparse ? asked.ReparseTag : 0;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || (reparse && copy_refuses_reparse_tag(tag))) {
        return win32_error(ERROR_NOT_SAME_DEVICE);
    }
    // Any other reparse point (a cloud file, a deduplicated or compressed
    // one) is opened through its file-system filter, which supplies the data.
    handle_owner source;
    source.handle = open_in(from, from_name,
                            {source_access(attributes), FILE_SHARE_READ, FILE_OPEN,
                             (reparse ? 0u : ULONG(FILE_OPEN_REPARSE_POINT)) | FILE_SEQUENTIAL_ONLY},
                            error);
    if (source.handle == INVALID_HANDLE_VALUE) {
        return error;
    }
    FILE_BASIC_INFO info{};
    FILE_ATTRIBUTE_TAG_INFO opened{};
    change_mark before{};
    if (!::GetFileInformationByHandleEx(source.handle, FileBasicInfo, &info, sizeof info) ||
        !attribute_tag(source.handle, opened) || !read_change_mark(source.handle, before)) {
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
    if (auto streams_error = named_streams(source.handle, streams)) {
        return streams_error;
    }
    // The copy is never readable by more than the source was: owner-only
    // until it has the source's own access list.
    std::vector<unsigned char> security;
    if (auto security_error = source_security(source.handle, security)) {
        return security_error;
    }
    owner_only_security owner_only;
    if (!security.empty() && !make_owner_only(owner_only)) {
        return last_error();
    }

    native_string temporary;
    handle_owner target;
    for (unsigned attempt = 0; target.handle == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = temporary_name(attempt);
        target.handle = open_in(to, temporary,
                                {GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC, 0, FILE_CREATE,
                                 FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, FILE_ATTRIBUTE_NORMAL,
                                 security.empty() ? nullptr : &owner_only.descriptor},
                                error);
        if (target.handle == INVALID_HANDLE_VALUE &&
            ((error.value() != ERROR_FILE_EXISTS && error.value() != ERROR_ALREADY_EXISTS) || attempt == 8)) {
            return error;
        }
    }
    // Where the copy stands under a name of ours (the temporary one, or the
    // real one once claimed) it goes through its own handle, which no other
    // program can have taken from us.
    native_view placed = temporary;
    auto fail = [&](std::error_code failure) {
        if (target.handle == INVALID_HANDLE_VALUE || !set_delete_on_close(target.handle, true)) {
            ::CloseHandle(target.handle);
            target.handle = INVALID_HANDLE_VALUE;
            remove_own(to, placed);
        }
        return failure;
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
    // and with them a downloaded file's mark of where it came from; one
    // without access lists keeps none.
    DWORD volume_flags = 0;
    if (!::GetVolumeInformationByHandleW(target.handle, nullptr, 0, nullptr, nullptr, &volume_flags, nullptr, 0)) {
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
    if (auto copy_error = sparse ? copy_allocated_ranges(source.handle, target.handle, before.size)
                                 : copy_contents(source.handle, target.handle)) {
        return fail(copy_error);
    }
    if (!streams.empty() && !set_delete_on_close(target.handle, false)) {
        return fail(last_error());
    }
    for (const native_string& stream : streams) {
        if (auto stream_error = copy_stream(source.handle, target.handle, stream)) {
            return fail(stream_error);
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
    // The source's access list, set as it is: what a rename on one volume
    // would have left the file with.
    if (!security.empty() && (volume_flags & FILE_PERSISTENT_ACLS) != 0 &&
        !::SetKernelObjectSecurity(target.handle, DACL_SECURITY_INFORMATION, security.data())) {
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
    const std::error_code claim_error = rename_into(target.handle, to, to_name);
    if (!claim_error) {
        placed = to_name;
        if (!::FlushFileBuffers(target.handle)) {  // the new name on disk before the source goes
            return fail(last_error());
        }
    } else if (!is_unsupported(static_cast<DWORD>(claim_error.value()))) {
        return fail(rename_error(static_cast<DWORD>(claim_error.value())));
    } else {
        const bool closed = ::CloseHandle(target.handle) != FALSE;
        target.handle = INVALID_HANDLE_VALUE;
        if (!closed) {
            return fail(last_error());
        }
        native_string old_path;
        native_string new_path;
        if (!object_name(joined(to.path, temporary), old_path, error) ||
            !object_name(joined(to.path, to_name), new_path, error)) {
            remove_own(to, temporary);
            return error;
        }
        // "\\??\\" is the same as "\\\\?\\" to the file interfaces.
        old_path[1] = new_path[1] = L'\\';
        if (!::MoveFileExW(old_path.c_str(), new_path.c_str(), MOVEFILE_WRITE_THROUGH)) {
            const DWORD moved = ::GetLastError();
            remove_own(to, temporary);
            return rename_error(moved);
        }
        placed = to_name;
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
    FILE_BASIC_INFO restored{};
    restored.FileAttributes = copied.FileAttributes;
    if (!set_delete_on_close(source.handle, true)) {
        const std::error_code delete_error = last_error();
        if (read_only) {
            ::SetFileInformationByHandle(source.handle, FileBasicInfo, &restored, sizeof restored);
        }
        return fail(delete_error);
    }

    // The source goes when its handle closes. Where the system could not
    // delete it after all, the same file is still there under its name: then
    // the copy goes instead, and the move has failed with nothing changed.
    ::CloseHandle(source.handle);
    source.handle = INVALID_HANDLE_VALUE;
    if (still_there(from, from_name, identity)) {
        if (read_only) {
            handle_owner kept;
            kept.handle = open_in(from, from_name,
                                  {FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   FILE_OPEN, FILE_OPEN_REPARSE_POINT},
                                  error);
            if (kept.handle != INVALID_HANDLE_VALUE) {
                ::SetFileInformationByHandle(kept.handle, FileBasicInfo, &restored, sizeof restored);
            }
        }
        return fail(win32_error(ERROR_ACCESS_DENIED));
    }
    return {};
}

}  // namespace

std::error_code move_between(const directory& from, native_view from_name, const directory& to,
                             native_view to_name)
{
    if (to_name.empty()) {
        // The empty text names no entry; the system's move refuses it as a
        // path it cannot find, where a rename relative to the held directory
        // would name the directory itself.
        return win32_error(ERROR_PATH_NOT_FOUND);
    }
    // The entry itself, a link not followed, opened relative to the directory
    // it was listed in, and renamed through its handle into the directory the
    // new name's way holds: no name is looked up through path text again.
    std::error_code error;
    {
        handle_owner source;
        source.handle = open_in(from, from_name,
                                {DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT},
                                error);
        if (source.handle == INVALID_HANDLE_VALUE) {
            return error;
        }
        // No replacing: a target that appeared since the existence test stays.
        error = rename_into(source.handle, to, to_name);
        if (error.value() != ERROR_NOT_SAME_DEVICE) {
            return error ? rename_error(static_cast<DWORD>(error.value())) : error;
        }
    }
    // The system's own copy-allowed move reports success when it copied but
    // could not delete the source, leaving two files; this copy never does.
    return copy_then_remove(from, from_name, to, to_name);
}

}  // namespace tarn::platform
