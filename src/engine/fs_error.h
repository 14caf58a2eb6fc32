#pragma once

#include "platform/platform.h"

#include <string>
#include <system_error>

namespace tarn {

// File-system failures the program does not handle entry by entry (a listing
// that cannot be read, a status query refused, a name that cannot be
// converted) end the run: they travel as std::filesystem::filesystem_error
// and the front end reports them.
[[noreturn]] void throw_fs_error(const std::string& operation, platform::native_view path,
                                 std::error_code error);

}  // namespace tarn
