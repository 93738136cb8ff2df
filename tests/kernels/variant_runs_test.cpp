// The three solver programs against each other, and the cpu backend against
// its own worker count: whole runs in temporary folders, compared file by
// file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

using namespace test_support;

namespace {

struct ProgramRun {
    int status = -1;
    std::string out;                            // standard output
    std::string err;                            // standard error
    std::map<std::string, std::string> files;  // snapshot files by name
};

// Runs program in a fresh folder holding nw2cuda.input, with extra
// environment variables; collects its exit status, output and files.
ProgramRun run_in_folder(const std::string &program, const std::string &input,
                         const Environment &env = {})
{
    TempDir dir;
    write_file(dir.file("nw2cuda.input"), input);
    const ProcessResult r = run_program(program, dir.path(), env);
    ProgramRun run{r.status, r.out, r.err, {}};
    for (const std::string &name : list_dir(dir.path()))
        if (name != "nw2cuda.input") run.files[name] = read_file(dir.file(name));
    return run;
}

std::string parameters(int nx, int ny, int niter_cycle, int ncycles, double temperature)
{
    std::ostringstream p;
    p << "-hnodes_x " << nx << "\n-hnodes_y " << ny << "\n-hniter 0\n-hniter_cycle "
      << niter_cycle << "\n-hncycles " << ncycles << "\n-hlast_iter 0\n-hRTzero 1.0\n"
      << "-htemperature " << temperature << "\n-hdelta_time 1e-4\n-hkappa 1e-4\n"
      << "-hrho_zero 1.0\n-htau 1e-3\n";
    return p.str();
}

// Lines of the console output that start with prefix (the snapshot lines;
// the timing lines differ from run to run).
std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
}

// Every whitespace-separated token of a text that reads as a number.
std::vector<double> numbers_in(const std::string &text)
{
    std::vector<double> values;
    std::istringstream in(text);
    for (std::string token; in >> token;) {
        char *end = nullptr;
        const double v = std::strtod(token.c_str(), &end);
        if (end != token.c_str() && *end == '\0') values.push_back(v);
    }
    return values;
}

// The total density of each snapshot line "iter=...  ntot=...".
std::vector<double> snapshot_totals(const std::string &out)
{
    std::vector<double> totals;
    for (const std::string &line : lines_starting(out, "iter="))
        totals.push_back(std::strtod(line.substr(line.find("ntot=") + 5).c_str(), nullptr));
    return totals;
}

// A run in which the density pattern grows well past its initial scatter
// (tenfold): at T = 0.6 Tc the spinodal modes grow fast.
const std::string kEvolvingRun = parameters(48, 32, 400, 3, 0.6);

void expect_same_files(const ProgramRun &a, const ProgramRun &b)
{
    ASSERT_EQ(a.files.size(), b.files.size());
    for (const auto &[name, content] : a.files) {
        const auto other = b.files.find(name);
        ASSERT_NE(other, b.files.end()) << name;
        EXPECT_TRUE(content == other->second) << name << " differs";
    }
    EXPECT_EQ(lines_starting(a.out, "iter="), lines_starting(b.out, "iter="));
}

}  // namespace

TEST(Variants, AAndBWriteIdenticalSnapshots)
{
    const ProgramRun a = run_in_folder(VDWFLOW_A, kEvolvingRun);
    const ProgramRun b = run_in_folder(VDWFLOW_B, kEvolvingRun);
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(b.status, 0);
    EXPECT_EQ(a.files.size(), 3u * 4u);  // initial snapshot and three cycles
    expect_same_files(a, b);
}

