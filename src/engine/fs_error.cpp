#include "engine/fs_error.h"

#include <filesystem>

namespace tarn {

void throw_fs_error(const std::string& operation, platform::native_view path,
                    std::error_code error)
{
    throw std::filesystem::filesystem_error(operation, std::filesystem::path(path), error);
}

}  // namespace tarn
