// The parameter file reader: pairing of tokens, lookups, conversions and the
// limits of the table and of a token.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <utility>

#include "param_reader.h"
#include "param_table.h"
#include "test_support.h"

using namespace test_support;

namespace {

class ParamReader : public ::testing::Test {
protected:
    void SetUp() override { reset_parameter_table(); }
    void TearDown() override { reset_parameter_table(); }

    // Loads `contents` as the parameter file, into an empty table.
    void load(const std::string &contents)
    {
        reset_parameter_table();
        write_file(dir_.file("nw2cuda.input"), contents);
        readInputParameters(dir_.file("nw2cuda.input").c_str());
    }
    std::string path() const { return dir_.file("nw2cuda.input"); }

    TempDir dir_;
};

TEST_F(ParamReader, EmptyFileGivesEmptyTableAndLookupsMiss)
{
    load("");
    EXPECT_EQ(paramsCount, 0);
    int i = 7;
    double d = 7.5;
    EXPECT_EQ(GetInt("-hnodes_x", &i), -1);
    EXPECT_EQ(GetDouble("-htau", &d), -1.0);
    EXPECT_EQ(i, 7);
    EXPECT_EQ(d, 7.5);

    load("  \n\t \n");
    EXPECT_EQ(paramsCount, 0);
}

TEST_F(ParamReader, TokensPairInFileOrderWhateverTheLineBreaks)
{
    load("-hnodes_x 128 -hnodes_y\n64\n\n  -htau\t0.5\r\n-hkappa 1e-3");  // no final newline
    ASSERT_EQ(paramsCount, 4);
    EXPECT_STREQ(params[0].key, "-hnodes_x");
    EXPECT_STREQ(params[0].value, "128");
    EXPECT_STREQ(params[1].key, "-hnodes_y");
    EXPECT_STREQ(params[1].value, "64");
    EXPECT_STREQ(params[2].key, "-htau");
    EXPECT_STREQ(params[3].value, "1e-3");

    int nx = 0, ny = 0;
    double tau = 0, kappa = 0;
    EXPECT_EQ(GetInt("-hnodes_x", &nx), 1);
    EXPECT_EQ(get_int("hnodes_y", &ny), 0);
    EXPECT_EQ(get_Real("htau", &tau), 0);
    EXPECT_EQ(GetDouble("-hkappa", &kappa), 1.0);
    EXPECT_EQ(nx, 128);
    EXPECT_EQ(ny, 64);
    EXPECT_EQ(tau, 0.5);
    EXPECT_EQ(kappa, 1e-3);
}

TEST_F(ParamReader, KeysMatchExactlyAndTheFirstOccurrenceWins)
{
    load("nodes_x 32\n-hnodes_x 128\n-HNODES_Y 9\n-hnodes_x 256\n");
    int v = -5;
    EXPECT_EQ(GetInt("nodes_x", &v), 1);  // loaded as it stands ...
    EXPECT_EQ(get_int("nodes_x", &v), 0);  // ... but "-nodes_x" is not there
    EXPECT_EQ(v, 32);
    EXPECT_EQ(GetInt("-hnodes_x", &v), 1);
    EXPECT_EQ(v, 128);
    EXPECT_EQ(GetInt("-hnodes_y", &v), -1);
    EXPECT_EQ(v, 128);
}

TEST_F(ParamReader, ValuesConvertTheirLongestNumericPrefix)
{
    load("-a 1e0 -b 12abc -c abc -d -7 -e +2.5x -f 0x10 -g 1e-3");
    double d = -1;
    int i = -1;
    GetDouble("-a", &d);
    EXPECT_EQ(d, 1.0);
    GetInt("-b", &i);
    EXPECT_EQ(i, 12);
    GetInt("-c", &i);
    EXPECT_EQ(i, 0);
    GetDouble("-c", &d);
    EXPECT_EQ(d, 0.0);
    GetInt("-d", &i);
    EXPECT_EQ(i, -7);
    GetDouble("-e", &d);
    EXPECT_EQ(d, 2.5);
    GetInt("-f", &i);  // base 10: the prefix is "0"
    EXPECT_EQ(i, 0);
    GetInt("-a", &i);  // an integer read of a real's text stops at the 'e'
    EXPECT_EQ(i, 1);
    GetDouble("-g", &d);
    EXPECT_EQ(d, 1e-3);
}

TEST_F(ParamReader, KeyWithoutValueEndsWithStatusMinusOneAndNoMessage)
{
    EXPECT_EXIT(load("-hnodes_x"), ::testing::ExitedWithCode(255), "^$");
    EXPECT_EXIT(load("-hnodes_x 8\n-hnodes_y\n\n"), ::testing::ExitedWithCode(255), "^$");
}

TEST_F(ParamReader, FileThatCannotBeOpenedOrReadIsReportedAsNullPointerWithTheReason)
{
    const std::string absent = dir_.file("absent.input"), folder = dir_.file("folder.input");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    // A directory opens for reading, and then every read fails.
    for (const auto &[path, err] :
         {std::pair{absent, "vdwflow: cannot open " + absent + ": No such file or directory\n"},
          std::pair{folder, "vdwflow: cannot read " + folder + ": Is a directory\n"}}) {
        const ProcessResult r = run_in_child([&] { readInputParameters(path.c_str()); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Error, ptr is NULL\n");
        EXPECT_EQ(r.err, err);
    }
}

TEST_F(ParamReader, TokensUpTo29CharactersAreKept)
{
    const std::string key29 = "-" + std::string(28, 'k');
    const std::string value29(29, '7');
    load(key29 + " " + value29);  // ends right after the longest value
    ASSERT_EQ(paramsCount, 1);
    EXPECT_EQ(params[0].key, key29);
    EXPECT_EQ(params[0].value, value29);
}

TEST_F(ParamReader, LongerTokensAreRejectedWithTheFileNamed)
{
    const std::string key30 = "-" + std::string(29, 'k');
    for (const std::string &contents :
         {key30 + " 1\n", "-hnodes_x " + std::string(30, '1'), "-a 1 " + key30}) {
        const ProcessResult r = run_in_child([&] { load(contents); });
        EXPECT_EQ(r.status, 1) << contents;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(path()), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("longer than 29 characters"), std::string::npos) << r.err;
        EXPECT_EQ(lines_of(r.err).size(), 1u);
    }
}

TEST_F(ParamReader, TwentyFivePairsFitAndATwentySixthIsRejected)
{
    std::string contents;
    for (int i = 0; i < 25; i++)
        contents += "-k" + std::to_string(i) + " " + std::to_string(i) + "\n";
    load(contents + "\n\n");
    ASSERT_EQ(paramsCount, 25);
    int v = 0;
    EXPECT_EQ(GetInt("-k24", &v), 1);
    EXPECT_EQ(v, 24);

    for (const char *extra : {"-k25 25\n", "-k25"}) {
        const ProcessResult r = run_in_child([&] { load(contents + extra); });
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(path()), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("more than 25"), std::string::npos) << r.err;
        EXPECT_EQ(lines_of(r.err).size(), 1u);
    }
}

}  // namespace
