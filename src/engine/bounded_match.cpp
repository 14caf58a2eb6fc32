#include "engine/bounded_match.h"

#include "platform/platform.h"

namespace tarn {

void exceed_match_budget(const match_budget& budget)
{
    if (budget.steps_left == 0) {
        throw std::regex_error(std::regex_constants::error_complexity);
    }
    throw std::regex_error(std::regex_constants::error_stack);
}

match_budget start_match_budget()
{
    static const std::size_t depth = platform::match_stack_budget();
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    match_budget budget;
    budget.stack_limit = here > depth ? here - depth : 0;
    return budget;
}

}  // namespace tarn
