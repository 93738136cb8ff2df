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
#include "initial_state.h"
#include "param_reader.h"
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

// The run configuration of an n x n lattice.
lean::configuration configure(int n)
{
    parameter_table t;
    t.pairs = {{"-hnodes_x", std::to_string(n)}, {"-hnodes_y", std::to_string(n)},
               {"-hRTzero", "1"},   {"-htemperature", "0.9"}, {"-hdelta_time", "1e-4"},
               {"-hkappa", "1e-4"}, {"-hrho_zero", "1"},      {"-htau", "1e-3"},
               {"-hncycles", "1"},  {"-hniter_cycle", "100"}};
    return lean::read_configuration(t, "nw2cuda.input", false);
}

// Planes of plausible values.
std::vector<double> planes_of(const lean::configuration &c)
{
    std::mt19937_64 random(12345);
    std::uniform_real_distribution<double> value(0.02, 1.8);
    std::vector<double> planes(static_cast<size_t>(lean::kStatePlanes) * c.nodes);
    for (double &v : planes) v = value(random);
    return planes;
}

void write(benchmark::State &state)
{
    const lean::configuration c = configure(static_cast<int>(state.range(0)));
    const std::vector<double> planes = planes_of(c);
    Folder folder;
    for (auto _ : state) lean::write_checkpoint(CHECKPOINT_FILE, c, planes.data(), 0);
    const auto bytes = fs::file_size(CHECKPOINT_FILE);
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["MiB"] = static_cast<double>(bytes) / (1 << 20);
}

void read(benchmark::State &state)
{
    lean::configuration c = configure(static_cast<int>(state.range(0)));
    std::vector<double> planes = planes_of(c);
    Folder folder;
    lean::write_checkpoint(CHECKPOINT_FILE, c, planes.data(), 0);
    for (auto _ : state) lean::read_checkpoint(CHECKPOINT_FILE, c, planes.data(), 100);
    state.SetBytesProcessed(static_cast<int64_t>(fs::file_size(CHECKPOINT_FILE)) *
                            state.iterations());
}

// One snapshot of the same lattice, the files a cycle writes anyway.
void snapshot(benchmark::State &state)
{
    const lean::configuration c = configure(static_cast<int>(state.range(0)));
    const std::vector<double> planes = planes_of(c);
    Folder folder;
    const double *density = planes.data() + static_cast<size_t>(lean::kDensityPlane) * c.nodes;
    for (auto _ : state)
        write_snapshot_files("", "_bench", density, c.keys.nodes_x, c.keys.nodes_y, 0, 1.0, 0.0,
                             2.0, c.delta_space, nullptr);
}

}  // namespace

BENCHMARK(write)->Name("checkpoint/write")->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(read)->Name("checkpoint/read")->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(snapshot)->Name("snapshot")->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
