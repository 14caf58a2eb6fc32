#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace tarn {

// A path as it appears inside report lines: in double quotes, with a
// backslash put before every double quote and every backslash.
std::string quoted_path(std::string_view narrow_path);

// Writes one finished report line, its line end and a flush. Each line is
// assembled first so that it leaves in a single write.
void write_line(std::ostream& stream, std::string line);

}  // namespace tarn
