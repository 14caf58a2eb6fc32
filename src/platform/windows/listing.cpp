// Listing directories, holding the walk's directories, and asking what an
// entry is, on Windows.

#include "platform/windows/system.h"

#include <sddl.h>

#include <algorithm>

namespace tarn::platform {

namespace {

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


}  // namespace

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

bool is_already_exists(std::error_code error)
{
    return error.category() == std::system_category() &&
           (error.value() == ERROR_ALREADY_EXISTS || error.value() == ERROR_FILE_EXISTS);
}

bool move_tells_taken_names()
{
    return false;
}

bool is_name_too_long(std::error_code error)
{
    return error.category() == std::system_category() && error.value() == ERROR_FILENAME_EXCED_RANGE;
}

// A directory being listed through a handle of its own, opened relative to
// the held one: the names come from the directory that was opened, whatever
// its path leads to meanwhile.
struct directory_stream {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::vector<unsigned long long> buffer = std::vector<unsigned long long>(8192);  // 64 KiB, aligned
    std::size_t next = 0;  // offset of the next record in the buffer
    bool filled = false;   // the buffer holds records not yet handed out
};

void close_directory(directory_stream* stream)
{
    if (stream != nullptr) {
        if (stream->handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(stream->handle);
        }
        delete stream;
    }
}

bool next_entry(directory_stream& stream, native_view& name, listed_type& type, bool& descend,
                std::error_code& error)
{
    error.clear();
    for (;;) {
        if (!stream.filled) {
            if (stream.handle == INVALID_HANDLE_VALUE ||
                !::GetFileInformationByHandleEx(stream.handle, FileIdBothDirectoryInfo, stream.buffer.data(),
                                                static_cast<DWORD>(stream.buffer.size() * sizeof stream.buffer[0]))) {
                const DWORD failure = stream.handle == INVALID_HANDLE_VALUE ? ERROR_NO_MORE_FILES : ::GetLastError();
                // A directory with no entries at all (the root of an empty
                // volume, which has no "." or "..") has none to give.
                if (failure != ERROR_NO_MORE_FILES && failure != ERROR_FILE_NOT_FOUND) {
                    error = win32_error(failure);
                }
                return false;
            }
            stream.filled = true;
            stream.next = 0;
        }
        const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(
            reinterpret_cast<const char*>(stream.buffer.data()) + stream.next);
        if (record->NextEntryOffset == 0) {
            stream.filled = false;
        } else {
            stream.next += record->NextEntryOffset;
        }
        name = native_view(record->FileName, record->FileNameLength / sizeof(wchar_t));
        if (name == L"." || name == L"..") {
            continue;
        }
        const DWORD attributes = record->FileAttributes;
        // The same reading of the attributes as status() makes; a reparse
        // point of any kind leads elsewhere, so only a status query can say.
        if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
            type = listed_type::unknown;
        } else {
            type = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? listed_type::directory : listed_type::regular;
        }
        // Symbolic links, junctions and the other name surrogates are listed
        // but never walked into; directories behind other kinds of reparse
        // points (placeholders, for one) are walked. For a reparse point the
        // record's extended-attribute size holds its tag.
        descend = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !is_link(attributes, record->EaSize);
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


void close_directory(directory* dir)
{
    if (dir != nullptr) {
        if (dir->held != INVALID_HANDLE_VALUE) {
            ::CloseHandle(dir->held);
        }
        delete dir;
    }
}

native_string joined(const native_string& dir, native_view name)
{
    native_string path = dir;
    if (!path.empty() && !is_separator(path.back()) && !is_bare_drive(path)) {
        path += separator;
    }
    path += name;
    return path;
}

namespace {

// The two calls of the system's native layer that the file interfaces have
// no equivalent of: opening a name relative to a handle, and the Win32 error
// for its status. Both are in ntdll, which every process has loaded.
using create_call = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                      ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using error_call = ULONG(NTAPI*)(NTSTATUS);
using set_call = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

struct native_calls {
    create_call create = nullptr;
    error_call error_of = nullptr;
    set_call set = nullptr;
};

const native_calls& native()
{
    static const native_calls calls = [] {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        native_calls found;
        if (ntdll != nullptr) {
            found.create = reinterpret_cast<create_call>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtCreateFile")));
            found.error_of =
                reinterpret_cast<error_call>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
            found.set =
                reinterpret_cast<set_call>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtSetInformationFile")));
        }
        return found;
    }();
    return calls;
}

}  // namespace

HANDLE open_below(HANDLE root, native_view name, const open_request& request, std::error_code& error, bool* created)
{
    const native_calls& calls = native();
    if (calls.create == nullptr || calls.error_of == nullptr) {
        error = win32_error(ERROR_CALL_NOT_IMPLEMENTED);
        return INVALID_HANDLE_VALUE;
    }
    if (name.size() > 0x7FFF) {
        error = win32_error(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING text{};
    text.Buffer = const_cast<wchar_t*>(name.data());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES object{};
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, root, request.security);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        calls.create(&handle, request.access | SYNCHRONIZE, &object, &io, nullptr, request.attributes, request.share,
                     request.disposition, request.options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) {
        error = win32_error(calls.error_of(status));
        return INVALID_HANDLE_VALUE;
    }
    error.clear();
    if (created != nullptr) {
        *created = io.Information == FILE_CREATED;
    }
    return handle;
}

std::error_code rename_below(HANDLE handle, HANDLE root, native_view name)
{
    const native_calls& calls = native();
    if (calls.set == nullptr || calls.error_of == nullptr) {
        return win32_error(ERROR_CALL_NOT_IMPLEMENTED);
    }
    const std::size_t bytes = name.size() * sizeof(wchar_t);
    std::vector<unsigned long long> buffer((sizeof(FILE_RENAME_INFO) + bytes) / sizeof(unsigned long long) + 1);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = root;
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(info->FileName, name.data(), bytes);
    IO_STATUS_BLOCK io{};
    constexpr auto rename_information = static_cast<FILE_INFORMATION_CLASS>(10);  // FileRenameInformation
    const NTSTATUS status = calls.set(handle, &io, info, static_cast<ULONG>(buffer.size() * sizeof buffer[0]),
                                      rename_information);
    return status < 0 ? win32_error(calls.error_of(status)) : std::error_code();
}

HANDLE open_in(const directory& dir, native_view name, const open_request& request, std::error_code& error)
{
    if (dir.held != INVALID_HANDLE_VALUE) {
        return open_below(dir.held, name, request, error);
    }
    native_string absolute;
    if (!object_name(joined(dir.path, name), absolute, error)) {
        return INVALID_HANDLE_VALUE;
    }
    return open_below(nullptr, absolute, request, error);
}

bool attribute_tag(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO& info)
{
    return ::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) != FALSE;
}

namespace {

std::wstring sid_text(PSID sid)
{
    LPWSTR text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) {
        return {};
    }
    std::wstring result(text);
    ::LocalFree(text);
    return result;
}

// Where a `..` typed after a directory leads when the way did not pass
// through the directory above it: the typed text read as the system reads
// it, or, for a path in the exact form (which the system takes as it is),
// the text without its last name.
native_string parent_text(const native_string& path)
{
    if (!has_verbatim_prefix(path)) {
        return joined(path, L"..");
    }
    const std::size_t root = creation_root_length(path);
    std::size_t end = path.size();
    while (end > root && is_separator(path[end - 1])) {
        --end;
    }
    while (end > root && !is_separator(path[end - 1])) {
        --end;
    }
    return path.substr(0, std::max(end, root));
}

}  // namespace

const std::wstring& running_user_text()
{
    static const std::wstring text = sid_text(running_user());
    return text;
}

PSID running_user()
{
    static const std::vector<unsigned char> user = [] {
        std::vector<unsigned char> buffer;
        handle_owner token;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token.handle)) {
            token.handle = INVALID_HANDLE_VALUE;
            return buffer;
        }
        DWORD size = 0;
        ::GetTokenInformation(token.handle, TokenUser, nullptr, 0, &size);
        buffer.resize(size);
        if (size == 0 || !::GetTokenInformation(token.handle, TokenUser, buffer.data(), size, &size)) {
            buffer.clear();
        }
        return buffer;
    }();
    return user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

