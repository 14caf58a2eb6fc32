// The platform layer against a real file system: moves never replace an
// existing entry, and directory creation reports the error that matters.
// On Windows also its own rules: the parts of a path that are never created,
// the exact code-page conversion and the error texts.

#include "cli/front_end.h"
#include "engine/engine.h"
#include "platform/platform.h"
#ifdef _WIN32
#include "platform/windows/rules.h"
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;
namespace platform = tarn::platform;

void write_file(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const fs::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

// Every entry below a directory, each file with its content.
std::set<std::string> tree(const fs::path& path)
{
    std::set<std::string> entries;
    for (const auto& item : fs::recursive_directory_iterator(path)) {
        entries.insert(item.path().string() + (item.is_directory() ? "/" : "=" + read_file(item.path())));
    }
    return entries;
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
        fs::create_directories(root / "have" / "some");
        write_file(root / "file", "f");
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    fs::path root;
};

TEST_F(PlatformTest, MoveNeverReplacesAnExistingTarget)
{
    write_file(root / "other", "o");
    fs::create_directory(root / "empty");
    const std::set<std::string> before = tree(root);
    platform::directory_identity identity;
    std::error_code error;
    const auto dir = platform::open_typed_directory(root.native(), identity, error);
    for (const auto& [from, to] : {std::pair{"other", "file"}, {"have", "empty"}, {"empty", "have"},
                                   {"file", "empty"}, {"file", "have"}, {"have", "file"}}) {
        const fs::path source(from), target(to);
        EXPECT_EQ(outcome(platform::move_between(*dir, source.native(), *dir, target.native())), "exists") << from;
        EXPECT_EQ(tree(root), before) << from << " onto " << to;
    }
}

TEST_F(PlatformTest, NewNameDirectoriesMadeOrReported)
{
    write_file(root / "have" / "plain", "p");
#ifndef _WIN32
    fs::create_directory(root / "real");
    fs::create_directory_symlink("real", root / "to_dir");
    fs::create_symlink("nowhere", root / "dangling");
    // Own links are followed a name at a time: through another link, from
    // the root, up and back, into a file, round in a circle.
    fs::create_symlink("to_dir/", root / "chain");
    fs::create_symlink(root / "real", root / "absolute");
    fs::create_symlink(".././" + root.filename().native() + "//real", root / "up");
    fs::create_symlink("have/plain", root / "to_file");
    fs::create_symlink("loop", root / "loop");
#endif
    const std::pair<fs::path, std::string> cases[] = {
        // path, outcome: what is there counts, what is missing is made, and
        // a file in the way is reported, not what could not be made behind it
        {root / "new", "ok"}, {root / "have", "ok"}, {root / "file", "exists"}, {root / "none" / "x", "ok"},
        {root / "have" / "some" / "more", "ok"}, {root / "file" / "a" / "b", "exists"},
        {root / "have" / "plain", "exists"}, {root / "have" / ".." / "back", "ok"},
        {root / "have" / "." / "new" / ".." / "again", "ok"},
#ifndef _WIN32
        {root / "to_dir", "ok"}, {root / "dangling", "exists"}, {root / "chain" / "in", "ok"},
        {root / "absolute" / "a", "ok"}, {root / "up" / "u", "ok"}, {root / "to_file", "exists"},
        {root / "loop" / "x", "Too many levels of symbolic links"},
        {root / "made" / "also" / std::string(300, 'z') / "c", "File name too long"},
#endif
    };
    for (const auto& [path, expected] : cases) {
        tarn::way_cache ways;
        std::error_code error;
        platform::directory_identity identity;
        const auto working = platform::open_typed_directory({}, identity, error);
        if (!tarn::open_new_name_directory(ways, {working.get(), {}, 0, 0, {}}, path.native(), true, error)) {
            EXPECT_TRUE(error) << path;
        }
        EXPECT_EQ(outcome(error), expected) << path;
        std::error_code ignored;
        EXPECT_EQ(fs::is_directory(path, ignored), expected == "ok") << path;
    }
    EXPECT_EQ(read_file(root / "file") + read_file(root / "have" / "plain"), "fp");
#ifndef _WIN32
    EXPECT_FALSE(fs::exists(root / "nowhere"));
    EXPECT_TRUE(fs::is_directory(root / "made" / "also"));  // made before the failure, kept
#endif
}

// The listing's type settles a skip without a status query, which the -vv
// line shows, and a matching entry's type too: a dry run asks only whether the
// new name is taken. A rename that fails asks what asking first would have,
// so an entry gone since the listing is skipped as before.
TEST_F(PlatformTest, ListedTypesAndTheStatusQueriesTheySpare)
{
    using enum platform::listed_type;
    std::map<std::string, platform::listed_type> listed;
    decltype(listed) expected{{"file", regular}, {"have", directory}, {"some", directory}};
#ifndef _WIN32
    fs::create_symlink("file", root / "link");
    expected["link"] = unknown;
    const auto open_descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto descriptors_before = open_descriptors();
#endif
    tarn::visit_reversed(tarn::collect_entries(root.native(), true), [&](auto path, platform::listed_type type, auto) {
        listed[fs::path(path).filename().string()] = type;
    });
    EXPECT_EQ(listed, expected);
#ifndef _WIN32
    EXPECT_EQ(open_descriptors(), descriptors_before);  // every directory the walk opened is closed
#endif
    const std::string by_type = " Skipping     ", no_match = " Skipping         ", renamed = " Would rename   ";
    const std::tuple<const char*, platform::listed_type, const char*, bool, std::string> cases[] = {
        {"file", regular, "file", false, renamed}, {"gone", regular, "gone", false, renamed},
        {"have", regular, "have", false, renamed}, {"have", regular, "x", false, no_match},
        {"have", unknown, "x", false, by_type},    {"file", directory, "file", false, by_type},
        {"have", directory, "have", true, renamed}, {"file", unknown, "file", false, renamed},
        {"gone", regular, "gone", false, by_type},  // the last: a renaming run
    };
    platform::directory_identity identity;
    std::error_code error;
    const platform::directory_ref dir = platform::open_typed_directory(root.native(), identity, error);
    tarn::way_cache ways;
    for (const auto& [name, type, pattern, directories, lead] : cases) {
        const bool dry = &name != &std::get<0>(cases[std::size(cases) - 1]);
        const tarn::run_options options{2, dry, false, false, directories, false};  // at -vv
        testing::internal::CaptureStdout();
        const auto path = (root / name).native();
        tarn::process_entry({dir.get(), path, path.size() - std::string_view(name).size(), 0, {}}, type, ways,
                            tarn::compile_pattern(pattern), "new", options);
        const std::string line = testing::internal::GetCapturedStdout();
        EXPECT_EQ(line.substr(0, line.find('\'')), lead) << name << " listed as " << static_cast<int>(type);
    }
}

// How many words each command form reads: only those need a narrow form.
TEST(CommandLine, WordsEachFormReads)
{
    const std::pair<std::vector<const char*>, int> cases[] = {
        {{"tarn"}, 0}, {{"tarn", "-V"}, 1}, {{"tarn", "a", "b"}, 2}, {{"tarn", "-r", "a", "b"}, 3},
        {{"tarn", "-r", "a", "b", "c"}, 3}, {{"tarn", "-s", "a", "b", "c"}, 4}, {{"tarn", "x", "a", "b"}, 1},
        {{"tarn", "-x", "a", "b"}, 1}, {{"tarn", "a", "b", "c", "d", "e"}, 0}};
    for (const auto& [words, read] : cases) {
        EXPECT_EQ(tarn::parse_command_line(int(words.size()), words.data()).words_read, read) << words.size();
    }
}

#ifdef _WIN32
TEST(WindowsPaths, CreationRootAndBareDrive)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        // path, the part of it never created
        {L"x\\y", L""}, {L"D:\\x\\y", L"D:\\"}, {L"D:x\\y", L"D:"}, {L"\\x\\y", L"\\"},
        {L"\\\\server\\share\\x", L"\\\\server\\"}, {L"\\\\server", L"\\\\server"}, {L"\\??\\D:\\x", L"\\??\\D:\\"},
        {L"\\\\?\\D:\\x\\y", L"\\\\?\\D:\\"}, {L"\\\\?\\D:", L"\\\\?\\D:"}, {L"\\\\?\\Volume{1}\\x", L"\\\\?\\"},
    };
    for (const auto& [text, never_created] : cases) {
        const platform::native_view path(text);
        EXPECT_EQ(path.substr(0, platform::creation_root_length(path)), never_created)
            << platform::display_text(path);
    }
    for (const auto& [path, bare] : {std::pair{L"D:", true}, {L"z:", true}, {L"D:\\", false}, {L"1:", false}}) {
        EXPECT_EQ(platform::is_bare_drive(path), bare) << platform::display_text(path);
    }
}

