// One snapshot (console line and three files) of a lattice of densities,
// written by the snapshot writer and, side by side, by the printf-based writer
// it replaced. The files go to a fresh folder under the temporary folder.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "printf_snapshot.h"
#include "snapshot.h"

namespace {

namespace fs = std::filesystem;

using writer = int (*)(const char *, const double *, int, int, int, int, int, double, double,
                       double, double);

// Densities of a separating fluid: liquid and vapour between 0.3 and 1.8.
std::vector<double> densities(int n)
{
    std::mt19937_64 random(12345);
    std::uniform_real_distribution<double> rho(0.3, 1.8);
    std::vector<double> field(static_cast<size_t>(n) * n);
    for (double &v : field)
        v = rho(random);
    return field;
}

void snapshot(benchmark::State &state, writer write)
{
    const int n = static_cast<int>(state.range(0));
    const std::vector<double> field = densities(n);
    const fs::path previous = fs::current_path();
    std::string dir = (fs::temp_directory_path() / "snapshot_bench.XXXXXX").string();
    if (!mkdtemp(dir.data())) {
        state.SkipWithError("no temporary folder");
        return;
    }
    fs::current_path(dir);
    // The console line goes nowhere; the benchmark's table still reaches the console.
    std::fflush(stdout);
    const int console = dup(STDOUT_FILENO);
    const int null_device = open("/dev/null", O_WRONLY);
    dup2(null_device, STDOUT_FILENO);
    for (auto _ : state)
        write("_bench", field.data(), n * n, n, n, 0, 1000, 1.0, 0.0, 2.0, 1.0 / n);
    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    close(console);
    close(null_device);
    std::uintmax_t bytes = 0;
    for (const auto &entry : fs::directory_iterator(dir))
        bytes += entry.file_size();
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["MiB_per_snapshot"] = static_cast<double>(bytes) / (1 << 20);
    fs::current_path(previous);
    fs::remove_all(dir);
}

}  // namespace

BENCHMARK_CAPTURE(snapshot, printf_writer, printf_profile)
    ->Arg(256)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(snapshot, writer, profile)
    ->Arg(256)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
