#pragma once

// Regular-expression searches with a ceiling on effort and stack depth.
//
// The standard matcher backtracks without limit: some patterns take time
// exponential in the subject's length, and long subjects recurse deep enough
// to overflow the stack. Every search here walks the subject through
// `counted_iterator`, whose comparisons are counted and which checks how far
// the stack has grown since the search began. Crossing either ceiling throws
// std::regex_error (error_complexity or error_stack), which the front end
// reports like any other pattern error.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// Steps one whole search or rewrite may take. A step is one comparison of two
// iterators: the matcher compares before it moves, and every path it tries
// ends in a comparison, so the count bounds the work even where a pattern
// explores many ways of matching nothing. A quadratic search such as (.)*c
// failing over 4,000 characters, about the longest path Linux accepts, takes
// 2.4e7 steps (0.4 s on a 2 GHz core) and completes; an exploding one such as
// ((.)*)*c is stopped after about 0.4 s, and (.)*c over 8,000 characters
// after 1 s. No ordinary pattern on a real name comes near.
inline constexpr std::uint64_t match_step_budget = 60'000'000;

// The limits are looked at every this many steps. 64 comparisons deepen the
// stack by some kilobytes at most, far inside the margin the stack budget
// leaves, and checking rarely keeps a step to one decrement and one test.
inline constexpr std::uint64_t match_check_interval = 64;
static_assert(match_step_budget % match_check_interval == 0, "the last step must be a checked one");

struct match_budget {
    std::uint64_t steps_left = 0;
    std::uintptr_t stack_limit = 0;  // the lowest stack address allowed
};

// The budget of the search in progress. The program searches on one thread,
// one search at a time, so one budget serves them all; keeping it out of the
// iterators keeps an iterator the size of a pointer, and the matcher copies
// iterators all the time.
inline match_budget active_match_budget;

// Gives the searches that follow a fresh budget, with the stack measured
// from the caller's frame.
void start_match_budget();

// Throws when the steps are used up or the stack has grown past its limit.
void check_match_budget();

class counted_iterator {
public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    counted_iterator() = default;
    explicit counted_iterator(const char* position) : position_(position) {}

    reference operator*() const { return *position_; }
    pointer base() const { return position_; }

    counted_iterator& operator++()
    {
        ++position_;
        return *this;
    }
    counted_iterator operator++(int)
    {
        counted_iterator old = *this;
        ++*this;
        return old;
    }
    counted_iterator& operator--()
    {
        --position_;
        return *this;
    }
    counted_iterator operator--(int)
    {
        counted_iterator old = *this;
        --*this;
        return old;
    }

    friend bool operator==(const counted_iterator& left, const counted_iterator& right)
    {
        if ((--active_match_budget.steps_left & (match_check_interval - 1)) == 0) {
            check_match_budget();
        }
        return left.position_ == right.position_;
    }

private:
    const char* position_ = nullptr;
};

using bounded_match = std::match_results<counted_iterator>;

struct compiled_pattern {
    std::regex matcher;
    // Literal texts every match contains: a subject without one of them is
    // not searched at all.
    std::vector<std::string> required;
    std::vector<bool> never_set;  // per group number: see pattern_reading
};

// Reads a pattern in the ECMAScript grammar (see pattern_reader.h) and
// compiles what the reading gives. The standard compiler recurses once per
// element of the pattern and cannot be bounded from outside, so a pattern too
// long for the stack the matcher may use is refused as a pattern error before
// reading (6,144 bytes with Linux's usual 8 MiB stack; a real pattern is a
// few dozen).
compiled_pattern compile_pattern(const std::string& text);

// False when the subject lacks a text every match contains, so that the
// pattern cannot match it; true says nothing.
bool may_match(std::string_view subject, const compiled_pattern& pattern);

}  // namespace tarn
