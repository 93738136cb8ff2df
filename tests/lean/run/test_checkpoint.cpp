// Long runs of vdwflow: stopped every way a run is stopped (its parameter
// file, SIGTERM, SIGKILL in a cycle and while the checkpoint is written) and
// resumed, they leave the files of a run that never stopped; a damaged or
// mismatched checkpoint is refused without touching anything; a full disk
// keeps the previous checkpoint.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "checkpoint.h"
#include "test_support.h"

using namespace lean;

using namespace test_support;

namespace {

const std::string kLean = VDWFLOW_PATH;

std::string parameters(int nx, int ny, int niter_cycle, int ncycles)
{
    return "-hnodes_x " + std::to_string(nx) + "\n-hnodes_y " + std::to_string(ny) +
           "\n-hniter_cycle " + std::to_string(niter_cycle) + "\n-hncycles " +
           std::to_string(ncycles) +
           "\n-hlast_iter 100\n-hRTzero 1\n-htemperature 0.9\n-hdelta_time 0.0001\n"
           "-hkappa 0.0001\n-hrho_zero 1\n-htau 0.001\n";
}

std::vector<std::string> snapshot_lines(const std::string &out)
{
    std::vector<std::string> found;
    for (const auto &line : lines_of(out))
        if (line.rfind("iter=", 0) == 0)
            found.push_back(line);
    return found;
}

// Every file of a folder, by name, with its contents.
std::map<std::string, std::string> files_of(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &name : list_dir(dir))
        files[name] = read_file(dir + "/" + name);
    return files;
}

