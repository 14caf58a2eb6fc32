#include "cli/front_end.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tarn::command_kind;

tarn::command_line parse(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "tarn");
    return tarn::parse_command_line(static_cast<int>(arguments.size()), arguments.data());
}

TEST(CommandLine, DispatchByWordCount)
{
    const struct {
        std::vector<const char*> arguments;
        command_kind kind;
    } cases[] = {
        {{}, command_kind::usage_error},
        {{"-V"}, command_kind::version},
        {{"-"}, command_kind::version},
        {{""}, command_kind::version},
        {{"-h"}, command_kind::help},
        {{"-Vx"}, command_kind::usage_error},
        {{"-x"}, command_kind::usage_error},
        {{"-hh"}, command_kind::usage_error},
        {{"V"}, command_kind::usage_error},
        {{"a", "b"}, command_kind::run},
        {{"-r", "b"}, command_kind::run},
        {{"-x", "b"}, command_kind::usage_error},
        {{"-s", "b"}, command_kind::usage_error},
        {{"-v", "a", "b"}, command_kind::run},
        {{"v", "a", "b"}, command_kind::usage_error},
        {{"-s", "a", "b"}, command_kind::usage_error},
        {{"-rs", "a", "b"}, command_kind::usage_error},
        {{"-s", "a", "b", "dir"}, command_kind::run},
        {{"-r", "a", "b", "dir"}, command_kind::run},
        {{"-", "a", "b"}, command_kind::run},
        {{"-vq", "a", "b"}, command_kind::usage_error},
        {{"a", "b", "c", "d"}, command_kind::usage_error},
        {{"-v", "a", "b", "c", "d"}, command_kind::usage_error},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const char* argument : c.arguments) {
            shown += std::string("[") + argument + "]";
        }
        EXPECT_EQ(parse(c.arguments).kind, c.kind) << shown;
    }
}

TEST(CommandLine, OptionLettersFillTheOptions)
{
    const tarn::command_line command = parse({"-vEvrfdnv", "p", "r"});
    EXPECT_EQ(command.options.verbosity, 3);
    EXPECT_TRUE(command.options.skip_extensions);
    EXPECT_TRUE(command.options.recursive);
    EXPECT_TRUE(command.options.first_only);
    EXPECT_TRUE(command.options.include_directories);
    EXPECT_TRUE(command.options.dry_run);
    EXPECT_EQ(command.pattern, "p");
    EXPECT_EQ(command.replacement, "r");
    EXPECT_EQ(command.start_path, ".");

    const tarn::command_line bare = parse({"-", "p", "r"});
    EXPECT_EQ(bare.options.verbosity, 0);
    EXPECT_FALSE(bare.options.recursive || bare.options.dry_run || bare.options.first_only);
}

TEST(CommandLine, ShortFormReadsAPatternThatLooksLikeOptions)
{
    const tarn::command_line command = parse({"-r", "x"});
    EXPECT_TRUE(command.short_form);
    EXPECT_TRUE(command.options.recursive);
    EXPECT_EQ(command.pattern, "-r");
    EXPECT_EQ(command.replacement, "x");
}

TEST(CommandLine, StartDirectoryOnlyWithS)
{
    const tarn::command_line with_s = parse({"-sv", "p", "r", "photos/2020"});
    EXPECT_TRUE(with_s.use_start_argument);
    EXPECT_FALSE(with_s.short_form);
    EXPECT_EQ(with_s.start_path, "photos/2020");

    const tarn::command_line without_s = parse({"-r", "p", "r", "photos"});
    EXPECT_FALSE(without_s.use_start_argument);
    EXPECT_EQ(without_s.start_path, ".");
}

}  // namespace
