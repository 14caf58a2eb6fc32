#include "engine/fs_error.h"

namespace tarn {

void stop_run(std::string operation, platform::native_view path, std::error_code error)
{
    throw run_stopped{std::move(operation), platform::display_text(path), error};
}

void stop_run_narrow(std::string operation, std::string path, std::error_code error)
{
    throw run_stopped{std::move(operation), std::move(path), error};
}

std::string narrow_or_stop(platform::native_view part, platform::native_view path)
{
    std::error_code error;
    std::string narrow = platform::narrow_text(part, error);
    if (error) {
        stop_run("narrow text of a path", path, error);
    }
    return narrow;
}

platform::native_string native_or_stop(std::string_view narrow)
{
    std::error_code error;
    platform::native_string native = platform::native_text(narrow, error);
    if (error) {
        stop_run_narrow("native path", std::string(narrow), error);
    }
    return native;
}

}  // namespace tarn
