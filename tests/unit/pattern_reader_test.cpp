#include "engine/bounded_match.h"
#include "engine/pattern_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

using texts = std::vector<std::string>;

TEST(ReadPattern, PassesTheGrammarThroughAndRewritesWhatTheMatcherReadsWrongly)
{
    const char* const cases[][2] = {
        // pattern, what the matcher gets (nullptr: the pattern itself)
        {"^a$|\\bx\\B|(?=a)(?!b)c", nullptr},
        {"a*b+c?d{2}e{2,}f{2,3}g*?h+?i??j{2}?k{2,}?l{0,3}?", nullptr},
        {"(a)(?:b)(c|(d))\\1\\3\\2", nullptr},
        {"\\d\\D\\s\\S\\w\\W.\\f\\n\\r\\t\\v\\0\\x41\\u0041\\.\\*\\\\\\/\\e\\{a}]", nullptr},
        {"[a-z][^0-9][]][^][\\b\\d\\-\\]][(|)*]", nullptr},
        {"[[:alpha:][:digit:]][^[:digit:]x][[.a.]][[=e=]][[.].]]|[[.-.]-z]", nullptr},
        // Left for the matcher to refuse: a reference past the last group,
        // an unclosed group or class, a ')' without its '('.
        {"(a)\\2", nullptr},
        {"a)\\cA|(", nullptr},
        {"(a|\\cb", "(a|\\x02"},
        {"[\\cA-\\cZ\\ca", "[\\x01-\\x1a\\x01"},
        {"\\cA\\cz\\cM1", "\\x01\\x1a\\x0d1"},
        {"[^\\cJ][[:alpha:][:digit:]]\\cA\\\\c", "[^\\x0a][[:alpha:][:digit:]]\\x01\\\\c"},
        // A group undefined where it is referred to matches empty.
        {"\\1(A)", "(?:)(A)"},
        {"(a\\1)+", "(a(?:))+"},
        {"(.*?)a(?!(a+)b\\2c)\\2(.*)", "(.*?)a(?!(a+)b\\2c)(?:)(.*)"},
        {"(?!(a)(?!(b))\\2\\1)\\1", "(?!(a)(?!(b))(?:)\\1)(?:)"},
        {"(?=(a))\\1(?:(b)|\\2)", nullptr},
    };
    for (const auto& [pattern, rewritten] : cases) {
        EXPECT_EQ(tarn::read_pattern(pattern).matcher_text, rewritten ? rewritten : pattern) << pattern;
    }
    EXPECT_EQ(tarn::read_pattern("(a)(?!(b)|(?:(c)))(d)").never_set,
              (std::vector<bool>{false, false, true, true, false}));
    // What the grammar refuses: a quantifier after a quantifier (the lazy
    // mark is not one), \c before anything but a letter.
    // Counts and reference numbers the matcher would wrap are refused too.
    for (const char* pattern : {"a**", "a++", "a???", "a*?+", "x{1}{1,}", "(a)?{2}", "a+*", "\\c1", "[\\c_]", "\\c",
                                "a{2147483648}", "a{1,4294967297}", "a{4294967296,}", "(a)\\4294967297"}) {
        EXPECT_THROW(tarn::read_pattern(pattern), std::regex_error) << pattern;
    }
}

