#pragma once

// The snapshot of a walk: every listed entry by its own name in native form,
// in listing order, with the directory it was listed in; its path is built
// from the directory records only where it is needed, so the memory a tree
// takes grows with its entries, not with its depth. A million entries must
// fit in a few tens of megabytes, so names are packed one after another into
// large blocks instead of one allocation each; every name is followed by two
// 32-bit words so the list can be read back to front: the index of its
// directory, then the name's length below and the type the listing gave in
// the top two bits.

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarn {

// A directory the walk listed, known by its name in its parent and by its
// identity, so that it is reached again through the same names and only if
// it is still the same directory.
struct listed_directory {
    std::uint32_t parent = 0;  // index; the start directory (index 0) is its own parent
    platform::native_string name;
    platform::directory_identity identity;
};

struct entry_list {
    std::vector<platform::native_string> blocks;  // each filled to its capacity at most
    std::size_t count = 0;
    std::vector<listed_directory> directories;  // the start directory first
    platform::directory_ref start;              // open for the whole walk
    std::size_t start_length = 0;  // where the name of an entry of the start directory begins
};

inline constexpr unsigned type_shift = 30;

void append_entry(entry_list& list, platform::native_view name, platform::listed_type type,
                  std::uint32_t directory);

// Calls visit(name, type, directory) for every entry, the last listed first.
template <typename Visit>
void visit_reversed(const entry_list& list, Visit visit)
{
    constexpr std::size_t word_chars = sizeof(std::uint32_t) / sizeof(platform::native_char);
    for (auto block = list.blocks.rbegin(); block != list.blocks.rend(); ++block) {
        std::size_t end = block->size();
        while (end > 0) {
            std::uint32_t word = 0;
            std::uint32_t directory = 0;
            std::memcpy(&word, block->data() + end - word_chars, sizeof word);
            std::memcpy(&directory, block->data() + end - 2 * word_chars, sizeof directory);
            const std::uint32_t length = word & ((std::uint32_t(1) << type_shift) - 1);
            const std::size_t start = end - 2 * word_chars - length;
            visit(platform::native_view(block->data() + start, length),
                  static_cast<platform::listed_type>(word >> type_shift), directory);
            end = start;
        }
    }
}

}  // namespace tarn
