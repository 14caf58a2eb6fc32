#include "cli/front_end.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tarn::command_kind;

// A parsed run in one line: option letters, verbosity, the s and short-form
// flags, then pattern, replacement and start path.
std::string describe(const tarn::command_line& c)
{
    const tarn::run_options& o = c.options;
    return std::string(o.recursive ? "r" : "") + (o.skip_extensions ? "E" : "") +
           (o.include_directories ? "d" : "") + (o.first_only ? "f" : "") + (o.dry_run ? "n" : "") +
           "v" + std::to_string(o.verbosity) + (c.use_start_argument ? " s" : "") +
           (c.short_form ? " short" : "") + " [" + c.pattern + "][" + c.replacement + "][" +
           c.start_path + "]";
}

TEST(CommandLine, DispatchByWordCountAndFields)
{
    const struct {
        std::vector<const char*> arguments;
        command_kind kind;
        const char* run = "";  // describe() of a run
    } cases[] = {
        {{}, command_kind::usage_error},
        {{"-V"}, command_kind::version},
        {{"-"}, command_kind::version},
        {{""}, command_kind::version},
        {{"-h"}, command_kind::help},
        {{"-Vx"}, command_kind::usage_error},
        {{"-x"}, command_kind::usage_error},
        {{"a", "b"}, command_kind::run, "v0 short [a][b][.]"},
        // A dash pattern of the short form is read as option letters too.
        {{"-r", "b"}, command_kind::run, "rv0 short [-r][b][.]"},
        {{"-", "b"}, command_kind::run, "v0 short [-][b][.]"},
        {{"-x", "b"}, command_kind::usage_error},
        {{"-vEvrfdnv", "p", "r"}, command_kind::run, "rEdfnv3 [p][r][.]"},
        {{"-", "a", "b"}, command_kind::run, "v0 [a][b][.]"},
        {{"-vq", "a", "b"}, command_kind::usage_error},
        {{"-s", "a", "b"}, command_kind::usage_error},
        {{"-rs", "a", "b"}, command_kind::usage_error},
        {{"-sv", "a", "b", "photos/2020"}, command_kind::run, "v1 s [a][b][photos/2020]"},
        {{"-r", "a", "b", "photos"}, command_kind::run, "rv0 [a][b][.]"},
        {{"a", "b", "c", "d"}, command_kind::usage_error},
        {{"-v", "a", "b", "c", "d"}, command_kind::usage_error},
    };
    for (const auto& c : cases) {
        std::vector<const char*> words = c.arguments;
        std::string shown;
        for (const char* word : words) {
            shown += std::string("[") + word + "]";
        }
        words.insert(words.begin(), "tarn");
        const tarn::command_line command =
            tarn::parse_command_line(static_cast<int>(words.size()), words.data());
        EXPECT_EQ(command.kind, c.kind) << shown;
        if (c.kind == command_kind::run) {
            EXPECT_EQ(describe(command), c.run) << shown;
        }
    }
}

}  // namespace
