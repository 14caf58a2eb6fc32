#pragma once

// The snapshot of a walk: every listed path in native form, in listing order.
// A million entries must fit in a few tens of megabytes, so paths are packed
// one after another into large blocks instead of one allocation each; every
// path is followed by its length so the list can be read back to front.

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

void append_entry(entry_list& list, platform::native_view path);

// Calls visit(path) for every entry, the last listed first.
template <typename Visit>
void visit_reversed(const entry_list& list, Visit visit)
{
    constexpr std::size_t length_chars = sizeof(std::uint32_t) / sizeof(platform::native_char);
    for (auto block = list.blocks.rbegin(); block != list.blocks.rend(); ++block) {
        std::size_t end = block->size();
        while (end > 0) {
            std::uint32_t length = 0;
            std::memcpy(&length, block->data() + end - length_chars, sizeof length);
            const std::size_t start = end - length_chars - length;
            visit(platform::native_view(block->data() + start, length));
            end = start;
        }
    }
}

}  // namespace tarn
