#pragma once

#include "platform/platform.h"

#include <string>
#include <string_view>
#include <system_error>

namespace tarn {

// File-system failures the program does not handle entry by entry (a listing
// that cannot be read, a status query refused, a name that cannot be
// converted) end the run. They travel as this record, which the front end
// alone catches and reports. The path is kept as display text because the
// failure may be that the name has no exact narrow form.
struct run_stopped {
    std::string operation;
    std::string path;
    std::error_code error;
};

[[noreturn]] void stop_run(std::string operation, platform::native_view path, std::error_code error);
[[noreturn]] void stop_run_narrow(std::string operation, std::string path, std::error_code error);

// The exact conversions every file operation goes through; a name that has no
// exact form stops the run. `part` is converted, `path` is named on failure.
std::string narrow_or_stop(platform::native_view part, platform::native_view path);
platform::native_string native_or_stop(std::string_view narrow);

}  // namespace tarn