namespace {

// The owner of what a handle (opened with READ_CONTROL) has open, as SID
// text; empty where it cannot be read.
std::wstring owner_of(HANDLE handle)
{
    DWORD size = 0;
    ::GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<unsigned char> descriptor(size);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (size == 0 ||
        !::GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, descriptor.data(), size, &size) ||
        !::GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted)) {
        return {};
    }
    return sid_text(owner);
}

// The identity the walk compares: the volume and the file id folded to 64 bits.
bool identity_key(HANDLE handle, directory_identity& key)
{
    const file_identity id = identity_of(handle);
    std::uint64_t node = 0;
    for (std::size_t at = 0; at < sizeof id.id.Identifier; at += sizeof node) {
        std::uint64_t part = 0;
        std::memcpy(&part, id.id.Identifier + at, sizeof part);
        node ^= part;
    }
    key = {id.volume, node};
    return id.known;
}

// The access a held directory is opened with: enough to ask about it and to
// open names relative to it. Sharing leaves out deletion, so that nobody
// renames it or puts a link in its place while it is held.
constexpr ACCESS_MASK held_access = FILE_READ_ATTRIBUTES;
constexpr ULONG held_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// A second record of a directory: the same directory opened again through
// its handle (whatever it is called now), with the same way back. The
// records a way keeps only for a `..` typed later share deletion, so that
// they never stand in the way of a rename of the directories above a new
// name; the one a `..` or `.` leads to is held like any other.
directory_ref copy_of(const directory& dir, ULONG sharing, std::error_code& error)
{
    directory_ref copy(new directory{dir.path, INVALID_HANDLE_VALUE, dir.up});
    if (dir.held != INVALID_HANDLE_VALUE) {
        copy->held = open_below(dir.held, L"", {held_access, sharing, FILE_OPEN, FILE_DIRECTORY_FILE}, error);
        if (copy->held == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
    }
    error.clear();
    return copy;
}

// Holds a directory a path names, links followed (the path is the user's
// own text); a record with no handle where it cannot be opened so (a
// server's name alone), which then reaches its names by path.
directory_ref hold_typed(const native_string& path, directory_identity* identity)
{
    directory_ref dir(new directory{path, INVALID_HANDLE_VALUE, nullptr});
    std::error_code refused;
    const native_string form = path.empty() ? native_string(L".") : system_form(path, refused);
    if (refused) {
        return dir;
    }
    dir->held = ::CreateFileW(form.c_str(), held_access, held_sharing, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (dir->held != INVALID_HANDLE_VALUE &&
        (!attribute_tag(dir->held, info) || (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)) {
        ::CloseHandle(dir->held);
        dir->held = INVALID_HANDLE_VALUE;
    }
    if (dir->held != INVALID_HANDLE_VALUE && identity != nullptr) {
        identity_key(dir->held, *identity);
    }
    return dir;
}

}  // namespace

directory_ref open_typed_directory(const native_string& path, directory_identity& identity, std::error_code& error)
{
    error.clear();
    return hold_typed(path, &identity);
}

directory_ref open_listed_directory(const directory& parent, native_view name, directory_identity& expected,
                                    bool check, std::error_code& error)
{
    directory_ref dir(new directory{joined(parent.path, name), INVALID_HANDLE_VALUE, nullptr});
    dir->held = open_in(parent, name, {held_access, held_sharing, FILE_OPEN, FILE_OPEN_REPARSE_POINT}, error);
    if (dir->held == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    // A junction or directory link in its place, or another directory, is
    // not entered. Other reparse points (cloud or deduplicated folders) are
    // directories like any other.
    FILE_ATTRIBUTE_TAG_INFO tag{};
    directory_identity found;
    if (!attribute_tag(dir->held, tag) || !identity_key(dir->held, found)) {
        error = last_error();  // a failed query says nothing of what stands there
        return nullptr;
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(tag.ReparseTag)) ||
        (check && found != expected)) {
        error = win32_error(ERROR_CANT_RESOLVE_FILENAME);
        return nullptr;
    }
    expected = found;
    error.clear();
    return dir;
}

directory_ref open_way_directory(const directory& parent, native_view name, bool create, bool& created,
                                 directory_identity& made, std::error_code& error)
{
    created = false;
    switch (way_step_of(name)) {
    case way_step::stay:
        return copy_of(parent, held_sharing, error);
    case way_step::back:
        // A `..` the user typed goes back the way the name came, as the
        // system reads such a path; where this directory was the first one
        // held, it is the typed text's own.
        if (parent.up) {
            return copy_of(*parent.up, held_sharing, error);
        }
        {
            directory_ref dir = hold_typed(parent_text(parent.path), nullptr);
            error = dir->held == INVALID_HANDLE_VALUE ? win32_error(ERROR_PATH_NOT_FOUND) : std::error_code();
            return error ? nullptr : std::move(dir);
        }
    case way_step::name:
        break;
    }
    directory_ref dir(new directory{joined(parent.path, name), INVALID_HANDLE_VALUE, nullptr});
    // The entry itself, a link not followed: made here when missing, and held
    // while it is looked at, so that nobody swaps it meanwhile.
    handle_owner itself;
    if (parent.held != INVALID_HANDLE_VALUE) {
        itself.handle = open_below(parent.held, name,
                                   {held_access, held_sharing, create ? ULONG(FILE_OPEN_IF) : ULONG(FILE_OPEN),
                                    FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT},
                                   error, &created);
    } else {
        // No handle to create it relative to: made by its path, then opened.
        if (create && (error = create_directory(dir->path))) {
            return nullptr;
        }
        itself.handle = open_in(parent, name, {held_access, held_sharing, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT},
                                error);
    }
    if (itself.handle == INVALID_HANDLE_VALUE) {
        // A file or a link to a file in the way.
        if (create && error.value() == ERROR_DIRECTORY) {
            error = win32_error(ERROR_ALREADY_EXISTS);
        }
        return nullptr;
    }
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!attribute_tag(itself.handle, info)) {
        error = last_error();
        return nullptr;
    }
    if (is_link(info.FileAttributes, info.ReparseTag)) {
        // Followed only when its owner is someone who could have written
        // there anyway; the link itself stays held while it is followed, so
        // that it cannot be swapped for another between the two opens.
        handle_owner security;
        security.handle = open_in(parent, name,
                                  {READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_OPEN_REPARSE_POINT},
                                  error);
        const std::wstring owner = security.handle != INVALID_HANDLE_VALUE ? owner_of(security.handle) : L"";
        if (!follows_link_of(kind_of_owner(owner, running_user_text()))) {
            // Refused where the directory is to be made; where the way is
            // only looked at (is the new name free?), what lies behind it
            // counts as absent, so that the entry reaches its creation step
            // and fails there, and the run goes on.
            error = win32_error(create ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
            return nullptr;
        }
        dir->held = open_in(parent, name, {held_access, held_sharing, FILE_OPEN, FILE_DIRECTORY_FILE}, error);
        if (dir->held == INVALID_HANDLE_VALUE) {
            if (create && error.value() == ERROR_DIRECTORY) {
                error = win32_error(ERROR_ALREADY_EXISTS);
            }
            return nullptr;
        }
    } else {
        dir->held = itself.handle;
        itself.handle = INVALID_HANDLE_VALUE;
    }
    if (created) {
        identity_key(dir->held, made);
    }
    dir->up = copy_of(parent, held_sharing | FILE_SHARE_DELETE, error);
    if (error) {
        return nullptr;
    }
    return dir;
}

directory_handle list_directory(const directory& dir, std::error_code& error)
{
    directory_handle stream(new directory_stream);
    // The directory itself, opened again (an empty name) for listing.
    stream->handle = open_in(dir, L"",
                             {FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                              FILE_DIRECTORY_FILE},
                             error);
    return error ? nullptr : std::move(stream);
}

entry_type status_in(const directory& dir, native_view name, std::error_code& error)
{
    // By path where there is no handle, and for "." and "..", which name no
    // entry of their own and are read as the system reads a path.
    if (dir.held == INVALID_HANDLE_VALUE || way_step_of(name) != way_step::name) {
        return status(joined(dir.path, name), error);
    }
    const ULONG sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    auto failed = [&error]() {
        if (is_unreachable(error)) {
            error.clear();
            return entry_type::other;
        }
        return entry_type::none;
    };
    handle_owner itself;
    itself.handle = open_below(dir.held, name, {FILE_READ_ATTRIBUTES, sharing, FILE_OPEN, FILE_OPEN_REPARSE_POINT},
                               error);
    if (itself.handle == INVALID_HANDLE_VALUE) {
        // The paging and hibernation files refuse even this; the directory
        // listing, asked by path, still tells what they are.
        return error.value() == ERROR_SHARING_VIOLATION ? status(joined(dir.path, name), error) : failed();
    }
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!attribute_tag(itself.handle, info)) {
        error = last_error();
        return failed();
    }
    DWORD attributes = info.FileAttributes;
    // A socket or an execution alias looks like a file but is none; only
    // links and junctions lead elsewhere, and asking any other reparse point
    // (a cloud placeholder) for its target could fetch it from the network.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && is_special_reparse_tag(info.ReparseTag)) {
        return entry_type::other;
    }
    if (is_link(attributes, info.ReparseTag)) {
        handle_owner followed;
        followed.handle = open_below(dir.held, name, {FILE_READ_ATTRIBUTES, sharing, FILE_OPEN, 0}, error);
        if (followed.handle == INVALID_HANDLE_VALUE) {
            return failed();
        }
        if (!attribute_tag(followed.handle, info)) {
            error = last_error();
            return failed();
        }
        attributes = info.FileAttributes;
    }
    error.clear();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return entry_type::directory;
    }
    return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? entry_type::other : entry_type::regular;
}

}  // namespace tarn::platform
