// vdwflow's checkpoint: writing it (to a temporary name, flushed to the disk,
// renamed) and reading it back with its checks, beside one snapshot of the
// same lattice, in a fresh folder under the temporary folder (on the disk the
// run folders are on, so fsync costs what it costs there).
//
//   build/cpu/bin/checkpoint_benchmark [--benchmark_repetitions=3]
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "checkpoint.h"
#include "run_config.h"
#include "snapshot.h"

namespace {

namespace fs = std::filesystem;

// A run folder for the scope: made the working directory, removed after.
class Folder {
public:
    Folder()
    {
        path_ = (fs::temp_directory_path() / "checkpoint_bench.XXXXXX").string();
        if (!mkdtemp(path_.data())) std::abort();
        previous_ = fs::current_path();
        fs::current_path(path_);
    }
    ~Folder()
    {
        fs::current_path(previous_);
        fs::remove_all(path_);
    }

private:
    std::string path_;
    fs::path previous_;
};

// The run configuration of an n x n lattice and planes of plausible values.
std::vector<double> configure(int n)
{
    hnodes_x = hnodes_y = n;
    hRTzero = 1.0;
    htemperature = 0.9;
    hdelta_time = 1e-4;
    hkappa = 1e-4;
    hrho_zero = 1.0;
    htau = 1e-3;
    hncycles = 1;
    hniter_cycle = 100;
    derive_run_configuration();
    std::mt19937_64 random(12345);
    std::uniform_real_distribution<double> value(0.02, 1.8);
    std::vector<double> planes(static_cast<size_t>(kCheckpointPlanes) * hnodes);
    for (double &v : planes) v = value(random);
    return planes;
}

void write(benchmark::State &state)
{
    const std::vector<double> planes = configure(static_cast<int>(state.range(0)));
    Folder folder;
    for (auto _ : state) write_checkpoint(planes.data(), 0);
    const auto bytes = fs::file_size(CHECKPOINT_FILE);
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["MiB"] = static_cast<double>(bytes) / (1 << 20);
}

void read(benchmark::State &state)
{
    std::vector<double> planes = configure(static_cast<int>(state.range(0)));
    Folder folder;
    write_checkpoint(planes.data(), 0);
    int step = 0;
    for (auto _ : state) read_checkpoint("nw2cuda.input", planes.data(), &step, 100);
    state.SetBytesProcessed(static_cast<int64_t>(fs::file_size(CHECKPOINT_FILE)) *
                            state.iterations());
}

// One snapshot of the same lattice, the files a cycle writes anyway.
void snapshot(benchmark::State &state)
{
    const std::vector<double> planes = configure(static_cast<int>(state.range(0)));
    Folder folder;
    std::fflush(stdout);
    const int console = dup(STDOUT_FILENO);
    const int null_device = open("/dev/null", O_WRONLY);
    dup2(null_device, STDOUT_FILENO);
    for (auto _ : state)
        profile("_bench", planes.data(), hnodes, hnodes_x, hnodes_y, 9, 0, 1.0, 0.0, 2.0,
                hdelta_space);
    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    close(console);
    close(null_device);
}

}  // namespace

BENCHMARK(write)->Name("checkpoint/write")->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(read)->Name("checkpoint/read")->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(snapshot)->Name("snapshot")->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
