#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace tarn {

// A path as it appears inside report lines: in double quotes, with a
// backslash put before every double quote and every backslash.
std::string quoted_path(std::string_view narrow_path);

// A line as a terminal shows it: each control character (0x00 to 0x1F and
// 0x7F) in caret notation, ^[ for an escape, ^M for a carriage return, ^?
// for 0x7F, so that a name cannot move the cursor, forge a line or recolour
// the screen.
std::string shown_on_terminal(std::string_view line);

// Writes one finished report line, its line end and a flush. Each line is
// assembled first so that it leaves in a single write. On a terminal the
// line is shown as above; to a file or a pipe its bytes go out unchanged.
void write_line(std::ostream& stream, std::string line);

}  // namespace tarn
