// The key table against what users read of it: the README's table of
// vdwflow's own keys and `vdwflow --keys`.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "keys.h"
#include "test_support.h"

namespace {

using namespace test_support;

// The README's rows: every key in the first column (in backticks), every
// word of a key that takes one in the second, and no other key.
TEST(Keys, TheReadmeTableListsEveryOwnKeyWithItsWords)
{
    std::set<std::string> listed;
    std::string rows;
    for (const std::string &line : lines_of(read_file(LEAN_SOURCE_DIR "/../README.md"))) {
        if (line.rfind("| `-h", 0) != 0) continue;
        const std::string first = line.substr(0, line.find('|', 1));
        for (size_t at = first.find("`-"); at != std::string::npos; at = first.find("`-", at + 1))
            listed.insert(first.substr(at + 1, first.find('`', at + 1) - at - 1));
        rows += line + "\n";
    }
    std::set<std::string> own;
    for (const lean::key &k : lean::keys()) {
        if (k.every_program) continue;
        own.insert(k.name);
        const size_t row = rows.find(std::string("| `") + k.name + "`");
        const size_t row_in_list = rows.find(std::string("`") + k.name + "`");
        const size_t at = row != std::string::npos ? row : row_in_list;
        if (at == std::string::npos) continue;  // (reported below)
        const std::string line = rows.substr(at, rows.find('\n', at) - at);
        for (const char *word : k.words)
            EXPECT_NE(line.find(std::string("`") + word + "`"), std::string::npos)
                << k.name << "'s word " << word << " is not in its README row";
    }
    EXPECT_EQ(listed, own);
}

// `vdwflow --keys` prints the table: every key, its kind and words.
TEST(Keys, TheProgramPrintsItsTable)
{
    TempDir dir;
    const ProcessResult r = run_program(VDWFLOW_PATH, dir.path(), {}, {}, {"--keys"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lean::keys_json());
    for (const lean::key &k : lean::keys())
        EXPECT_NE(r.out.find(std::string("{\"name\": \"") + k.name + "\""), std::string::npos)
            << k.name;
    EXPECT_NE(r.out.find("\"words\": [\"upwind\", \"lax_wendroff\"]"), std::string::npos);
}

}  // namespace
