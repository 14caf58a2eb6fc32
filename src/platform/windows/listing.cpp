// Listing directories, holding the walk's directories, and asking what an
// entry is, on Windows.

#include "platform/windows/system.h"

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
    if (!id.known || !::GetFileInformationByHandleEx(dir->held, FileAttributeTagInfo, &tag, sizeof tag)) {
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

}  // namespace tarn::platform
