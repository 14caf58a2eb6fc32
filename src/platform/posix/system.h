#pragma once

// What the POSIX files of the platform layer share: the records behind the
// contract's opaque types, and error and descriptor helpers.

#include "platform/platform.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace tarn::platform {

struct directory {
    int fd = AT_FDCWD;  // AT_FDCWD stands for the working directory and is never closed
};

struct directory_stream {
    DIR* dir = nullptr;
};

inline std::error_code last_error(int number = errno)
{
    return std::error_code(number, std::system_category());
}

// Closes a descriptor on every way out of the function that opened it.
struct descriptor {
    int fd = -1;
    ~descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// Closes a descriptor now, so that its error can be reported; the owner
// never closes it again.
inline std::error_code close_now(descriptor& owner)
{
    const int fd = owner.fd;
    owner.fd = -1;
    return ::close(fd) == 0 ? std::error_code() : last_error();
}

}  // namespace tarn::platform
