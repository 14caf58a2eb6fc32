#pragma once

// The snapshot of a walk: every listed path in native form, in listing order.
// A million entries must fit in a few tens of megabytes, so paths are packed
// one after another into large blocks instead of one allocation each; every
// path is followed by a 32-bit word so the list can be read back to front:
// the path's length below, and the type the listing gave in the top two bits.

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarn {

struct entry_list {
    std::vector<platform::native_string> blocks;  // each filled to its capacity at most
    std::size_t count = 0;
};

inline constexpr unsigned type_shift = 30;

void append_entry(entry_list& list, platform::native_view path, platform::listed_type type);

// Calls visit(path, type) for every entry, the last listed first.
template <typename Visit>
void visit_reversed(const entry_list& list, Visit visit)
{
    constexpr std::size_t length_chars = sizeof(std::uint32_t) / sizeof(platform::native_char);
    for (auto block = list.blocks.rbegin(); block != list.blocks.rend(); ++block) {
        std::size_t end = block->size();
        while (end > 0) {
            std::uint32_t word = 0;
            std::memcpy(&word, block->data() + end - length_chars, sizeof word);
            const std::uint32_t length = word & ((std::uint32_t(1) << type_shift) - 1);
            const std::size_t start = end - length_chars - length;
            visit(platform::native_view(block->data() + start, length),
                  static_cast<platform::listed_type>(word >> type_shift));
            end = start;
        }
    }
}

}  // namespace tarn
