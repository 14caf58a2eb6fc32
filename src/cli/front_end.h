#pragma once

// The command front end: reads the command line by its number of words,
// answers -V and -h, compiles the pattern, checks the start directory, runs
// the walk and reports how it ended.

#include "platform/platform.h"
#include "tarn/run_options.h"

#include <string>

namespace tarn {

extern const std::string version_text;

enum class command_kind { usage_error, version, help, run };

struct command_line {
    command_kind kind = command_kind::usage_error;
    run_options options;
    bool use_start_argument = false;
    bool short_form = false;  // three words: pattern errors are worded without the pattern
    std::string pattern;
    std::string replacement;
    std::string start_path = ".";
    int words_read = 0;  // how many words after the program's name the form reads
};

// What the words ask for, decided without touching anything.
command_line parse_command_line(int word_count, const char* const* words);

void print_usage();
void print_version();

// The whole run; returns the exit status.
int run_tarn(int word_count, const char* const* words);

// The whole run from the words as the system holds them. Each argument the
// command form reads is converted exactly to narrow text first; one that has
// no exact form ends the run with status 2 before anything is listed.
int run_tarn_native(int word_count, platform::native_char** words);

}  // namespace tarn
