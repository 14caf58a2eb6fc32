#include "tarn/output.h"

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

void write_line(std::ostream& stream, std::string line)
{
    line.push_back('\n');
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream.flush();
}

}  // namespace tarn
