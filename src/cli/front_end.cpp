#include "cli/front_end.h"

#include "engine/bounded_match.h"
#include "engine/engine.h"
#include "engine/fs_error.h"
#include "platform/platform.h"
#include "tarn/output.h"

#include <cstring>
#include <iostream>
#include <regex>
#include <vector>

namespace tarn {

const std::string version_text = "2.0.0";

namespace {

// Reads the letters after the leading '-'. Returns false for a letter the
// program does not know, or s without a start directory to take.
bool read_option_word(const char* word, int word_count, command_line& command)
{
    for (const char* letter = word + 1; *letter != '\0'; ++letter) {
        switch (*letter) {
        case 'E': command.options.skip_extensions = true; break;
        case 'r': command.options.recursive = true; break;
        case 'f': command.options.first_only = true; break;
        case 'v': ++command.options.verbosity; break;
        case 'd': command.options.include_directories = true; break;
        case 'n': command.options.dry_run = true; break;
        case 's':
            if (word_count != 5) {
                return false;
            }
            command.use_start_argument = true;
            break;
        default: return false;
        }
    }
    return true;
}

// Compares at most the word's own length, so that a prefix of the command
// (down to the empty word) selects it.
bool selects_command(const char* word, const char* command)
{
    return std::strncmp(word, command, std::strlen(word)) == 0;
}

void report_pattern_error(const command_line& command)
{
    if (command.short_form) {
        write_line(std::cerr, "tarn could not parse your input regex.");
    } else {
        write_line(std::cerr, "tarn could not parse your input regex: " + command.pattern);
    }
    write_line(std::cerr, "Aborted.");
}

int run_walk_command(const command_line& command)
{
    try {
        const compiled_pattern pattern = compile_pattern(command.pattern);
        std::string start_path = command.start_path;
        if (command.use_start_argument) {
            std::error_code error;
            const platform::native_string start = platform::native_text(start_path, error);
            platform::entry_type type = platform::entry_type::none;
            if (!error) {
                type = platform::status(platform::typed_path(start), error);
            }
            if (error && !platform::is_not_found(error)) {
                stop_run_narrow("status", start_path, error);
            }
            if (type != platform::entry_type::directory) {
                write_line(std::cerr, start_path + " does not seem to be a directory. Aborting.");
                return 1;
            }
        }

        const rename_tally total = run_walk(start_path, pattern, command.replacement, command.options);

        if (command.options.verbosity > 0) {
            // Appended piece by piece: GCC 12 at -O3 mistakes some chains of
            // string + for overlapping copies (-Wrestrict).
            std::string line = " [STATS] ";
            if (command.options.dry_run) {
                line += "The simulation suggested ";
                line += std::to_string(total.renamed);
                line += " renames. Note that some of them might fail.";
            } else {
                line += "Renamed ";
                line += std::to_string(total.renamed);
                line += " files ";
                if (command.options.include_directories) {
                    line += "and directories ";
                }
                line += "(";
                line += std::to_string(total.failed);
                line += " failed, ";
                line += std::to_string(total.skipped);
                line += " skipped).";
            }
            write_line(std::cout, std::move(line));
        }
        return 0;
    } catch (const std::regex_error&) {
        report_pattern_error(command);
        return 1;
    }
}

}  // namespace

command_line parse_command_line(int word_count, const char* const* words)
{
    command_line command;
    if (word_count <= 1 || word_count >= 6) {
        return command;
    }
    command.words_read = 1;
    if (word_count > 2 && words[1][0] == '-' && !read_option_word(words[1], word_count, command)) {
        return command;
    }
    if (word_count == 2) {
        if (selects_command(words[1], "-V")) {
            command.kind = command_kind::version;
        } else if (selects_command(words[1], "-h")) {
            command.kind = command_kind::help;
        }
        return command;
    }
    if (word_count == 3) {
        command.words_read = 2;
        command.kind = command_kind::run;
        command.short_form = true;
        command.pattern = words[1];
        command.replacement = words[2];
        return command;
    }
    if (words[1][0] != '-') {
        return command;
    }
    command.words_read = command.use_start_argument ? 4 : 3;
    command.kind = command_kind::run;
    command.pattern = words[2];
    command.replacement = words[3];
    if (command.use_start_argument) {
        command.start_path = words[4];
    }
    return command;
}

void print_usage()
{
    std::cout << "\n"
                 " This is tarn - move files using regular expressions.\n"
                 "\n"
                 " USAGE:\n"
                 "\ttarn [COMMANDS]\n"
                 "\ttarn [OPTIONS] <regex> <replacement> [<startpath>]\n"
                 "\n"
                 " OPTIONS (any combination):\n"
                 "\t-r\tRecurse into subdirectories.\n"
                 "\t-E\tSkip file extensions while renaming.\n"
                 "\t-d\tAlso rename directories on the way.\n"
                 "\t-s\tSets the start directory to the last parameter;\n"
                 "\t\telse, tarn will start in '.'.\n"
                 "\t-f\tOnly replaces the first occurrence in each name.\n"
                 "\t-v\tVerbose logging.\n"
                 "\t-vv\tVery verbose logging.\n"
                 "\t-n\tDry run - don't modify anything just yet.\n"
                 "\n"
                 " COMMANDS:\n"
                 "\t-V\tDisplay the tarn version and exit.\n"
                 "\t-h\tDisplay this help screen and exit.\n"
                 "\n"
                 " You can use $1, $2 etc. in your replacement strings for back-\n"
                 " references.\n"
                 "\n"
              << std::flush;
}

void print_version()
{
    write_line(std::cout, "");
    write_line(std::cout, "This is tarn version " + version_text + ".");
}

int run_tarn(int word_count, const char* const* words)
{
    platform::prepare_console();
    const command_line command = parse_command_line(word_count, words);
    try {
        int status = 1;
        switch (command.kind) {
        case command_kind::usage_error: print_usage(); break;
        case command_kind::help: print_usage(); status = 0; break;
        case command_kind::version: print_version(); status = 0; break;
        case command_kind::run: status = run_walk_command(command); break;
        }
        // A report that never reached its reader is not a success.
        if (status == 0 && std::cout.bad()) {
            write_line(std::cerr, "tarn: the report could not be written to the standard output");
            return 2;
        }
        return status;
    } catch (const run_stopped& stop) {
        write_line(std::cerr, "tarn: " + stop.operation + " failed for \"" + stop.path +
                                  "\": " + platform::error_text(stop.error));
        return 2;
    } catch (const std::exception& error) {
        // Out of memory, or a path too long to hold: the run cannot go on.
        write_line(std::cerr, std::string("tarn: ") + error.what());
        return 2;
    }
}

int run_tarn_native(int word_count, platform::native_char** words)
{
    // The program's own name is never read, so it need not convert.
    std::vector<std::string> narrow{"tarn"};
    int unconverted = 0;
    std::error_code first_error;
    for (int index = 1; index < word_count; ++index) {
        std::error_code error;
        narrow.push_back(platform::narrow_text(words[index], error));
        if (error && unconverted == 0) {
            unconverted = index;
            first_error = error;
        }
    }
    std::vector<const char*> pointers;
    for (const std::string& word : narrow) {
        pointers.push_back(word.c_str());
    }
    pointers.push_back(nullptr);
    // The form follows from the number of words and the first one; a word
    // it never reads need not have a narrow form.
    if (unconverted != 0 && unconverted <= parse_command_line(word_count, pointers.data()).words_read) {
        platform::prepare_console();
        write_line(std::cerr, "tarn: argument " + std::to_string(unconverted) +
                                  " has no exact form in the code page: " + platform::error_text(first_error));
        return 2;
    }
    return run_tarn(word_count, pointers.data());
}

}  // namespace tarn