// A listed path reaches exactly its entry: the typed part is resolved as the
// system resolves it, every name is kept, and the result is in long form.
TEST(WindowsPaths, ListedPathLongForm)
{
    wchar_t buffer[4096];
    const std::wstring cwd(buffer, GetCurrentDirectoryW(4096, buffer));
    ASSERT_EQ(cwd.substr(1, 2), L":\\") << "the test expects a current directory on a drive";
    const std::wstring here = L"\\\\?\\" + (cwd.back() == L'\\' ? cwd.substr(0, cwd.size() - 1) : cwd);
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L".", here}, {L"a\\.\\..\\b/c \\CON", here + L"\\b\\c \\CON"}, {L"D:/..", L"\\\\?\\D:\\"},
        {L"\\x\\..\\y.", L"\\\\?\\" + cwd.substr(0, 2) + L"\\y."}, {L"D:\\x\\..\\..\\y", L"\\\\?\\D:\\y"},
        {L"\\\\server\\share\\a\\..\\..\\b.", L"\\\\?\\UNC\\server\\share\\b."},
        {L"//server/share", L"\\\\?\\UNC\\server\\share\\"}, {L"\\\\.\\D:\\a\\.\\b ", L"\\\\?\\D:\\a\\b "},
        {L"\\\\?\\D:\\a\\..\\b.", L"\\\\?\\D:\\a\\..\\b."},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(platform::listed_path(path), expected) << platform::display_text(path);
    }
}

