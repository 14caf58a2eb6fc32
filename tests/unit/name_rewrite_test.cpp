#include "engine/name_rewrite.h"
#include "engine/bounded_match.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <utility>

namespace {

// Test paths are written with '/' and put into the platform's form here.
template <class Char>
std::basic_string<Char> with_separator(const std::string& text, Char separator)
{
    std::basic_string<Char> result;
    for (char c : text) {
        result.push_back(c == '/' ? separator : static_cast<Char>(c));
    }
    return result;
}

tarn::platform::native_string native(const std::string& text)
{
    return with_separator(text, tarn::platform::separator);
}

TEST(RewriteName, ReplacementCodesAndScanRules)
{
    const struct {
        const char* subject;
        const char* pattern;
        const char* replacement;
        bool first_only;
        const char* expected;
    } cases[] = {
        {"IMG_1234.jpg", R"(IMG_(\d+))", "photo-$1", false, "photo-1234.jpg"},
        {"a-b-c", "-", "_", false, "a_b_c"},
        {"a-b-c", "-", "_", true, "a_b-c"},
        {"report.final.pdf", R"(\.)", " ", false, "report final pdf"},
        {"abc", "x*", "-", false, "-a-b-c-"},
        {"abc", "x*", "-", true, "-abc"},
        // A match that ends at the end of the subject ends the scan.
        {"abc", ".*", "X", false, "X"},
        {"abc", "c*$", "X", false, "abX"},
        {"aaa", "a*?", "-", false, "------"},
        {"ab", "(a)", "$2", false, "b"},
        {"ab", "(a)", "$$1", false, "$1b"},
        {"ab", "(a)", "$0", false, "$0b"},
        {"ab", "(a)", "$00", false, "$00b"},
        {"ab", "(a)", "$x", false, "$xb"},
        {"ab", "(a)", "z$", false, "z$b"},
        {"ab", "(a)", "$&$&", false, "aab"},
        {"ab", "(a)", "$10", false, "b"},
        {"ab", "(a)", "$01", false, "ab"},
        {"ab", "(a)", "$1$", false, "a$b"},
        {"abcdefghijk", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)", "$11$10$1", false, "kja"},
        {"abcdefghijk", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)", "$111", false, "k1"},
        {"ab", "(x)?a", "[$1]", false, "[]b"},
        // $` reaches back to where this match's search began, $' to the end.
        {"xaya", "a", "[$`]", false, "x[x]y[y]"},
        {"xaya", "a", "[$']", false, "x[ya]y[]"},
        {"a.b", "[.]", "sub/$`", false, "asub/ab"},
        {"a\\b", R"(\\)", "/", false, "a/b"},
        {"ab", "(a)|(b)", "<$1|$2>", false, "<a|><|b>"},
        // After an empty match a non-empty one may start at the same place;
        // after a non-empty one, an empty one may.
        {"ab", "a*", "-", false, "--b-"},
        {"baaa", "a*", "-", false, "-b-"},
        // Lookbehind-like context: later searches know the character before.
        {"aa", "^a", "x", false, "xa"},
        {"ab ab", R"(\bab)", "X", false, "X X"},
    };
    for (const auto& c : cases) {
        const std::regex pattern(c.pattern, std::regex::ECMAScript);
        EXPECT_EQ(tarn::rewrite_name(c.subject, pattern, c.replacement, c.first_only), c.expected)
            << c.subject << " / " << c.pattern << " / " << c.replacement;
    }
}

TEST(SplitPath, AgreesWithTheStandardLibrary)
{
    const char* paths[] = {
        "./photo.jpeg", "./archive.tar.gz", "./.profile", "./README", "./name.", "./sub/f.txt",
        "/x.txt", "a//b.c", "./..a", "./.a.b", "photos/2020/IMG_1.JPG", "x", ".hidden.",
        "./a b/c d.e f", "./...", "x/..a.",
    };
    auto check = [](const tarn::platform::native_string& path, const std::string& label) {
        const std::filesystem::path reference(path);
        const tarn::path_parts parts = tarn::split_path(path);
        EXPECT_EQ(path.substr(0, parts.parent_length), reference.parent_path().native()) << label;
        EXPECT_EQ(path.substr(parts.name_start), reference.filename().native()) << label;
        EXPECT_EQ(path.substr(parts.name_start, parts.extension_start - parts.name_start),
                  reference.stem().native())
            << label;
        EXPECT_EQ(path.substr(parts.extension_start), reference.extension().native()) << label;
        EXPECT_EQ(tarn::platform::root_path_length(path),
                  reference.root_name().native().size() + reference.root_directory().native().size())
            << label;
    };
    for (const char* text : paths) {
        check(native(text), text);
    }
#ifdef _WIN32
    // Drives, network and device paths, and both separators as typed.
    const wchar_t* windows_paths[] = {
        L"D:name", L"D:\\x.txt", L"D:\\photos\\a.b", L"D:\\\\x", L"D:/photos\\2020.x",
        L"\\\\server\\share\\x.y", L"\\\\?\\D:\\x", L"\\\\.\\D:\\dir\\f",
        L"\\??\\D:\\x.txt", L"\\x.txt", L"//server/share/x", L"photos/2020\\name.jpg",
        L"\\/mixed\\x",
    };
    for (const wchar_t* text : windows_paths) {
        check(text, std::filesystem::path(text).string());
    }
#endif
}

TEST(BoundedMatch, QuadraticSearchCompletesExplodingOrDeepOneIsAPatternError)
{
    std::string result;
    // No match anywhere: every start position is tried to the end.
    EXPECT_FALSE(tarn::rewrite_matches(std::string(4000, 'a'), std::regex("(.)*c"), "x", false, result));
    const std::pair<std::size_t, const char*> failing[] = {{4000, "((.)*)*c"}, {200000, "(a|b)*c"}};
    for (const auto& [length, pattern] : failing) {
        try {
            tarn::rewrite_matches(std::string(length, 'a'), std::regex(pattern), "x", false, result);
            ADD_FAILURE() << pattern << " must not complete";
        } catch (const std::regex_error& error) {
            EXPECT_TRUE(error.code() == std::regex_constants::error_stack ||
                        error.code() == std::regex_constants::error_complexity)
                << pattern;
        }
    }
    // Compiling recurses per element: deep nesting within the limit compiles,
    // a pattern long enough to exhaust the stack is refused, not a crash.
    EXPECT_NO_THROW(tarn::compile_pattern(std::string(2000, '(') + "a" + std::string(2000, ')')));
    EXPECT_THROW(tarn::compile_pattern(std::string(1 << 20, 'a')), std::regex_error);
}

}  // namespace
