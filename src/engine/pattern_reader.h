#pragma once

// One reading of a pattern in the ECMAScript grammar (with the bracket forms
// [[:class:]], [[.x.]] and [[=x=]]) before the standard matcher compiles it.
//
// The standard matcher departs from the grammar in a few places; the reader
// refuses what the grammar refuses and the matcher would accept, and hands
// the matcher the rest in a form it reads as the grammar means it:
// - a quantifier right after a quantifier (a**, a???, x{1}{1,}) is a pattern
//   error;
// - \cX (X a letter) is the control character it names, not X itself;
// - a back-reference to a group that has not been closed where it stands
//   (before the group's opening parenthesis, or inside the group), and one
//   outside a negative lookahead to a group inside it, matches the empty
//   text: the group is always undefined there. The groups inside a negative
//   lookahead are named, for the replacement to read as unset.
// Everything else reaches the matcher byte for byte.

#include <string>
#include <string_view>
#include <vector>

namespace tarn {

struct pattern_reading {
    std::string matcher_text;  // what the standard matcher compiles
    // Literal byte strings every match of the whole pattern contains; a
    // subject that lacks one cannot match.
    std::vector<std::string> required;
    // Per group number (0 unused): true for a group inside a negative
    // lookahead. A match exists only where the lookahead failed, so such a
    // group is never set, whatever the standard matcher leaves in it.
    std::vector<bool> never_set;
};

// Throws std::regex_error for what the grammar refuses and the matcher would
// accept. Other errors are left to the matcher, which reports them itself.
pattern_reading read_pattern(std::string_view pattern);

}  // namespace tarn
