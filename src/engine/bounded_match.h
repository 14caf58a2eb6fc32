#pragma once

// Regular-expression searches with a ceiling on effort and stack depth.
//
// The standard matcher backtracks without limit: some patterns take time
// exponential in the subject's length, and long subjects recurse deep enough
// to overflow the stack. Every search here walks the subject through
// `counted_iterator`, whose every step is counted and which checks how far the
// stack has grown since the search began. Crossing either ceiling throws
// std::regex_error (error_complexity or error_stack), which the front end
// reports like any other pattern error.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <regex>
#include <string_view>

namespace tarn {

// Steps one whole search or rewrite may take (a step is one move or
// comparison of an iterator). A quadratic search such as (.)*c failing over
// 4,000 characters, about the longest path Linux accepts, takes 4.0e7 steps
// (0.5 s on a 2 GHz core) and completes; an exploding one such as ((.)*)*c is
// stopped after about 0.7 s. No ordinary pattern on a real name comes near.
inline constexpr std::uint64_t match_step_budget = 100'000'000;

struct match_budget {
    std::uint64_t steps_left = match_step_budget;
    std::uintptr_t stack_limit = 0;  // the lowest stack address allowed
};

[[noreturn]] void exceed_match_budget(const match_budget& budget);

class counted_iterator {
public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    counted_iterator() = default;
    counted_iterator(const char* position, match_budget* budget)
        : position_(position), budget_(budget)
    {
    }

    reference operator*() const { return *position_; }
    pointer base() const { return position_; }

    counted_iterator& operator++()
    {
        step();
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
        step();
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
        left.step();
        return left.position_ == right.position_;
    }

private:
    void step() const
    {
        // Every state the matcher visits compares or moves an iterator, so
        // counting here bounds both the time and the recursion of one search.
        if (--budget_->steps_left == 0 ||
            reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < budget_->stack_limit) {
            exceed_match_budget(*budget_);
        }
    }

    const char* position_ = nullptr;
    match_budget* budget_ = nullptr;
};

using bounded_match = std::match_results<counted_iterator>;

// A fresh budget for one search or rewrite started from the caller's frame.
match_budget start_match_budget();


}  // namespace tarn
