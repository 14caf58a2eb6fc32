// Memory held by the walk's listing: lists a directory (recursively) into an
// entry_list exactly as a run does, and reports how much the peak resident
// size grew over what the process had before the listing, per entry.
//
//   entry_list_memory DIR
//
// The listing is taken with the start path ".", from inside DIR, as a run in
// DIR takes it.

#include "engine/engine.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// Peak resident set size of this process so far, in bytes.
long long peak_resident_bytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atoll(line.c_str() + 6) * 1024;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: entry_list_memory DIR\n");
        return 2;
    }
    if (::chdir(argv[1]) != 0) {
        std::perror(argv[1]);
        return 2;
    }
    const long long before = peak_resident_bytes();
    const tarn::entry_list list = tarn::collect_entries(".", true);
    const long long after = peak_resident_bytes();

    std::size_t name_bytes = 0;
    std::size_t visited = 0;
    tarn::visit_reversed(list, [&](tarn::platform::native_view name, tarn::platform::listed_type, std::uint32_t) {
        name_bytes += name.size();
        ++visited;
    });
    if (visited != list.count || visited == 0) {
        std::fprintf(stderr, "entry_list_memory: %zu entries listed, %zu read back\n", list.count,
                     visited);
        return 1;
    }
    const double per_entry = double(after - before) / double(visited);
    std::printf("entries %zu, average name %.1f bytes, peak RSS %lld KiB before listing, "
                "%lld KiB after, %.1f bytes per entry\n",
                visited, double(name_bytes) / double(visited), before / 1024, after / 1024,
                per_entry);
    return 0;
}