// New names that would address a data stream, a device, another drive's
// current directory or a name the system trims are refused; a drive-relative
// name is allowed only below the same bare drive as the listed entry.
TEST(WindowsPaths, StreamDeviceDriveAndTrimmedNamesRefused)
{
    for (const wchar_t* name : {L"b.txt", L"d:new", L"\\\\?\\D:\\x", L"D:\\x\\", L"CONSOLE", L"COM0", L"LPT10", L"xNUL",
                                L"\\\\server\\share\\x", L"conin", L"\\\\?\\D:\\CLOCK", L".\\x", L"..\\x"}) {
        EXPECT_FALSE(platform::check_new_name(name, L"D:old")) << platform::display_text(name);
    }
    for (const wchar_t* name : {L"ab:c", L"x\\a:b\\c.txt", L"D:\\f.txt:s", L"\\\\?\\D:\\x:y", L"con.txt", L"NUL ",
                                L"sub\\AUX\\x.txt", L"lpt9.tar.gz", L"COM\x00B9 .txt", L"\\\\srv\\share\\a:b",
                                L"\\\\?\\D:\\x\\NUL", L"\\\\.\\D:\\CONIN$", L"conout$.txt", L"CLOCK$", L"c:notes.txt",
                                L"C:", L"e:x", L"gone.\\x.txt", L"x\\gone \\y", L"gone.", L"a:b\\..\\c.txt",
                                L"\\\\?\\D:\\x:y\\..\\z"}) {
        const std::error_code error = platform::check_new_name(name, L"D:old");
        EXPECT_EQ(error.value(), ERROR_INVALID_NAME) << platform::display_text(name);
        EXPECT_TRUE(platform::is_not_found(error));
    }
    EXPECT_TRUE(platform::is_not_found(platform::not_a_directory_error()));  // a path through a file
    EXPECT_TRUE(platform::is_not_found(std::error_code(ERROR_NOT_READY, std::system_category())));  // no medium
    EXPECT_FALSE(platform::is_not_found(std::error_code(ERROR_ACCESS_DENIED, std::system_category())));
    // Where each name the system would trim ends; a typed path as it reads it.
    const std::tuple<const wchar_t*, std::vector<std::size_t>, const wchar_t*> trimmed[] = {
        {L"a.\\b \\c", {2, 5}, L"a\\b\\c"}, {L".\\..\\x", {}, L".\\..\\x"}, {L"x. .", {4}, L"x"},
        {L"...\\y", {3}, L"...\\y"}, {L"\\\\?\\D:\\a.", {9}, L"\\\\?\\D:\\a."}};
    for (const auto& [path, ends, reading] : trimmed) {
        std::vector<std::size_t> found;
        for (auto end = platform::trimmed_element_end(path, 0); end != std::wstring::npos;
             end = platform::trimmed_element_end(path, end + 1)) {
            found.push_back(end);
        }
        EXPECT_EQ(found, ends) << platform::display_text(path);
        EXPECT_EQ(platform::typed_path(path), reading);
    }
}

// What a move to another volume refuses, and what it asks for, decided from
// the reparse tag, the number of named streams, the volume's flags and the
// source's attributes.
TEST(WindowsMoves, ReparseTagsStreamsAndAccess)
{
    for (const auto& [tag, refused, special] :
         {std::tuple{0ul, true, false}, {IO_REPARSE_TAG_SYMLINK, true, false}, {IO_REPARSE_TAG_WOF, false, false},
          {IO_REPARSE_TAG_AF_UNIX, true, true}, {IO_REPARSE_TAG_APPEXECLINK, true, true},
          {IO_REPARSE_TAG_MOUNT_POINT, true, false}, {IO_REPARSE_TAG_CLOUD_6, false, false},
          {IO_REPARSE_TAG_DEDUP, false, false}}) {
        EXPECT_EQ(platform::copy_refuses_reparse_tag(tag), refused) << std::hex << tag;
        EXPECT_EQ(platform::is_special_reparse_tag(tag), special) << std::hex << tag;
    }
    // 2: case-preserved names, as a FAT volume says, with no named streams
    for (const auto& [streams, flags, lost] : {std::tuple{1u, 2ul, true}, {2u, 0ul, true}, {0u, 2ul, false},
                                               {3u, 2ul | FILE_NAMED_STREAMS, false}}) {
        EXPECT_EQ(platform::streams_would_be_lost(streams, flags), lost) << streams << " " << flags;
    }
    EXPECT_EQ(platform::source_access(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN), GENERIC_READ | DELETE);
    EXPECT_EQ(platform::source_access(FILE_ATTRIBUTE_READONLY), GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES);
}

