#include "tarn/output.h"

#include "platform/platform.h"

#include <iostream>

namespace tarn {

std::string quoted_path(std::string_view narrow_path)
{
    std::string quoted;
    quoted.reserve(narrow_path.size() + 8);
    quoted.push_back('"');
    for (char c : narrow_path) {
        if (c == '"' || c == '\\') {
            quoted.push_back('\\');
        }
        quoted.push_back(c);
    }
    quoted.push_back('"');
    return quoted;
}

namespace {

// A stream does not become a terminal during a run: asked once each.
bool shows_on_terminal(const std::ostream& stream)
{
    static const bool output = platform::is_terminal(stdout);
    static const bool error = platform::is_terminal(stderr);
    return &stream == &std::cout ? output : &stream == &std::cerr && error;
}

}  // namespace

std::string shown_on_terminal(std::string_view line)
{
    std::string shown;
    shown.reserve(line.size());
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            shown.push_back('^');
            shown.push_back(static_cast<char>(byte ^ 0x40));
        } else {
            shown.push_back(c);
        }
    }
    return shown;
}

void write_line(std::ostream& stream, std::string line)
{
    if (shows_on_terminal(stream)) {
        line = shown_on_terminal(line);
    }
    line.push_back('\n');
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream.flush();
}

}  // namespace tarn
