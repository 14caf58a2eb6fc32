// The decisions of the Windows layer that depend on no system call.

#include "platform/windows/system.h"

namespace tarn::platform {

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

bool is_link(unsigned long attributes, unsigned long tag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

owner_kind kind_of_owner(std::wstring_view owner, std::wstring_view user)
{
    if (owner.empty()) {
        return owner_kind::other;
    }
    if (owner == user) {
        return owner_kind::self;
    }
    if (owner == L"S-1-5-32-544") {
        return owner_kind::administrators;
    }
    if (owner == L"S-1-5-18") {
        return owner_kind::system;
    }
    if (owner == L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464") {
        return owner_kind::trusted_installer;
    }
    return owner_kind::other;
}

bool follows_link_of(owner_kind owner)
{
    return owner != owner_kind::other;
}

way_step way_step_of(native_view element)
{
    return element == L"." ? way_step::stay : element == L".." ? way_step::back : way_step::name;
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

}  // namespace tarn::platform