// Links on a new name's way: which entries are links, whose are followed,
// and how "." and ".." continue the way.
TEST(WindowsWays, LinksOwnersAndSteps)
{
    const unsigned long directory = FILE_ATTRIBUTE_DIRECTORY, reparse = directory | FILE_ATTRIBUTE_REPARSE_POINT;
    for (const auto& [attributes, tag, link] :
         {std::tuple{reparse, IO_REPARSE_TAG_MOUNT_POINT, true}, {reparse, IO_REPARSE_TAG_SYMLINK, true},
          {reparse, 0ul, true}, {reparse, IO_REPARSE_TAG_CLOUD_6, false}, {reparse, IO_REPARSE_TAG_DEDUP, false},
          {directory, IO_REPARSE_TAG_SYMLINK, false}, {directory, 0ul, false}}) {
        EXPECT_EQ(platform::is_link(attributes, tag), link) << std::hex << attributes << " " << tag;
    }
    using kind = platform::owner_kind;
    const wchar_t* user = L"S-1-5-21-1-2-3-1001";
    for (const auto& [owner, expected] :
         {std::pair{user, kind::self}, {L"S-1-5-32-544", kind::administrators}, {L"S-1-5-18", kind::system},
          {L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", kind::trusted_installer},
          {L"S-1-5-21-1-2-3-1002", kind::other}, {L"S-1-5-32-545", kind::other}, {L"S-1-5-21-1-2-3-100", kind::other},
          {L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465", kind::other}, {L"", kind::other}}) {
        EXPECT_EQ(platform::kind_of_owner(owner, user), expected) << owner;
        EXPECT_EQ(platform::follows_link_of(expected), expected != kind::other);
    }
    EXPECT_EQ(platform::kind_of_owner(L"", L""), kind::other);  // an unknown owner is not the user
    using enum platform::way_step;
    for (const auto& [element, step] : {std::pair{L".", stay}, {L"..", back}, {L"...", name}, {L". ", name},
                                        {L".. ", name}, {L"a", name}}) {
        EXPECT_EQ(platform::way_step_of(element), step);
    }
}

// Whatever the code page, a name converts exactly or not at all: a best-fit
// or default character in its place would name another file. Code page 1252
// would best-fit A with a macron to "A"; a lone surrogate has no narrow form
// in any code page.
TEST(WindowsNames, ConversionIsExactOrAnError)
{
    // name, its narrow form under code page 1252 or none; the lone surrogate
    // comes first, as it has none under any code page
    const std::pair<std::wstring, const char*> cases[] = {
        {L"a\xD800" L"b", nullptr}, {L"plain name.txt", "plain name.txt"}, {L"", ""}, {L"caf\x00E9", "caf\xE9"},
        {L"\x0100", nullptr}, {L"\x65E5\x672C", nullptr},
    };
    const bool latin = (AreFileApisANSI() ? GetACP() : GetOEMCP()) == 1252;  // else the end-to-end cases cover 932
    for (std::size_t i = 0; i < (latin ? std::size(cases) : 1); ++i) {
        const auto& [name, narrow] = cases[i];
        std::error_code error;
        EXPECT_EQ(platform::narrow_text(name, error), narrow ? narrow : "") << platform::display_text(name);
        EXPECT_EQ(error.value(), narrow ? 0 : ERROR_NO_UNICODE_TRANSLATION);
        if (narrow) {
            EXPECT_EQ(platform::native_text(narrow, error), name);
            EXPECT_FALSE(error);
        }
    }
}

TEST(WindowsErrors, UnknownCodesAndTextsOverSeveralLines)
{
    // A code with no system text gets a fixed one; a text over several
    // lines becomes one line.
    EXPECT_EQ(platform::error_text(std::error_code(0x7FFF1234, std::system_category())), "unknown error");
    struct two_lines : std::error_category {
        const char* name() const noexcept override { return "two lines"; }
        std::string message(int) const override { return "First line.\r\n\r\nSecond line.\r\n"; }
    } category;
    EXPECT_EQ(platform::error_text(std::error_code(1, category)), "First line. Second line.");
}
#endif

}  // namespace
