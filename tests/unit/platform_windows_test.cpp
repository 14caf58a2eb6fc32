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
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        // path, the part of it never created
        {L"x\\y", L""}, {L"D:\\x\\y", L"D:\\"}, {L"D:x\\y", L"D:"}, {L"D:/x", L"D:/"}, {L"\\x\\y", L"\\"},
        {L"\\\\server\\share\\x", L"\\\\server\\"}, {L"\\\\server", L"\\\\server"},
        {L"\\\\?\\D:\\x\\y", L"\\\\?\\D:\\"}, {L"\\\\?\\D:", L"\\\\?\\D:"}, {L"\\\\.\\D:\\x", L"\\\\.\\D:\\"},
        {L"\\??\\D:\\x", L"\\??\\D:\\"}, {L"\\\\?\\Volume{1}\\x", L"\\\\?\\"},
    };
    for (const auto& [text, never_created] : cases) {
        const platform::native_view path(text);
        EXPECT_EQ(path.substr(0, platform::creation_root_length(path)), never_created)
            << platform::display_text(path);
    }

    for (const auto& [path, bare] : {std::pair{L"D:", true}, {L"z:", true}, {L"D:\\", false},
                                     {L"D:x", false}, {L"1:", false}}) {
        EXPECT_EQ(platform::is_bare_drive(path), bare) << platform::display_text(path);
    }
}

// A listed path reaches exactly its entry: the typed part is resolved as the
// system resolves it, every name is kept, and the result is in long form.
TEST(WindowsPaths, ListedPathLongForm)
{
    wchar_t buffer[4096];
    const std::wstring cwd(buffer, GetCurrentDirectoryW(4096, buffer));
    ASSERT_EQ(cwd.substr(1, 2), L":\\") << "the test expects a current directory on a drive";
    const std::wstring here = L"\\\\?\\" + (cwd.back() == L'\\' ? cwd.substr(0, cwd.size() - 1) : cwd);
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L".", here}, {L"a\\.\\..\\b/c \\CON", here + L"\\b\\c \\CON"},
        {L"\\x\\..\\y.", L"\\\\?\\" + cwd.substr(0, 2) + L"\\y."},
        {L"D:\\x\\..\\..\\y", L"\\\\?\\D:\\y"}, {L"D:/..", L"\\\\?\\D:\\"},
        {L"\\\\server\\share\\a\\..\\..\\b.", L"\\\\?\\UNC\\server\\share\\b."},
        {L"//server/share", L"\\\\?\\UNC\\server\\share\\"}, {L"\\\\.\\D:\\a\\.\\b ", L"\\\\?\\D:\\a\\b "},
        {L"\\\\?\\D:\\a\\..\\b.", L"\\\\?\\D:\\a\\..\\b."},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(platform::listed_path(path), expected) << platform::display_text(path);
    }
}

// New names that would address a data stream or a device are refused.
TEST(WindowsPaths, StreamAndDeviceNamesRefused)
{
    for (const wchar_t* name : {L"b.txt", L"sub\\b.txt", L"a:b", L"\\\\?\\D:\\x", L"D:\\x\\", L"CONSOLE",
                                L"COM0", L"LPT10", L"xNUL", L"\\\\?\\D:\\CON", L"\\\\server\\share\\x"}) {
        EXPECT_FALSE(platform::check_new_name(name)) << platform::display_text(name);
    }
    for (const wchar_t* name : {L"ab:c", L"x\\a:b\\c.txt", L"D:\\f.txt:s", L"\\\\?\\D:\\x:y", L"CON", L"con.txt",
                                L"NUL ", L"sub\\AUX\\x.txt", L"COM1", L"lpt9.tar.gz", L"COM\x00B9 .txt",
                                L"\\\\server\\share\\a:b"}) {
        const std::error_code error = platform::check_new_name(name);
        EXPECT_EQ(error.value(), ERROR_INVALID_NAME) << platform::display_text(name);
        EXPECT_TRUE(platform::is_not_found(error));
    }
    EXPECT_TRUE(platform::is_not_found(platform::not_a_directory_error()));  // a path through a file
    EXPECT_FALSE(platform::is_not_found(std::error_code(ERROR_ACCESS_DENIED, std::system_category())));
}

// Whatever the code page, a name converts exactly or not at all: a best-fit
// or default character in its place would name another file. Code page 1252
// would best-fit A with a macron to "A" and infinity to "8"; a lone surrogate
// has no narrow form in any code page.
TEST(WindowsNames, ConversionIsExactOrAnError)
{
    const bool latin = (AreFileApisANSI() ? GetACP() : GetOEMCP()) == 1252;
    const std::wstring surrogate(L"a\xD800" L"b");
    const std::pair<std::wstring, const char*> cases[] = {
        // name, its narrow form under code page 1252 or none
        {L"plain name.txt", "plain name.txt"}, {L"", ""}, {L"caf\x00E9", "caf\xE9"}, {surrogate, nullptr},
        {L"\x0100", nullptr}, {L"\x221E", nullptr}, {L"\x65E5\x672C", nullptr}, {L"\x0410\x0431", nullptr},
    };
    for (const auto& [name, narrow] : cases) {
        if (!latin && name != surrogate) {
            continue;  // the code page decides; the end-to-end cases cover 932
        }
        std::error_code error;
        EXPECT_EQ(platform::narrow_text(name, error), narrow ? narrow : "") << platform::display_text(name);
        EXPECT_EQ(error.value(), narrow ? 0 : ERROR_NO_UNICODE_TRANSLATION);
        if (narrow) {
            EXPECT_EQ(platform::native_text(narrow, error), name);
            EXPECT_FALSE(error);
        }
    }
}

TEST(WindowsErrors, UnknownCodesAndTextsOverSeveralLines)
{
    // A system text ends with its line end cut off, which the end-to-end
    // cases see in every error line; a code with no text gets a fixed one.
    EXPECT_EQ(platform::error_text(std::error_code(0x7FFF1234, std::system_category())), "unknown error");
    // A text that spans several lines becomes one line.
    struct two_lines : std::error_category {
        const char* name() const noexcept override { return "two lines"; }
        std::string message(int) const override { return "First line.\r\n\r\nSecond line.\r\n"; }
    } category;
    EXPECT_EQ(platform::error_text(std::error_code(1, category)), "First line. Second line.");
}

}  // namespace
