#pragma once

#include <cstdint>

namespace tarn {

// The switches of one run. Filled once by the command line front end from the
// option word, read-only for the rest of the run.
struct run_options {
    std::int32_t verbosity = 0;
    bool dry_run = false;
    bool recursive = false;
    bool skip_extensions = false;
    bool include_directories = false;
    bool first_only = false;
};

// What happened to entries: one counter is 1 for a single entry, the sum of
// those for a walk.
struct rename_tally {
    std::int32_t renamed = 0;
    std::int32_t failed = 0;
    std::int32_t skipped = 0;
};

inline rename_tally add_tallies(rename_tally total, rename_tally entry)
{
    total.renamed += entry.renamed;
    total.failed += entry.failed;
    total.skipped += entry.skipped;
    return total;
}

}  // namespace tarn
