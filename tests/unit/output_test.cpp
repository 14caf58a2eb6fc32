#include "tarn/output.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(Output, QuotedPathAndWholeLines)
{
    const struct {
        const char* path;
        const char* quoted;
    } cases[] = {
        {"", R"("")"},
        {".\\a.txt", R"(".\\a.txt")"},
        {"./a.txt", R"("./a.txt")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"\\\\", R"("\\\\")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tarn::quoted_path(c.path), c.quoted) << c.path;
    }
    std::ostringstream out;
    tarn::write_line(out, " Renaming");
    EXPECT_EQ(out.str(), " Renaming\n");
}

}  // namespace
