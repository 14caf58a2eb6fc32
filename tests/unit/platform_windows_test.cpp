// The Windows platform layer's own rules: the parts of a path that are never
// created, the exact code-page conversion and the error texts.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <utility>

namespace {

namespace platform = tarn::platform;

TEST(WindowsPaths, CreationRootAndBareDrive)
{
    const struct {
        const wchar_t* path;
        const wchar_t* never_created;
    } cases[] = {
        {L"x\\y", L""},
        {L"D:\\x\\y", L"D:\\"},
        {L"D:x\\y", L"D:"},
        {L"D:/x", L"D:/"},
        {L"\\x\\y", L"\\"},
        {L"\\\\server\\share\\x", L"\\\\server\\"},
        {L"\\\\server", L"\\\\server"},
        {L"\\\\?\\D:\\x\\y", L"\\\\?\\D:\\"},
        {L"\\\\?\\D:", L"\\\\?\\D:"},
        {L"\\\\.\\D:\\x", L"\\\\.\\D:\\"},
        {L"\\??\\D:\\x", L"\\??\\D:\\"},
        {L"\\\\?\\Volume{1}\\x", L"\\\\?\\"},
    };
    for (const auto& c : cases) {
        const platform::native_view path(c.path);
        EXPECT_EQ(path.substr(0, platform::creation_root_length(path)), c.never_created)
            << platform::display_text(path);
    }

    for (const auto& [path, bare] : {std::pair{L"D:", true}, {L"z:", true}, {L"D:\\", false},
                                     {L"D:x", false}, {L"1:", false}}) {
        EXPECT_EQ(platform::is_bare_drive(path), bare) << platform::display_text(path);
    }
    EXPECT_TRUE(platform::is_separator(L'\\') && platform::is_separator(L'/'));
    EXPECT_FALSE(platform::is_separator(L':'));
}

// Whatever the code page, a name converts exactly or not at all.
TEST(WindowsNames, ConversionIsExactOrAnError)
{
    const UINT code_page = AreFileApisANSI() ? GetACP() : GetOEMCP();
    std::error_code error;
    for (const wchar_t* name : {L"plain name.txt", L""}) {
        EXPECT_EQ(platform::native_text(platform::narrow_text(name, error), error), name);
        EXPECT_FALSE(error);
    }
    EXPECT_EQ(platform::narrow_text(L"plain name.txt", error), "plain name.txt");

    // A lone surrogate has no narrow form anywhere; a best-fit or default
    // character in its place would name another file.
    EXPECT_EQ(platform::narrow_text(std::wstring(L"a\xD800" L"b"), error), "");
    EXPECT_EQ(error.value(), ERROR_NO_UNICODE_TRANSLATION);

    // Every name that does convert comes back as itself.
    const wchar_t* names[] = {L"caf\x00E9", L"\x65E5\x672C", L"\x0100", L"\x221E", L"\x0410\x0431"};
    for (const wchar_t* name : names) {
        const std::string narrow = platform::narrow_text(name, error);
        if (error) {
            EXPECT_EQ(error.value(), ERROR_NO_UNICODE_TRANSLATION);
            EXPECT_EQ(narrow, "");
            continue;
        }
        EXPECT_EQ(platform::native_text(narrow, error), name);
        EXPECT_FALSE(error);
    }

    if (code_page == 1252) {
        // Best fit would give "A" for A with a macron and "8" for infinity.
        EXPECT_EQ(platform::narrow_text(L"\x0100", error), "");
        EXPECT_EQ(error.value(), ERROR_NO_UNICODE_TRANSLATION);
        EXPECT_EQ(platform::narrow_text(L"caf\x00E9", error), "caf\xE9");
        EXPECT_FALSE(error);
    }
    if (code_page == 932) {
        // Two bytes per Japanese character; a lead byte without its trail is
        // invalid narrow text.
        EXPECT_EQ(platform::narrow_text(L"\x65E5", error), "\x93\xFA");
        EXPECT_FALSE(error);
        EXPECT_EQ(platform::native_text("a\x93", error), L"");
        EXPECT_EQ(error.value(), ERROR_NO_UNICODE_TRANSLATION);
    }
}

TEST(WindowsErrors, SystemTextsWithoutTrailingLineEnd)
{
    const std::string text = platform::error_text(std::error_code(ERROR_ALREADY_EXISTS, std::system_category()));
    ASSERT_NE(text, "unknown error");
    EXPECT_EQ(std::string(" \t\r\n").find(text.back()), std::string::npos) << text;
    EXPECT_EQ(platform::error_text(std::error_code(0x7FFF1234, std::system_category())), "unknown error");
}

}  // namespace