std::map<std::string, std::string> snapshots_of(const std::string &dir)
{
    auto files = files_of(dir);
    for (auto it = files.begin(); it != files.end();)
        it = (it->first[0] == 'B' || it->first[0] == 'P') ? std::next(it) : files.erase(it);
    return files;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Polls `ready` every 0.1 ms for at most a minute.
template <class Ready>
bool wait_for(Ready &&ready)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

// Whether a snapshot file labelled `label` is in the folder.
bool has_snapshot(const std::string &dir, int label)
{
    char end[16];
    std::snprintf(end, sizeof end, ".%09d", label);
    for (const auto &name : list_dir(dir))
        if (name.rfind("BP", 0) == 0 && name.size() > 10 &&
            name.compare(name.size() - 10, 10, end) == 0)
            return true;
    return false;
}

bool is_prefix(const std::vector<std::string> &part, const std::vector<std::string> &whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

bool is_suffix(const std::vector<std::string> &part, const std::vector<std::string> &whole)
{
    return part.size() <= whole.size() &&
           std::equal(part.rbegin(), part.rend(), whole.rbegin());
}

struct Interruption {
    const char *what;
    int nx, ny, niter_cycle;  // four cycles
    int signal_number;        // 0: stopped by the parameter file after two cycles
    bool in_checkpoint_write; // the signal comes while the checkpoint is written
};

TEST(Checkpoint, ResumedRunsLeaveTheFilesOfARunThatNeverStopped)
{
    const Interruption cases[] = {
        {"two cycles, then two more by the parameter file", 24, 16, 30, 0, false},
        {"SIGTERM in the second cycle", 128, 96, 200, SIGTERM, false},
        {"SIGINT in the second cycle", 128, 96, 200, SIGINT, false},
        {"SIGKILL in the second cycle", 128, 96, 200, SIGKILL, false},
        {"SIGKILL while the first cycle's checkpoint is written", 512, 384, 2, SIGKILL, true},
    };
    for (const Interruption &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir straight, stopped;
        write_file(straight.file("nw2cuda.input"), parameters(c.nx, c.ny, c.niter_cycle, 4));
        const ProcessResult whole = run_program(kLean, straight.path(), {}, {}, {"-q"});
        ASSERT_EQ(whole.status, 0) << whole.err;

        std::string first_out;
        if (c.signal_number == 0) {
            write_file(stopped.file("nw2cuda.input"), parameters(c.nx, c.ny, c.niter_cycle, 2));
            const ProcessResult r = run_program(kLean, stopped.path(), {}, {}, {"-q"});
            ASSERT_EQ(r.status, 0) << r.err;
            first_out = r.out;
            write_file(stopped.file("nw2cuda.input"), parameters(c.nx, c.ny, c.niter_cycle, 4));
        } else {
            write_file(stopped.file("nw2cuda.input"), parameters(c.nx, c.ny, c.niter_cycle, 4));
            StartedProgram program(kLean, stopped.path(), {}, {}, {"-q"});
            // Once the first cycle's snapshot is there (and, for the last
            // case, while a checkpoint is being written).
            const bool caught = wait_for([&] {
                return has_snapshot(stopped.path(), 100 + c.niter_cycle) &&
                       (!c.in_checkpoint_write || exists(stopped.file(CHECKPOINT_TEMPORARY)));
            });
            ASSERT_TRUE(caught) << "the moment to stop the run never came";
            kill(program.pid(), c.signal_number);
            const ProcessResult r = program.wait();
            first_out = r.out;
            EXPECT_EQ(r.status, 128 + c.signal_number);
            if (c.signal_number != SIGKILL) {
                EXPECT_TRUE(std::regex_match(
                    r.err, std::regex("vdwflow: stopped by SIG(TERM|INT) after step \\d+; the "
                                      "state of that step is in vdwflow\\.checkpoint; to "
                                      "continue, run 'vdwflow --resume' in this folder\n")))
                    << r.err;
            }
        }
        const ProcessResult resumed = run_program(kLean, stopped.path(), {}, {}, {"-q", "--resume"});
        ASSERT_EQ(resumed.status, 0) << resumed.err;
        EXPECT_EQ(resumed.err, "");

        // Snapshot lines: the stopped run printed the first ones (all it
        // printed, but what SIGKILL took from its output buffer), the resumed
        // run the last ones, repeating at most those after its checkpoint.
        const auto all_lines = snapshot_lines(whole.out);
        const auto first_lines = snapshot_lines(first_out);
        const auto last_lines = snapshot_lines(resumed.out);
        EXPECT_TRUE(is_prefix(first_lines, all_lines));
        EXPECT_TRUE(is_suffix(last_lines, all_lines));
        if (c.signal_number != SIGKILL) {
            EXPECT_GE(first_lines.size() + last_lines.size(), all_lines.size());
        }
        EXPECT_TRUE(snapshots_of(stopped.path()) == snapshots_of(straight.path()));
        EXPECT_TRUE(read_file(stopped.file(CHECKPOINT_FILE)) ==
                    read_file(straight.file(CHECKPOINT_FILE)));
    }
}

// Bytes of a file, changed in place.
void patch(const std::string &path, std::size_t offset, const std::string &bytes)
{
    std::string contents = read_file(path);
    contents.replace(offset, bytes.size(), bytes);
    write_file(path, contents);
}

TEST(Checkpoint, DamagedOrMismatchedCheckpointsAreRefusedWithoutTouchingAFile)
{
    // A run of two cycles, to be extended to three.
    const std::string first = parameters(8, 8, 2, 2);
    const std::string input = parameters(8, 8, 2, 3);
    const std::string refused = "vdwflow: cannot resume from vdwflow.checkpoint: ";
    const auto replace = [](std::string text, const std::string &from, const std::string &to) {
        return text.replace(text.find(from), from.size(), to);
    };
    struct Case {
        const char *what;
        std::function<void(const TempDir &)> damage;
        int status;
        std::string err;
    };
    const std::size_t data = kCheckpointHeaderBytes + 200;
    const Case cases[] = {
        {"missing", [](const TempDir &d) { std::filesystem::remove(d.file(CHECKPOINT_FILE)); }, 1,
         refused + "No such file or directory\n"},
        {"wrong magic", [](const TempDir &d) { patch(d.file(CHECKPOINT_FILE), 0, "X"); }, 1,
         refused + "not a vdwflow checkpoint (wrong magic)\n"},
        {"another version",
         [](const TempDir &d) { patch(d.file(CHECKPOINT_FILE), 8, std::string("\x04", 1)); }, 1,
         refused + "format version 4; this program reads versions 1 to 3\n"},
        {"a changed value",
         [&](const TempDir &d) { patch(d.file(CHECKPOINT_FILE), data, "\x7f"); }, 1,
         refused + "checksum mismatch: the file is damaged\n"},
        {"truncated",
         [](const TempDir &d) {
             const std::string p = d.file(CHECKPOINT_FILE);
             std::filesystem::resize_file(p, std::filesystem::file_size(p) - 100);
         },
         1, refused + "truncated: 5280 bytes, a checkpoint of 8 x 8 nodes has 5380\n"},
        {"only part of the header",
         [](const TempDir &d) { std::filesystem::resize_file(d.file(CHECKPOINT_FILE), 40); }, 1,
         refused + "truncated: 40 bytes, shorter than the header\n"},
        {"another lattice",
         [&](const TempDir &d) {
             write_file(d.file("nw2cuda.input"), replace(input, "-hnodes_y 8", "-hnodes_y 10"));
         },
         1, refused + "-hnodes_y is 8 there and 10 in nw2cuda.input\n"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (const char *key : {"htemperature 0.9", "hRTzero 1", "hdelta_time 0.0001",
                            "hkappa 0.0001", "hrho_zero 1", "htau 0.001"}) {
        const std::string k(key);
        const std::string name = k.substr(0, k.find(' '));
        const std::string value = k.substr(k.find(' ') + 1);
        all.push_back({key,
                       [=](const TempDir &d) {
                           write_file(d.file("nw2cuda.input"),
                                      replace(input, "-" + k, "-" + name + " " + value + "1"));
                       },
                       1, ""});
    }
    all.push_back({"at the run's last step",
                   [&](const TempDir &d) { write_file(d.file("nw2cuda.input"), first); }, 0,
                   "vdwflow: vdwflow.checkpoint is at step 104, the run's last step is 104: "
                   "nothing to do (raise -hncycles in nw2cuda.input to run on)\n"});
    for (const Case &c : all) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), first);
        ASSERT_EQ(run_program(kLean, dir.path(), {}, {}, {"-q"}).status, 0);
        write_file(dir.file("nw2cuda.input"), input);
        c.damage(dir);
        const auto before = files_of(dir.path());
        const ProcessResult r = run_program(kLean, dir.path(), {}, {}, {"--resume"});
        EXPECT_EQ(r.status, c.status);
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, c.err);
        } else {  // a physical key: named, with both values
            const std::string name = std::string(c.what).substr(0, std::string(c.what).find(' '));
            EXPECT_TRUE(std::regex_match(r.err, std::regex(refused + "-" + name +
                                                           " is [^ ]+ there and [^ ]+ in "
                                                           "nw2cuda\\.input\n")))
                << r.err;
        }
        EXPECT_EQ(r.out.find("iter="), std::string::npos);
        EXPECT_TRUE(files_of(dir.path()) == before);
    }
}