TEST(ReadPattern, RequiredTextsOfTypicalPatterns)
{
    std::string ab_128_times;
    for (int i = 0; i < 128; ++i) {
        ab_128_times += "ab";
    }
    const std::pair<const char*, texts> cases[] = {
        {"IMG_(\\d+)\\.jpe?g$", {"IMG_", ".jp", "g"}},
        {"^photo-\\b2024\\B", {"photo-2024"}},
        {"abc|abd|xabe", {"ab"}},
        {"(?:foo|bar)baz", {"baz"}},
        {"x*|y", {}},
        {"(?:ab){3}", {"ababab"}},
        {"xa+y", {"xa", "ay"}},
        {"ab2}", {"ab2"}},
        {"a{256}b", {std::string(256, 'a') + "b"}},
        {"(?:ab){2,}?c", {"ababc"}},
        {"(?:a.b){2}", {"ba"}},
        {"(?:[xy]ab|cab[xy])", {"ab"}},
        {"(abc|ab[0-9]|zab)\\1", {"ab"}},
        {"(?:ab|b)c|xbc", {"bc"}},
        {"q(?=abc)(?!d)[de]|q", {"q"}},
        {"\\cA\\x6a\\x4A\\x30\\n\\0\\.\\w\\d\\01", {std::string("\x01" "jJ0\n", 5) + '\0' + ".", std::string(1, '\0') + "1"}},
        {"[[.a.]b][[=e=]c]", {}},
        {"\\bx\\e", {"x"}},
        {"a?b*c{0}d{0,1}\\1", {}},
        // \uHHHH is one byte, the value's low one, as the matcher reads it;
        // a letter's identity escape adds nothing.
        {"\\u0041\\u0142{2}", {"ABB"}},
        {"x\\u0041{0}y[\\u005d]z", {"x", "y", "z"}},
        {"a\\ex\\k\\.abcd", {".abcd", "x"}},
        {"(?:ab){2147483647}(){1073741823}", {ab_128_times}},
    };
    for (const auto& [pattern, required] : cases) {
        EXPECT_EQ(tarn::read_pattern(pattern).required, required) << pattern;
    }
}

// A pattern over a small alphabet, built from every escape and class form
// the matcher takes, and from malformed or huge counts it refuses.
std::string random_pattern(std::mt19937& random, int depth)
{
    static const char* const atoms[] = {
        "a", "b", "c", ".", "A", "0", "-", "]", "}", "\\b", "\\B", "^", "$", "\\x61", "\\x4", "\\u0061", "\\u0141",
        "\\u00", "\\cA", "\\ca", "\\0", "\\1", "\\2", "\\9", "\\.", "\\-", "\\]", "\\w", "\\d", "\\S", "\\e", "\\k",
        "\\a", "\\f", "ab", "ba", "[ab]", "[^a]", "[a-c]", "[\\x61-\\u0063]", "[\\cA\\d-]", "[[:alpha:]]",
        "[^[:digit:]b]", "[[.a.]]", "[[=b=]]", "[]a]", "[\\]]", "[\\u005d]"};
    static const char* const quantifiers[] = {"*", "+", "?", "{2}", "{1,2}", "*?", "+?", "??", "{0,1}", "{0}", "{1,}",
                                              "{2147483648}", "{1,4294967297}", "{2,1}", "{", "{1,", "{,2}", "{x}"};
    const auto pick = [&random](std::size_t count) { return static_cast<std::size_t>(random() % count); };
    if (depth == 0 || pick(3) == 0) {
        return atoms[pick(std::size(atoms))];
    }
    switch (pick(7)) {
    case 0: return random_pattern(random, depth - 1) + "|" + random_pattern(random, depth - 1);
    case 1: return "(" + random_pattern(random, depth - 1) + ")";
    case 2: return "(?:" + random_pattern(random, depth - 1) + ")" + quantifiers[pick(std::size(quantifiers))];
    case 3: return std::string(pick(2) ? "(?=" : "(?!") + random_pattern(random, depth - 1) + ")";
    case 4: return atoms[pick(std::size(atoms))] + std::string(quantifiers[pick(std::size(quantifiers))]);
    default: return random_pattern(random, depth - 1) + random_pattern(random, depth - 1);
    }
}

TEST(MayMatch, NeverRejectsASubjectTheMatcherMatches)
{
    std::mt19937 random(17);
    int screened = 0;
    int matched = 0;
    int pairs = 0;
    while (pairs < 100000) {
        const std::string pattern = random_pattern(random, 4);
        tarn::compiled_pattern compiled;
        try {
            compiled = tarn::compile_pattern(pattern);
        } catch (const std::regex_error&) {
            continue;  // a reference past the last group, a malformed count
        }
        for (int i = 0; i < 12; ++i, ++pairs) {
            std::string subject;
            for (std::size_t length = random() % 11; length > 0; --length) {
                subject.push_back("aaabbc.\x01" "A0-]\0"[random() % 13]);
            }
            const bool found = std::regex_search(subject, compiled.matcher);
            matched += found;
            if (!tarn::may_match(subject, compiled)) {
                ++screened;
                ASSERT_FALSE(found) << pattern << " on " << subject;
            }
        }
    }
    // Both answers are common, so the comparison above is not empty.
    EXPECT_GT(screened, 10000) << matched;
    EXPECT_GT(matched, 30000) << screened;
}

}  // namespace
