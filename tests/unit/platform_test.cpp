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
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;
namespace platform = tarn::platform;

bool is_already_exists(std::error_code error)
{
#ifdef _WIN32
    return error.value() == 80 || error.value() == 183;  // file exists, already exists
#else
    return error.value() == EEXIST;
#endif
}

void write_file(const fs::path& path, const std::string& content)
{
    std::ofstream stream(path, std::ios::binary);
    stream << content;
}

// The content of a file, or "<missing>" / "<directory>" for what is not one.
std::string read_entry(const fs::path& path)
{
    if (fs::is_directory(path)) {
        return "<directory>";
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return "<missing>";
    }
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        root = fs::temp_directory_path() / ("tarn-platform-" + std::to_string(stamp));
        fs::create_directories(root);
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
    enum kind { file, empty_directory, full_directory };
    const struct {
        const char* name;
        kind from;
        kind to;
    } cases[] = {
        {"file onto file", file, file},
        {"file onto empty directory", file, empty_directory},
        {"file onto directory", file, full_directory},
        {"directory onto empty directory", full_directory, empty_directory},
        {"directory onto directory", full_directory, full_directory},
        {"directory onto file", full_directory, file},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path from = root / ("from" + std::to_string(number));
        const fs::path to = root / ("to" + std::to_string(number));
        ++number;
        auto make = [](const fs::path& path, kind what, const std::string& content) {
            if (what == file) {
                write_file(path, content);
            } else {
                fs::create_directory(path);
                if (what == full_directory) {
                    write_file(path / "inside", content);
                }
            }
        };
        make(from, c.from, "source");
        make(to, c.to, "target");

        const std::error_code error = platform::move_entry(from.native(), to.native());
        EXPECT_TRUE(is_already_exists(error)) << error.value() << " " << error.message();

        const fs::path from_file = c.from == file ? from : from / "inside";
        EXPECT_EQ(read_entry(from_file), "source");
        if (c.to == file) {
            EXPECT_EQ(read_entry(to), "target");
        } else if (c.to == full_directory) {
            EXPECT_EQ(read_entry(to / "inside"), "target");
        } else {
            EXPECT_TRUE(fs::is_directory(to));
            EXPECT_TRUE(fs::is_empty(to));
        }
    }
}

TEST_F(PlatformTest, MoveEntryRenamesFilesAndDirectories)
{
    write_file(root / "a.txt", "a");
    ASSERT_FALSE(platform::move_entry((root / "a.txt").native(), (root / "b.txt").native()));
    EXPECT_EQ(read_entry(root / "a.txt"), "<missing>");
    EXPECT_EQ(read_entry(root / "b.txt"), "a");

    fs::create_directory(root / "d");
    write_file(root / "d" / "f", "f");
    ASSERT_FALSE(platform::move_entry((root / "d").native(), (root / "e").native()));
    EXPECT_FALSE(fs::exists(root / "d"));
    EXPECT_EQ(read_entry(root / "e" / "f"), "f");

    // A source that is gone is an error of the not-found kind.
    const std::error_code error =
        platform::move_entry((root / "gone").native(), (root / "x").native());
    EXPECT_TRUE(error);
    EXPECT_TRUE(platform::is_not_found(error)) << error.message();
    EXPECT_FALSE(fs::exists(root / "x"));
}

TEST_F(PlatformTest, CreateDirectory)
{
    write_file(root / "file", "f");
    fs::create_directory(root / "existing");

    EXPECT_FALSE(platform::create_directory((root / "new").native()));
    EXPECT_TRUE(fs::is_directory(root / "new"));

    EXPECT_FALSE(platform::create_directory((root / "existing").native()));

    const std::error_code over_file = platform::create_directory((root / "file").native());
    EXPECT_TRUE(is_already_exists(over_file)) << over_file.message();
    EXPECT_EQ(read_entry(root / "file"), "f");

    const std::error_code no_parent = platform::create_directory((root / "none" / "x").native());
    EXPECT_TRUE(no_parent);
    EXPECT_TRUE(platform::is_not_found(no_parent)) << no_parent.message();

    const std::error_code behind_file = platform::create_directory((root / "file" / "x").native());
    EXPECT_TRUE(behind_file);
    EXPECT_TRUE(platform::is_not_found(behind_file)) << behind_file.message();
}

#ifndef _WIN32
TEST_F(PlatformTest, CreateDirectoryFollowsLinks)
{
    fs::create_directory(root / "real");
    fs::create_directory_symlink("real", root / "to_dir");
    write_file(root / "f", "f");
    fs::create_symlink("f", root / "to_file");
    fs::create_symlink("nowhere", root / "dangling");

    EXPECT_FALSE(platform::create_directory((root / "to_dir").native()));
    EXPECT_TRUE(is_already_exists(platform::create_directory((root / "to_file").native())));
    EXPECT_TRUE(is_already_exists(platform::create_directory((root / "dangling").native())));
    EXPECT_FALSE(fs::exists(root / "nowhere"));
}
#endif

TEST_F(PlatformTest, CreateMissingDirectoriesReportsTheErrorThatMatters)
{
    write_file(root / "file", "f");
    fs::create_directories(root / "have" / "some");

    EXPECT_FALSE(tarn::create_missing_directories((root / "x" / "y" / "z").native()));
    EXPECT_TRUE(fs::is_directory(root / "x" / "y" / "z"));

    EXPECT_FALSE(tarn::create_missing_directories((root / "have" / "some").native()));
    EXPECT_FALSE(tarn::create_missing_directories((root / "have" / "some" / "more").native()));
    EXPECT_TRUE(fs::is_directory(root / "have" / "some" / "more"));

    // The file fails with "exists"; every element behind it then fails with
    // a not-found error. The step reports the file, not the last failure.
    const std::error_code behind = tarn::create_missing_directories((root / "file" / "a" / "b").native());
    EXPECT_TRUE(is_already_exists(behind)) << behind.value() << " " << behind.message();
    EXPECT_EQ(read_entry(root / "file"), "f");

    write_file(root / "have" / "plain", "p");
    const std::error_code at_end = tarn::create_missing_directories((root / "have" / "plain").native());
    EXPECT_TRUE(is_already_exists(at_end)) << at_end.message();
    EXPECT_EQ(read_entry(root / "have" / "plain"), "p");

#ifndef _WIN32
    // Directories made before a failure stay in place.
    const std::string too_long(300, 'z');
    const std::error_code deep =
        tarn::create_missing_directories((root / "made" / "also" / too_long / "c").native());
    EXPECT_EQ(deep.value(), ENAMETOOLONG) << deep.message();
    EXPECT_TRUE(fs::is_directory(root / "made" / "also"));
#endif
}

}  // namespace
