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

}  // namespace tarn
