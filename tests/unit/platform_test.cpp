// The platform layer against a real file system: moves never replace an
// existing entry, and directory creation reports the error that matters.

#include "engine/engine.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <system_error>
#include <tuple>

namespace {

namespace fs = std::filesystem;
namespace platform = tarn::platform;

void write_file(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// An entry as text: a file's content, "{name:...}" for a directory (at most
// one entry in these tests), "<missing>".
std::string state(const fs::path& path)
{
    if (fs::is_directory(path)) {
        std::string text = "{";
        for (const auto& item : fs::directory_iterator(path)) {
            text += item.path().filename().string() + ":" + state(item.path());
        }
        return text + "}";
    }
    std::ifstream stream(path, std::ios::binary);
    return stream ? std::string(std::istreambuf_iterator<char>(stream), {}) : "<missing>";
}

// An outcome as text: "ok", "exists", "not found" or the system's own text.
std::string outcome(std::error_code error)
{
#ifdef _WIN32
    const bool exists = error.value() == 80 || error.value() == 183;  // file exists, already exists
#else
    const bool exists = error.value() == EEXIST;
#endif
    return !error ? "ok" : exists ? "exists" : platform::is_not_found(error) ? "not found" : error.message();
}

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        root = fs::temp_directory_path() / ("tarn-platform-" + std::to_string(stamp));
        fs::create_directories(root);
        write_file(root / "file", "f");
        fs::create_directories(root / "have" / "some");
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    fs::path root;
};

TEST_F(PlatformTest, MoveEntryNeverReplacesAnExistingTarget)
{
    // f: a file; d: a directory with a file in it; e: an empty directory.
    auto make = [](const fs::path& path, char kind) {
        if (kind == 'f') {
            write_file(path, path.filename().string());
            return;
        }
        fs::create_directory(path);
        if (kind == 'd') {
            write_file(path / "inside", path.filename().string());
        }
    };
    int number = 0;
    for (const std::string kinds : {"ff", "fe", "fd", "de", "dd", "df"}) {
        const fs::path from = root / ("from" + std::to_string(number));
        const fs::path to = root / ("to" + std::to_string(number++));
        make(from, kinds[0]);
        make(to, kinds[1]);
        const std::string before = state(from) + " " + state(to);
        EXPECT_EQ(outcome(platform::move_entry(from.native(), to.native())), "exists") << kinds;
        EXPECT_EQ(state(from) + " " + state(to), before) << kinds;
    }
}

TEST_F(PlatformTest, CreateDirectoryAndCreateMissingDirectories)
{
    write_file(root / "have" / "plain", "p");
#ifndef _WIN32
    fs::create_directory(root / "real");
    fs::create_directory_symlink("real", root / "to_dir");
    fs::create_symlink("file", root / "to_file");
    fs::create_symlink("nowhere", root / "dangling");
#endif
    const std::string too_long(300, 'z');
    const struct {
        fs::path path;
        bool missing_too;  // create_missing_directories rather than one level
        std::string expected;
    } cases[] = {
        {root / "new", false, "ok"},
        {root / "have", false, "ok"},
        {root / "file", false, "exists"},
        {root / "none" / "x", false, "not found"},
        {root / "file" / "x", false, "not found"},
        {root / "have" / "some" / "more", true, "ok"},
        // The file fails with "exists", every element behind it with a
        // not-found error: the step reports the file, not the last failure.
        {root / "file" / "a" / "b", true, "exists"},
        {root / "have" / "plain", true, "exists"},
#ifndef _WIN32
        {root / "to_dir", false, "ok"},
        {root / "to_file", false, "exists"},
        {root / "dangling", false, "exists"},
        {root / "made" / "also" / too_long / "c", true, "File name too long"},
#endif
    };
    for (const auto& c : cases) {
        const std::error_code error = c.missing_too ? tarn::create_missing_directories(c.path.native())
                                                    : platform::create_directory(c.path.native());
        EXPECT_EQ(outcome(error), c.expected) << c.path;
        std::error_code ignored;
        EXPECT_EQ(fs::is_directory(c.path, ignored), c.expected == "ok") << c.path;
    }
    EXPECT_EQ(state(root / "file") + state(root / "have" / "plain"), "fp");
#ifndef _WIN32
    EXPECT_FALSE(fs::exists(root / "nowhere"));
    EXPECT_TRUE(fs::is_directory(root / "made" / "also"));  // made before the failure, kept
#endif
}

// The listing's type settles a skip without a status query, which the -vv
// line shows; a matching entry is queried afresh, so a type the tree no longer
// agrees with (another process changed it) never leads to a rename.
TEST_F(PlatformTest, ListedTypesAndTheStatusQueriesTheySpare)
{
    using enum platform::listed_type;
    std::map<std::string, platform::listed_type> listed;
    std::map<std::string, platform::listed_type> expected{{"file", regular}, {"have", directory}, {"some", directory}};
#ifndef _WIN32
    fs::create_symlink("file", root / "link");
    expected["link"] = unknown;
#endif
#ifndef _WIN32
    const auto open_descriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    const auto descriptors_before = open_descriptors();
#endif
    tarn::visit_reversed(tarn::collect_entries(root.native(), true), [&](auto path, platform::listed_type type) {
        listed[fs::path(path).filename().string()] = type;
    });
    EXPECT_EQ(listed, expected);
#ifndef _WIN32
    EXPECT_EQ(open_descriptors(), descriptors_before);  // every directory the walk opened is closed
#endif
    const std::string by_type = " Skipping     ", no_match = " Skipping         ", renamed = " Would rename   ";
    const std::tuple<const char*, platform::listed_type, const char*, bool, std::string> cases[] = {
        {"file", regular, "file", false, renamed}, {"gone", regular, "gone", false, by_type},
        {"have", regular, "have", false, by_type}, {"have", regular, "x", false, no_match},
        {"have", unknown, "x", false, by_type},    {"file", directory, "file", false, by_type},
        {"have", directory, "have", true, renamed}, {"file", unknown, "file", false, renamed},
    };
    for (const auto& [name, type, pattern, directories, lead] : cases) {
        const tarn::run_options options{2, true, false, false, directories, false};  // a dry run at -vv
        testing::internal::CaptureStdout();
        tarn::process_entry((root / name).native(), type, std::regex(pattern), "new", options);
        const std::string line = testing::internal::GetCapturedStdout();
        EXPECT_EQ(line.substr(0, line.find('\'')), lead) << name << " listed as " << static_cast<int>(type);
    }
}

}  // namespace
