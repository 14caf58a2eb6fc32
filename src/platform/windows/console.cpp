// The process's surroundings on Windows: the console streams, an absent
// medium, the stack a match may use and the system's error texts.

#include "platform/windows/system.h"

#include <fcntl.h>
#include <io.h>

namespace tarn::platform {

// In the system's import library since Windows 8, but missing from the
// MinGW-w64 headers.
extern "C" __declspec(dllimport) VOID WINAPI GetCurrentThreadStackLimits(PULONG_PTR low, PULONG_PTR high);

std::string error_text(std::error_code error)
{
    std::string text;
    if (error.category() == std::system_category()) {
        char* buffer = nullptr;
        const DWORD size = ::FormatMessageA(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, static_cast<DWORD>(error.value()), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
        if (size > 0 && buffer != nullptr) {
            text.assign(buffer, size);
        }
        if (buffer != nullptr) {
            ::LocalFree(buffer);
        }
    } else {
        text = error.message();
    }
    while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr) {
        text.pop_back();
    }
    // Some texts run over several lines; an error line is one line.
    std::string line;
    for (const char c : text) {
        if (c != '\r' && c != '\n') {
            line.push_back(c);
        } else if (!line.empty() && line.back() != ' ') {
            line.push_back(' ');
        }
    }
    return line.empty() ? std::string("unknown error") : line;
}

std::size_t match_stack_budget()
{
    // The whole reserved stack of this thread, as the system laid it out
    // (the link step asks for a large one).
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    ::GetCurrentThreadStackLimits(&low, &high);
    const std::size_t reserved = high > low ? high - low : std::size_t(1) << 20;
    // Leave a quarter for the program's own frames, the guard pages and the
    // system.
    return reserved / 4 * 3;
}

bool is_terminal(std::FILE* stream)
{
    // A console answers for its mode; a file, a pipe or the null device does
    // not.
    DWORD mode = 0;
    const intptr_t handle = ::_get_osfhandle(::_fileno(stream));
    return handle != -1 && ::GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

void prepare_console()
{
    // Text mode turns each '\n' into CR LF on the way out; the bytes are
    // otherwise written unchanged, with no console code page set.
    ::_setmode(::_fileno(stdout), _O_TEXT);
    ::_setmode(::_fileno(stderr), _O_TEXT);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    // An empty card reader or disc drive as start or target gives an error
    // line, not a dialog that holds the run until someone answers it.
    ::SetErrorMode(::SetErrorMode(SEM_FAILCRITICALERRORS) | SEM_FAILCRITICALERRORS);
}

}  // namespace tarn::platform
