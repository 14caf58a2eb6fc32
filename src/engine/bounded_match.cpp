#include "engine/bounded_match.h"

#include "engine/pattern_reader.h"
#include "platform/platform.h"

namespace tarn {

void check_match_budget()
{
    if (active_match_budget.steps_left == 0) {
        throw std::regex_error(std::regex_constants::error_complexity);
    }
    if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < active_match_budget.stack_limit) {
        throw std::regex_error(std::regex_constants::error_stack);
    }
}

compiled_pattern compile_pattern(const std::string& text)
{
    // Measured: plain characters take under 100 bytes of compiler stack each,
    // a level of nested groups under 600 (two characters); 1 KiB per byte
    // leaves room for a sanitizer's larger frames.
    static const std::size_t longest = platform::match_stack_budget() / 1024;
    if (text.size() > longest) {
        throw std::regex_error(std::regex_constants::error_complexity);
    }
    pattern_reading reading = read_pattern(text);
    return {std::regex(reading.matcher_text, std::regex::ECMAScript), std::move(reading.required),
            std::move(reading.never_set)};
}

bool may_match(std::string_view subject, const compiled_pattern& pattern)
{
    for (const std::string& text : pattern.required) {
        if (subject.find(text) == subject.npos) {
            return false;
        }
    }
    return true;
}

void start_match_budget()
{
    static const std::size_t depth = platform::match_stack_budget();
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    active_match_budget.steps_left = match_step_budget;
    active_match_budget.stack_limit = here > depth ? here - depth : 0;
}

}  // namespace tarn