// vdwflow_c groups the pressure-gradient sum by distance and divides it by
// 2h at once. Regrouping a sum of a few terms changes it by an ulp or so;
// through the single-precision quotient that is at most one float ulp
// (6e-8 relative) of the force at a node, and the force enters a step only
// through the forcing term, a few percent of a distribution at most. Such
// differences grow no faster than the density pattern itself (its spread
// grows from 1e-3 to 1e-2 over these 1200 steps), so they stay far below the
// last printed digit of every file: 7 digits in the profiles, 5 in the VTK
// files, one grey level in the image. A wrong sign or a missing term in the
// regrouped sum changes the profiles in their fifth digit or earlier.
TEST(Variants, CStaysWithinRoundingOfA)
{
    const ProgramRun a = run_in_folder(VDWFLOW_A, kEvolvingRun);
    const ProgramRun c = run_in_folder(VDWFLOW_C, kEvolvingRun);
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(c.status, 0);
    ASSERT_EQ(a.files.size(), c.files.size());

    const std::vector<double> ntot_a = snapshot_totals(a.out), ntot_c = snapshot_totals(c.out);
    ASSERT_EQ(ntot_a.size(), 4u);
    ASSERT_EQ(ntot_a.size(), ntot_c.size());
    for (std::size_t i = 0; i < ntot_a.size(); ++i)
        EXPECT_NEAR(ntot_c[i], ntot_a[i], 1e-13 * ntot_a[i]);

    for (const auto &[name, content] : a.files) {
        SCOPED_TRACE(name);
        const auto other = c.files.find(name);
        ASSERT_NE(other, c.files.end());
        const std::vector<double> va = numbers_in(content), vc = numbers_in(other->second);
        ASSERT_EQ(va.size(), vc.size());
        // One unit in the last printed digit: 1e-6 relative in the profiles
        // (%15.6e), 1e-4 in the VTK values (%.4e), one grey level in the image.
        const bool image = name.rfind("BV", 0) == 0;
        const double digit = name.rfind("BP", 0) == 0 ? 1e-6 : 1e-4;
        for (std::size_t i = 0; i < va.size(); ++i)
            ASSERT_NEAR(vc[i], va[i], image ? 1.0 : digit * std::fabs(va[i]) + 1e-12)
                << "value " << i;
    }
}

TEST(Backend, ResultDoesNotDependOnTheNumberOfWorkers)
{
    // 48 x 32 nodes are three blocks of 512: two workers split them.
    for (const char *program : {VDWFLOW_A, VDWFLOW_C}) {
        SCOPED_TRACE(program);
        const ProgramRun one = run_in_folder(program, kEvolvingRun, {{"CUDACPU_THREADS", "1"}});
        const ProgramRun two = run_in_folder(program, kEvolvingRun, {{"CUDACPU_THREADS", "2"}});
        ASSERT_EQ(one.status, 0);
        ASSERT_EQ(two.status, 0);
        expect_same_files(one, two);
    }
}

// A surface tension far too strong for the time step (kappa 3e-3; 3e-4
// already fails) blows the run up within its first cycle. The snapshot that
// shows it is still written, then the run ends with a message instead of
// computing NaN to the last cycle.
TEST(Programs, ARunThatBlowsUpStopsAfterItsFirstNonFiniteSnapshot)
{
    std::string input = parameters(32, 32, 500, 20, 0.9);
    input.replace(input.find("-hkappa 1e-4"), 12, "-hkappa 3e-3");
    for (const char *program : {VDWFLOW_A, VDWFLOW_B, VDWFLOW_C}) {
        SCOPED_TRACE(program);
        const ProgramRun run = run_in_folder(program, input);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "vdwflow: the run became unstable at iteration 500: total density "
                           "is not finite\n");
        const auto totals = lines_starting(run.out, "iter=");
        ASSERT_EQ(totals.size(), 2u) << run.out;
        EXPECT_NE(totals[1].find("nan"), std::string::npos) << totals[1];
        // The initial snapshot and the one that blew up, complete.
        ASSERT_EQ(run.files.size(), 6u);
        for (const auto &[name, content] : run.files) {
            const std::string label = name.substr(name.rfind('.', name.size() - 5) + 1, 9);
            EXPECT_TRUE(label == "000000000" || label == "000000500") << name;
            EXPECT_FALSE(content.empty()) << name;
        }
    }
}
