// Microbenchmarks of the per-entry core, without a disk: building the match
// subject, searching it and rewriting it. The bounded matcher is measured
// against the same search over plain pointers, so the price of the effort
// budget and the stack guard can be read off directly.

#include "engine/bounded_match.h"
#include "engine/name_rewrite.h"

#include <benchmark/benchmark.h>

#include <regex>
#include <string>
#include <string_view>

namespace {

const tarn::compiled_pattern& typical_pattern()
{
    static const tarn::compiled_pattern pattern = tarn::compile_pattern("IMG_(\\d+)");
    return pattern;
}

constexpr std::string_view typical_replacement = "photo-$1";
constexpr std::string_view flat_entry = "./IMG_123456.jpg";
constexpr std::string_view tree_entry = "./d3/e1/f7/g/IMG_123456.jpg";

tarn::run_options options_for(int variant)
{
    tarn::run_options options;
    options.include_directories = variant == 1;
    options.skip_extensions = variant == 2;
    return options;
}

const char* variant_name(int variant)
{
    return variant == 0 ? "name" : variant == 1 ? "whole_path" : "stem";
}

// The match subject of a tree entry: its name (flat run), its whole path
// (-d) or its stem (-E).
void build_subject(benchmark::State& state)
{
    const tarn::run_options options = options_for(static_cast<int>(state.range(0)));
    state.SetLabel(variant_name(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        tarn::subject_text text = tarn::build_subject(tree_entry, options);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(build_subject)->DenseRange(0, 2);

// One search of a subject that matches (range 0) or does not (range 1).
std::string_view search_subject(const benchmark::State& state)
{
    return state.range(0) == 0 ? std::string_view("IMG_123456.jpg") : std::string_view("DSC_0001.jpg");
}

void search_plain(benchmark::State& state)
{
    const std::string_view subject = search_subject(state);
    std::cmatch match;
    for (auto _ : state) {
        bool found = std::regex_search(subject.data(), subject.data() + subject.size(), match,
                                       typical_pattern().matcher);
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(search_plain)->Arg(0)->Arg(1);

void search_bounded(benchmark::State& state)
{
    const std::string_view subject = search_subject(state);
    tarn::bounded_match match;
    for (auto _ : state) {
        tarn::start_match_budget();
        bool found = std::regex_search(tarn::counted_iterator(subject.data()),
                                       tarn::counted_iterator(subject.data() + subject.size()),
                                       match, typical_pattern().matcher);
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(search_bounded)->Arg(0)->Arg(1);

// The whole rewrite of a subject that matches (range 0), and of one without
// the pattern's literal text, which the screen turns away (range 1).
void rewrite_matches(benchmark::State& state)
{
    const std::string_view subject = search_subject(state);
    std::string result;
    for (auto _ : state) {
        bool matched = tarn::rewrite_matches(subject, typical_pattern(), typical_replacement, false, result);
        benchmark::DoNotOptimize(matched);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(rewrite_matches)->Arg(0)->Arg(1);

// The rewrite loop of a run over plain pointers: the same searches (one that
// matches, then one over the rest that does not), the same copying, and $n
// expanded from the match. It covers non-empty matches only, which is all the
// typical pattern yields; it exists to be compared with the bounded loop.
bool rewrite_plain(std::string_view subject, const tarn::compiled_pattern& compiled, std::string_view replacement,
                   std::string& result)
{
    namespace flags = std::regex_constants;
    const std::regex& pattern = compiled.matcher;
    const char* const begin = subject.data();
    const char* const end = begin + subject.size();
    result.clear();
    std::cmatch match;
    const char* copy_from = begin;
    bool matched = false;
    while (std::regex_search(copy_from, end, match, pattern,
                             copy_from == begin ? flags::match_default : flags::match_prev_avail)) {
        matched = true;
        result.append(copy_from, match[0].first);
        for (std::size_t i = 0; i < replacement.size(); ++i) {
            if (replacement[i] == '$' && i + 1 < replacement.size() && replacement[i + 1] >= '1' &&
                replacement[i + 1] <= '9') {
                const auto group = static_cast<std::size_t>(replacement[i + 1] - '0');
                if (group < match.size() && match[group].matched) {
                    result.append(match[group].first, match[group].second);
                }
                ++i;
            } else {
                result.push_back(replacement[i]);
            }
        }
        copy_from = match[0].second;
        if (copy_from == end || match[0].first == match[0].second) {
            break;
        }
    }
    if (matched) {
        result.append(copy_from, end);
    }
    return matched;
}

// The whole per-entry core of a flat run: subject, search and rewrite, with
// the bounded matcher the program uses ...
void core_bounded(benchmark::State& state)
{
    const tarn::run_options options;
    std::string result;
    for (auto _ : state) {
        tarn::subject_text text = tarn::build_subject(flat_entry, options);
        bool matched =
            tarn::rewrite_matches(text.subject, typical_pattern(), typical_replacement, false, result);
        benchmark::DoNotOptimize(matched);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(core_bounded);

// ... and the same over plain pointers, without budget or stack guard.
void core_plain(benchmark::State& state)
{
    const tarn::run_options options;
    std::string result;
    const std::string expected = tarn::rewrite_name("IMG_123456.jpg", typical_pattern(), typical_replacement, false);
    if (!rewrite_plain("IMG_123456.jpg", typical_pattern(), typical_replacement, result) ||
        result != expected) {
        state.SkipWithError("the plain rewrite does not give the program's result");
        return;
    }
    for (auto _ : state) {
        tarn::subject_text text = tarn::build_subject(flat_entry, options);
        bool matched = rewrite_plain(text.subject, typical_pattern(), typical_replacement, result);
        benchmark::DoNotOptimize(matched);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(core_plain);

}  // namespace

BENCHMARK_MAIN();
