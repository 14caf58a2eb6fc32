#include "engine/name_rewrite.h"
#include "engine/bounded_match.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(RewriteName, ReplacementCodesAndScanRules)
{
    const char* const cases[][4] = {
        // subject, pattern, replacement, new name
        {"abc", "x*", "-", "-a-b-c-"},
        // A match that ends at the end of the subject ends the scan.
        {"abc", ".*", "X", "X"},
        // After an empty match a non-empty one may start at the same place;
        // after a non-empty one, an empty one may.
        {"aaa", "a*?", "-", "------"},
        {"ab", "a*", "-", "--b-"},
        {"baaa", "a*", "-", "-b-"},
        // Lookbehind-like context: later searches know the character before.
        {"aa", "^a", "x", "xa"},
        // Two digits at most, a group past the last one is empty, $00 stands
        // for itself, a '$' that ends the replacement too.
        {"ab", "(a)", "[$2|$10|$01|$00]$1$", "[||a|$00]a$b"},
        {"abcdefghijk", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)", "$11$10$1|$111", "kja|k1"},
        {"ab", "(a)|(b)", "<$1|$2>", "<a|><|b>"},
        // $` reaches back to where this match's search began, $' to the end.
        {"xaya", "a", "[$`|$']", "x[x|ya]y[y|]"},
    };
    for (const auto& [subject, pattern, replacement, expected] : cases) {
        EXPECT_EQ(tarn::rewrite_name(subject, tarn::compile_pattern(pattern), replacement, false), expected)
            << subject << " / " << pattern << " / " << replacement;
    }
}

// A ".." element with a character from a listed name, by whatever way it
// reached the new name, is told from one the user typed.
TEST(RewriteName, DotDotFromAListedNameIsTold)
{
    const std::tuple<const char*, std::size_t, const char*, const char*, bool> cases[] = {
        // subject, its typed front, pattern, replacement, climbs
        {"..__evil", 0, "^([^_]*)_(.*)$", "$1/$2", true}, {"..", 0, "^..$", "$&/a", true},
        {"..x", 0, "x", "z/$`", true}, {"x..", 0, "^x", "$'/z", true}, {"..y", 0, "y", "/z", true},
        {"y..", 0, "y", "z/", true}, {"x.", 0, "x", ".", true}, {"../p/x", 1, "x", "$`y", true},
        {"a", 0, "a", "../$&", false}, {"../p/x", 4, "x", "$`y", false}, {"./a.jpg", 1, "(.*)\\.jpg$", "$1.png", false},
        {".x", 0, "x", "/a", false}, {"...x", 0, "x", "/a", false}, {"..a", 0, "^x", "", false},
        {"..x", 0, "x", "\\a", tarn::platform::narrow_separator == '\\'},
    };
    std::string result;  // kept across cases: each call starts it afresh
    std::vector<bool> listed;
    for (const auto& [subject, typed, pattern, replacement, climbs] : cases) {
        const bool matched =
            tarn::rewrite_matches(subject, typed, tarn::compile_pattern(pattern), replacement, false, result, listed);
        EXPECT_EQ(result, matched ? tarn::rewrite_name(subject, tarn::compile_pattern(pattern), replacement, false) : "");
        ASSERT_EQ(listed.size(), result.size()) << subject << " / " << replacement;
        EXPECT_EQ(tarn::climbs_by_listed_name(result, listed), climbs) << subject << " / " << replacement;
    }
}

TEST(SplitPath, AgreesWithTheStandardLibrary)
{
    const char* const paths[] = {
        "./photo.jpeg", "./archive.tar.gz", "./.profile", "./README", "./name.", "./sub/f.txt",
        "/x.txt", "a//b.c", "./..a", "./.a.b", "photos/2020/IMG_1.JPG", "x", ".hidden.",
        "./a b/c d.e f", "./...", "x/..a.",
#ifdef _WIN32
        // Drives, network and device paths, and both separators as typed.
        "D:name", "D:\\x.txt", "D:\\photos\\a.b", "D:\\\\x", "D:/photos\\2020.x", "\\\\server\\share\\x.y",
        "\\\\?\\D:\\x", "\\\\.\\D:\\dir\\f", "\\??\\D:\\x.txt", "\\x.txt", "//server/share/x",
        "photos/2020\\name.jpg", "\\/mixed\\x",
#endif
    };
    for (const char* text : paths) {
        const std::filesystem::path reference(text);
        const tarn::platform::native_string& path = reference.native();
        const auto [parent_length, name, extension] = tarn::split_path(path);
        EXPECT_EQ(path.substr(0, parent_length), reference.parent_path().native()) << text;
        EXPECT_EQ(path.substr(name), reference.filename().native()) << text;
        EXPECT_EQ(path.substr(name, extension - name), reference.stem().native()) << text;
        EXPECT_EQ(path.substr(extension), reference.extension().native()) << text;
        const auto root = reference.root_name().native().size() + reference.root_directory().native().size();
        EXPECT_EQ(tarn::platform::root_path_length(path), root) << text;
    }
}

TEST(BoundedMatch, QuadraticSearchCompletesExplodingOrDeepOneIsAPatternError)
{
    std::string result;
    // No match anywhere: every start position is tried to the end. (The
    // subject holds a "c", or the search would not even begin.)
    EXPECT_FALSE(tarn::rewrite_matches("c" + std::string(3999, 'a'), tarn::compile_pattern("(.)*c\\b"), "x", false,
                                       result));
    // One level of recursion per character: deeper than the stack allows.
    // (A search that would run for ever is left to the end-to-end cases.)
    try {
        tarn::rewrite_matches("c" + std::string(200000, 'a'), tarn::compile_pattern("(a|b)*c$"), "x", false, result);
        ADD_FAILURE() << "the search must not complete";
    } catch (const std::regex_error& error) {
        EXPECT_TRUE(error.code() == std::regex_constants::error_stack ||
                    error.code() == std::regex_constants::error_complexity);
    }
    // Compiling recurses per element: deep nesting within the limit compiles,
    // a pattern long enough to exhaust the stack is refused, not a crash.
    EXPECT_NO_THROW(tarn::compile_pattern(std::string(2000, '(') + "a" + std::string(2000, ')')));
    EXPECT_THROW(tarn::compile_pattern(std::string(1 << 20, 'a')), std::regex_error);
}

}  // namespace
