// The process's surroundings on POSIX: the system's error texts, the stack a
// match may use, and the standard streams, which need nothing but the
// question whether they are terminals.

#include "platform/posix/system.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstring>

namespace tarn::platform {

std::string error_text(std::error_code error)
{
    std::string text = error.message();
    while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr) {
        text.pop_back();
    }
    return text.empty() ? std::string("unknown error") : text;
}

std::size_t match_stack_budget()
{
    constexpr std::size_t most = std::size_t(48) << 20;
    struct rlimit limit {};
    std::size_t size = std::size_t(8) << 20;
    if (::getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        size = static_cast<std::size_t>(limit.rlim_cur);
    } else if (limit.rlim_cur == RLIM_INFINITY) {
        size = most;
    }
    // Leave a quarter for the program's own frames and the system.
    return std::min(size / 4 * 3, most);
}

bool is_terminal(std::FILE* stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

void prepare_console() {}

}  // namespace tarn::platform
