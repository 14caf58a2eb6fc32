#include "engine/entry_list.h"

#include <limits>
#include <stdexcept>

namespace tarn {

namespace {

constexpr std::size_t block_chars = (std::size_t(1) << 20) / sizeof(platform::native_char);
constexpr std::size_t length_chars = sizeof(std::uint32_t) / sizeof(platform::native_char);

}  // namespace

void append_entry(entry_list& list, platform::native_view path)
{
    if (path.size() > std::numeric_limits<std::uint32_t>::max() / 2) {
        throw std::length_error("path too long to list");
    }
    const std::size_t needed = path.size() + length_chars;
    if (list.blocks.empty() ||
        list.blocks.back().capacity() - list.blocks.back().size() < needed) {
        // A block is never grown past its first capacity, so the paths in it
        // are never copied again.
        list.blocks.emplace_back();
        list.blocks.back().reserve(needed > block_chars ? needed : block_chars);
    }
    platform::native_string& block = list.blocks.back();
    const auto length = static_cast<std::uint32_t>(path.size());
    block.append(path);
    platform::native_char encoded[length_chars];
    std::memcpy(encoded, &length, sizeof length);
    block.append(encoded, length_chars);
    ++list.count;
}

}  // namespace tarn
