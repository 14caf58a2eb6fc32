// Names between the system's wide form and the narrow text of the ANSI code
// page, exactly or not at all.

#include "platform/windows/system.h"

namespace tarn::platform {

namespace {

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


}  // namespace

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

}  // namespace tarn::platform
