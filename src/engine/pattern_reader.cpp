#include "engine/pattern_reader.h"

#include <algorithm>
#include <cstddef>
#include <regex>

namespace tarn {

namespace {

// What is known of the text any match of a part of the pattern consumes.
// Only literal bytes count: a class, a back-reference or a part that may be
// absent adds nothing, which is always safe.
struct literal_facts {
    bool exact = false;  // every match is `prefix` itself (and `suffix`)
    std::string prefix;  // every match starts with it
    std::string suffix;  // every match ends with it
    std::vector<std::string> inner;  // every match contains each
};

// A repeated literal is kept up to this length; beyond it, a shorter
// repetition still holds and serves a screen as well.
constexpr std::size_t longest_repeat = 256;

struct reference_site {
    std::size_t output_at = 0;  // where the reference's text begins in the output
    std::size_t length = 0;
    std::size_t number = 0;
    bool undefined = false;  // its group is open or not yet opened here
    std::vector<int> lookaheads;  // the negative lookaheads around it
};

struct reader_state {
    std::string_view in;
    std::size_t at = 0;
    std::string out;
    int lookaheads_opened = 0;
    std::vector<int> lookaheads;  // the negative lookaheads around the current place
    std::vector<std::size_t> open_groups;
    std::vector<std::vector<int>> group_lookaheads;  // per group, from group 1
    std::vector<reference_site> references;
};

literal_facts exact_text(std::string text)
{
    literal_facts facts;
    facts.exact = true;
    facts.prefix = text;
    facts.suffix = std::move(text);
    return facts;
}

std::vector<std::string> all_texts(const literal_facts& facts)
{
    std::vector<std::string> texts = facts.inner;
    texts.push_back(facts.prefix);
    texts.push_back(facts.suffix);
    return texts;
}

bool contained_in_one(const std::string& text, const std::vector<std::string>& others)
{
    return std::any_of(others.begin(), others.end(),
                       [&text](const std::string& other) { return other.find(text) != other.npos; });
}

// The facts of `first` followed by `second`.
literal_facts concatenated(literal_facts first, const literal_facts& second)
{
    if (first.exact && second.exact) {
        return exact_text(first.prefix + second.prefix);
    }
    literal_facts facts;
    facts.prefix = first.exact ? first.prefix + second.prefix : first.prefix;
    facts.suffix = second.exact ? first.suffix + second.suffix : second.suffix;
    facts.inner = std::move(first.inner);
    facts.inner.insert(facts.inner.end(), second.inner.begin(), second.inner.end());
    facts.inner.push_back(first.suffix + second.prefix);  // where the two meet
    return facts;
}

// The facts of `first` or `second`: what both promise.
literal_facts alternated(const literal_facts& first, const literal_facts& second)
{
    if (first.exact && second.exact && first.prefix == second.prefix) {
        return first;
    }
    literal_facts facts;
    const auto prefix_end = std::mismatch(first.prefix.begin(), first.prefix.end(), second.prefix.begin(),
                                          second.prefix.end());
    facts.prefix.assign(first.prefix.begin(), prefix_end.first);
    const auto suffix_end = std::mismatch(first.suffix.rbegin(), first.suffix.rend(), second.suffix.rbegin(),
                                          second.suffix.rend());
    facts.suffix.assign(suffix_end.first.base(), first.suffix.end());
    const std::vector<std::string> first_texts = all_texts(first);
    const std::vector<std::string> second_texts = all_texts(second);
    for (const std::string& text : first_texts) {
        if (contained_in_one(text, second_texts)) {
            facts.inner.push_back(text);
        }
    }
    for (const std::string& text : second_texts) {
        if (contained_in_one(text, first_texts)) {
            facts.inner.push_back(text);
        }
    }
    return facts;
}

// How many copies of `text` are kept of a repetition: at least one, and no
// more than fit in longest_repeat (for the empty text, one: more add nothing).
std::size_t copies_kept(const std::string& text, std::size_t count)
{
    return text.empty() ? 1 : std::min(count, std::max<std::size_t>(longest_repeat / text.size(), 1));
}

std::string repeated(const std::string& text, std::size_t count)
{
    std::string result = text;
    for (std::size_t i = 1; i < copies_kept(text, count); ++i) {
        result += text;
    }
    return result;
}

// The facts of `part` repeated from `least` to `most` times.
literal_facts repetition(literal_facts part, std::size_t least, std::size_t most)
{
    if (least == 0) {
        return {};
    }
    if (!part.exact) {
        if (least > 1) {
            part.inner.push_back(part.suffix + part.prefix);  // where two repetitions meet
        }
        return part;
    }
    std::string text = repeated(part.prefix, least);
    // Exact only when nothing was cut: the repetition is then `text` itself.
    if (least == most && (part.prefix.empty() || copies_kept(part.prefix, least) == least)) {
        return exact_text(std::move(text));
    }
    literal_facts facts;
    facts.prefix = text;
    facts.suffix = std::move(text);
    return facts;
}

bool at_end(const reader_state& state)
{
    return state.at >= state.in.size();
}

char peek(const reader_state& state, std::size_t ahead = 0)
{
    return state.at + ahead < state.in.size() ? state.in[state.at + ahead] : '\0';
}

void copy_bytes(reader_state& state, std::size_t count)
{
    count = std::min(count, state.in.size() - state.at);
    state.out.append(state.in.substr(state.at, count));
    state.at += count;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int hex_value(char c)
{
    if (is_digit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The byte a \cX escape names: X's code modulo 32.
char control_byte(char letter)
{
    return static_cast<char>(static_cast<unsigned char>(letter) % 32);
}

// The standard matcher reads \c as matching X itself, so the character goes
// to it as \xHH. A \c before anything but a letter is no escape of the
// grammar.
void copy_control_escape(reader_state& state)
{
    const char letter = peek(state, 2);
    if (!is_letter(letter)) {
        throw std::regex_error(std::regex_constants::error_escape);
    }
    const auto code = static_cast<unsigned char>(control_byte(letter));
    const char* const digits = "0123456789abcdef";
    state.out += "\\x";
    state.out.push_back(digits[code / 16]);
    state.out.push_back(digits[code % 16]);
    state.at += 3;
}

// Beyond this a number is one the standard matcher reads wrongly (it keeps
// the low 32 bits in a signed int), so a pattern holding one is refused.
constexpr std::size_t largest_number = 0x7fffffff;

// The decimal number at `i`, moving `i` past its digits; `largest_number`
// plus one for a larger one.
std::size_t read_number(std::string_view text, std::size_t& i)
{
    std::size_t value = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        const auto digit = static_cast<std::size_t>(text[i] - '0');
        value = value > (largest_number - digit) / 10 ? largest_number + 1 : value * 10 + digit;
    }
    return value;
}

// The number of a back-reference: every digit that follows.
void read_reference(reader_state& state)
{
    reference_site site;
    site.output_at = state.out.size();
    const std::size_t first_digit = ++state.at;
    site.number = read_number(state.in, state.at);
    if (site.number > largest_number) {
        throw std::regex_error(std::regex_constants::error_backref);
    }
    state.out += '\\';
    state.out.append(state.in.substr(first_digit, state.at - first_digit));
    site.length = state.out.size() - site.output_at;
    site.undefined = site.number > state.group_lookaheads.size() ||
                     std::find(state.open_groups.begin(), state.open_groups.end(), site.number) !=
                         state.open_groups.end();
    site.lookaheads = state.lookaheads;
    state.references.push_back(std::move(site));
}

// How many bytes the escape at `at` takes, as the matcher reads it: \c and
// its letter, \x and two hexadecimal digits, \u and four, otherwise the
// backslash and one byte. (Back-references are read on their own.)
std::size_t escape_length(std::string_view in, std::size_t at)
{
    const auto hex_digits = [in, at](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (at + 2 + i >= in.size() || hex_value(in[at + 2 + i]) < 0) {
                return false;
            }
        }
        return true;
    };
    const char c = at + 1 < in.size() ? in[at + 1] : '\0';
    if (c == 'x' && hex_digits(2)) {
        return 4;
    }
    if (c == 'u' && hex_digits(4)) {
        return 6;
    }
    return c == 'c' ? 3 : 2;
}

// The one place that says which atoms match one known byte, for the texts
// every match must contain. It is given the atom as written and answers
// only for the forms it reads completely: a byte outside the grammar's
// specials; \xHH and \uHHHH (the matcher keeps the value's low byte); \cX;
// \f \n \r \t \v \0; an escaped punctuation mark. Anything else (a class
// escape, an identity escape of a letter, a form cut short) matches what it
// matches, and adds nothing: a reading error here can only make the screen
// let more names through, never fewer.
bool known_byte(std::string_view atom, char& byte)
{
    if (atom.size() == 1) {
        byte = atom[0];
        return std::string_view("^$\\.*+?()[]{}|").find(byte) == std::string_view::npos;
    }
    if (atom.size() < 2 || atom[0] != '\\') {
        return false;
    }
    const char c = atom[1];
    if ((c == 'x' && atom.size() == 4) || (c == 'u' && atom.size() == 6)) {
        unsigned value = 0;
        for (const char digit : atom.substr(2)) {
            value = value * 16 + static_cast<unsigned>(hex_value(digit));
        }
        byte = static_cast<char>(value & 0xff);
        return true;
    }
    if (c == 'c' && atom.size() == 3 && is_letter(atom[2])) {
        byte = control_byte(atom[2]);
        return true;
    }
    if (atom.size() != 2) {
        return false;
    }
    const std::string_view controls = "f\fn\nr\rt\tv\v0";  // \0 is the null character even before a digit
    const std::size_t control = controls.find(c);
    if (control != controls.npos && control % 2 == 0) {
        byte = controls[control + 1];
        return true;
    }
    byte = c;
    return c > ' ' && c < 0x7f && !is_letter(c) && !is_digit(c);
}

literal_facts atom_facts(std::string_view atom)
{
    char byte = 0;
    return known_byte(atom, byte) ? exact_text(std::string(1, byte)) : literal_facts{};
}

// An escape outside a class; the state stands on the backslash.
literal_facts read_escape(reader_state& state)
{
    const char c = peek(state, 1);
    if (c >= '1' && c <= '9') {
        read_reference(state);
        return {};
    }
    if (c == 'b' || c == 'B') {
        copy_bytes(state, 2);
        return exact_text("");  // an assertion: it consumes nothing
    }
    const std::string_view atom = state.in.substr(state.at, escape_length(state.in, state.at));
    if (c == 'c') {
        copy_control_escape(state);
    } else {
        copy_bytes(state, atom.size());
    }
    return atom_facts(atom);
}

// A class, copied but for its control escapes; the state stands on '['.
void read_class(reader_state& state)
{
    copy_bytes(state, peek(state, 1) == '^' ? 2 : 1);
    while (!at_end(state) && peek(state) != ']') {
        const char c = peek(state);
        const char next = peek(state, 1);
        if (c == '[' && (next == ':' || next == '.' || next == '=')) {
            // [:name:], [.x.] or [=x=] runs to its own closing pair, which
            // may follow a ']' of its content.
            const std::size_t close = state.in.find(std::string{next, ']'}, state.at + 2);
            copy_bytes(state, close == state.in.npos ? state.in.size() : close + 2 - state.at);
        } else if (c == '\\' && next == 'c') {
            copy_control_escape(state);
        } else {
            copy_bytes(state, c == '\\' ? escape_length(state.in, state.at) : 1);
        }
    }
    copy_bytes(state, 1);
}

literal_facts read_disjunction(reader_state& state);

// A parenthesised part; the state stands on '('.
literal_facts read_group(reader_state& state)
{
    const bool special = peek(state, 1) == '?';
    const char kind = special ? peek(state, 2) : '\0';
    const bool negative = kind == '!';
    copy_bytes(state, special ? 3 : 1);
    std::size_t number = 0;
    if (!special) {
        state.group_lookaheads.push_back(state.lookaheads);
        number = state.group_lookaheads.size();
        state.open_groups.push_back(number);
    }
    if (negative) {
        state.lookaheads.push_back(++state.lookaheads_opened);
    }
    literal_facts facts = read_disjunction(state);
    if (negative) {
        state.lookaheads.pop_back();
    }
    if (!special) {
        state.open_groups.pop_back();
    }
    // Without its ')' the group is refused by the matcher; nothing is copied.
    copy_bytes(state, 1);
    if (kind == '=' || kind == '!') {
        return exact_text("");
    }
    return kind == ':' || !special ? facts : literal_facts{};
}

// A quantifier's bounds, or false when none begins here.
bool read_quantifier(reader_state& state, std::size_t& least, std::size_t& most)
{
    const std::size_t unbounded = std::size_t(-1);
    const char c = peek(state);
    if (c == '*' || c == '+' || c == '?') {
        least = c == '+' ? 1 : 0;
        most = c == '?' ? 1 : unbounded;
        copy_bytes(state, 1);
        return true;
    }
    if (c != '{') {
        return false;
    }
    std::size_t i = state.at + 1;
    auto number = [&state, &i] {
        const std::size_t first = i;
        const std::size_t value = read_number(state.in, i);
        return i > first ? value : unbounded;
    };
    least = number();
    most = least;
    if (least == unbounded) {
        return false;
    }
    if (i < state.in.size() && state.in[i] == ',') {
        ++i;
        most = number();
    }
    if (i >= state.in.size() || state.in[i] != '}') {
        return false;
    }
    if (least > largest_number || (most != unbounded && most > largest_number)) {
        throw std::regex_error(std::regex_constants::error_badbrace);
    }
    copy_bytes(state, i + 1 - state.at);
    return true;
}

// An atom or an assertion with its quantifier.
literal_facts read_term(reader_state& state)
{
    literal_facts facts;
    const char c = peek(state);
    if (c == '^' || c == '$') {
        copy_bytes(state, 1);
        facts = exact_text("");
    } else if (c == '\\') {
        facts = read_escape(state);
    } else if (c == '(') {
        facts = read_group(state);
    } else if (c == '[') {
        read_class(state);
    } else {
        facts = atom_facts(state.in.substr(state.at, 1));
        copy_bytes(state, 1);
    }
    std::size_t least = 0;
    std::size_t most = 0;
    if (!read_quantifier(state, least, most)) {
        return facts;
    }
    if (peek(state) == '?') {
        copy_bytes(state, 1);
    }
    const char next = peek(state);
    if (next == '*' || next == '+' || next == '?' || next == '{') {
        throw std::regex_error(std::regex_constants::error_badrepeat);
    }
    return repetition(std::move(facts), least, most);
}

literal_facts read_alternative(reader_state& state)
{
    literal_facts facts = exact_text("");
    while (!at_end(state) && peek(state) != '|' && peek(state) != ')') {
        facts = concatenated(std::move(facts), read_term(state));
    }
    return facts;
}

literal_facts read_disjunction(reader_state& state)
{
    literal_facts facts = read_alternative(state);
    while (peek(state) == '|') {
        copy_bytes(state, 1);
        facts = alternated(facts, read_alternative(state));
    }
    return facts;
}

// A reference to a group that is undefined where it stands matches empty.
bool matches_empty(const reference_site& site, const reader_state& state)
{
    if (site.undefined) {
        return true;
    }
    const std::vector<int>& around_group = state.group_lookaheads[site.number - 1];
    return std::any_of(around_group.begin(), around_group.end(), [&site](int lookahead) {
        return std::find(site.lookaheads.begin(), site.lookaheads.end(), lookahead) == site.lookaheads.end();
    });
}

}  // namespace

pattern_reading read_pattern(std::string_view pattern)
{
    reader_state state;
    state.in = pattern;
    const literal_facts facts = read_disjunction(state);
    // What stops the reading before the end is a ')' without its '(', which
    // the matcher refuses.
    copy_bytes(state, state.in.size() - state.at);

    pattern_reading reading;
    // References past the last group are left for the matcher to refuse.
    for (auto site = state.references.rbegin(); site != state.references.rend(); ++site) {
        if (site->number <= state.group_lookaheads.size() && matches_empty(*site, state)) {
            state.out.replace(site->output_at, site->length, "(?:)");
        }
    }
    reading.matcher_text = std::move(state.out);
    reading.never_set.push_back(false);
    for (const std::vector<int>& lookaheads : state.group_lookaheads) {
        reading.never_set.push_back(!lookaheads.empty());
    }
    std::vector<std::string> texts = facts.exact ? std::vector<std::string>{facts.prefix} : all_texts(facts);
    std::stable_sort(texts.begin(), texts.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& text : texts) {
        if (!text.empty() && !contained_in_one(text, reading.required)) {
            reading.required.push_back(text);
        }
    }
    return reading;
}

}  // namespace tarn
