#include "engine/entry_list.h"

#include <stdexcept>

namespace tarn {

namespace {

constexpr std::size_t block_chars = (std::size_t(1) << 20) / sizeof(platform::native_char);
constexpr std::size_t length_chars = sizeof(std::uint32_t) / sizeof(platform::native_char);

}  // namespace

void append_entry(entry_list& list, platform::native_view name, platform::listed_type type,
                  std::uint32_t directory)
{
    if (name.size() >= (std::size_t(1) << type_shift)) {
        throw std::length_error("name too long to list");
    }
    const std::size_t needed = name.size() + 2 * length_chars;
    if (list.blocks.empty() ||
        list.blocks.back().capacity() - list.blocks.back().size() < needed) {
        // A block is never grown past its first capacity, so the names in it
        // are never copied again.
        list.blocks.emplace_back();
        list.blocks.back().reserve(needed > block_chars ? needed : block_chars);
    }
    platform::native_string& block = list.blocks.back();
    const auto word = static_cast<std::uint32_t>(name.size()) |
                      static_cast<std::uint32_t>(type) << type_shift;
    block.append(name);
    platform::native_char encoded[2 * length_chars];
    std::memcpy(encoded, &directory, sizeof directory);
    std::memcpy(encoded + length_chars, &word, sizeof word);
    block.append(encoded, 2 * length_chars);
    ++list.count;
}

}  // namespace tarn