TEST(Checkpoint, DiskFullWhileWritingKeepsThePreviousCheckpoint)
{
    TempDir dir, straight;
    write_file(straight.file("nw2cuda.input"), parameters(8, 8, 2, 3));
    ASSERT_EQ(run_program(kLean, straight.path(), {}, {}, {"-q"}).status, 0);
    write_file(dir.file("nw2cuda.input"), parameters(8, 8, 2, 1));
    ASSERT_EQ(run_program(kLean, dir.path(), {}, {}, {"-q"}).status, 0);
    const std::string previous = read_file(dir.file(CHECKPOINT_FILE));

    // The 8 x 8 snapshot files fit in 4096 bytes, the checkpoint (5380) does not.
    write_file(dir.file("nw2cuda.input"), parameters(8, 8, 2, 3));
    const ProcessResult full = run_program(kLean, dir.path(), {}, [] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
    }, {"-q", "--resume"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "vdwflow: could not write the checkpoint file vdwflow.checkpoint.tmp "
                        "completely: File too large\n");
    EXPECT_EQ(read_file(dir.file(CHECKPOINT_FILE)), previous);
    EXPECT_FALSE(exists(dir.file(CHECKPOINT_TEMPORARY)));

    const ProcessResult resumed = run_program(kLean, dir.path(), {}, {}, {"-q", "--resume"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_TRUE(snapshots_of(dir.path()) == snapshots_of(straight.path()));
}

TEST(Checkpoint, ChecksumIsZlibsCrc32)
{
    const std::string digits = "123456789";
    EXPECT_EQ(crc32_update(0, digits.data(), digits.size()), 0xCBF43926u);
    // In pieces, as the writer feeds it (header, then planes).
    const std::string text = "the quick brown fox jumps over the lazy dog, twice over";
    const std::uint32_t whole = crc32_update(0, text.data(), text.size());
    for (std::size_t cut : {0ul, 1ul, 7ul, 8ul, 13ul, text.size()})
        EXPECT_EQ(crc32_update(crc32_update(0, text.data(), cut), text.data() + cut,
                               text.size() - cut),
                  whole)
            << cut;
}

}  // namespace
