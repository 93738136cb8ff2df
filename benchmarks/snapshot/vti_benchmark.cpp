// One .vti snapshot (density, velocity, pressure in binary) beside one text
// snapshot of the same lattice (console line and the three files BP, BV,
// PV .vtk), and the rewrite of a run's .pvd collection, in a fresh folder
// under the temporary folder. A table at the end: seconds and bytes per
// snapshot, and their ratios.
//
//   build/cpu/bin/vti_benchmark [--benchmark_repetitions=3]
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "snapshot.h"
#include "vti_writer.h"

namespace {

namespace fs = std::filesystem;

// A run folder for the scope: made the working directory, removed after.
class Folder {
public:
    Folder()
    {
        path_ = (fs::temp_directory_path() / "vti_bench.XXXXXX").string();
        if (!mkdtemp(path_.data()))
            std::abort();
        previous_ = fs::current_path();
        fs::current_path(path_);
    }
    ~Folder()
    {
        fs::current_path(previous_);
        fs::remove_all(path_);
    }
    void clear() const
    {
        for (const auto &entry : fs::directory_iterator(path_))
            fs::remove(entry.path());
    }
    std::uintmax_t bytes() const
    {
        std::uintmax_t sum = 0;
        for (const auto &entry : fs::directory_iterator(path_))
            sum += entry.file_size();
        return sum;
    }

private:
    std::string path_;
    fs::path previous_;
};

// Fields of a separating fluid: densities between 0.3 and 1.8, velocities
// of a few thousandths, pressures near the critical one.
struct lattice {
    std::vector<double> rho, ux, uy, p;
    explicit lattice(int n)
    {
        std::mt19937_64 random(12345);
        std::uniform_real_distribution<double> density(0.3, 1.8), speed(-5e-3, 5e-3),
            pressure(0.8, 1.2);
        const std::size_t nodes = static_cast<std::size_t>(n) * n;
        for (auto [v, d] : {std::pair{&rho, &density}, {&ux, &speed}, {&uy, &speed},
                            {&p, &pressure}}) {
            v->resize(nodes);
            for (double &x : *v)
                x = (*d)(random);
        }
    }
};

void report_bytes(benchmark::State &state, std::uintmax_t bytes)
{
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["bytes"] = static_cast<double>(bytes);
}

// Each snapshot goes to new files, as in a run; the files of the one before
// are removed with the clock stopped, so that no snapshot waits for the
// write-back of earlier ones (a run writes a snapshot every few thousand
// steps, and the disk has the time in between).
template <typename Write>
void snapshots(benchmark::State &state, Write write)
{
    Folder folder;
    std::uintmax_t bytes = 0;
    int iter = 0;
    for (auto _ : state) {
        if (!write(iter)) {
            state.SkipWithError("a snapshot file could not be written");
            break;
        }
        state.PauseTiming();
        bytes = folder.bytes();
        folder.clear();
        iter += 2500;
        state.ResumeTiming();
    }
    report_bytes(state, bytes);
}

void text_snapshot(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    const lattice l(n);
    // The console line goes nowhere; the benchmark's table still reaches the console.
    std::fflush(stdout);
    const int console = dup(STDOUT_FILENO);
    const int null_device = open("/dev/null", O_WRONLY);
    dup2(null_device, STDOUT_FILENO);
    snapshots(state, [&](int iter) {
        return profile("_bench", l.rho.data(), n * n, n, n, 0, iter, 1.0, 0.0, 2.0, 1.0 / n) == 1;
    });
    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    close(console);
    close(null_device);
}

void vti_snapshot(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    const lattice l(n);
    vti::fields f;
    f.nx = f.ny = n;
    f.spacing = 1.0 / n;
    f.density = l.rho.data();
    f.velocity_x = l.ux.data();
    f.velocity_y = l.uy.data();
    f.pressure = l.p.data();
    snapshots(state, [&](int iter) {
        char name[64];
        std::snprintf(name, sizeof name, "PV_bench.%09d.vti", iter);
        return vti::write_file(name, f, iter, iter * 1e-4) == 0;
    });
}

// The collection of a run of range(0) snapshots, written (with its fsync)
// after each snapshot.
void pvd_rewrite(benchmark::State &state)
{
    std::vector<vti::entry> entries;
    for (int k = 0; k < state.range(0); k++) {
        char name[64];
        std::snprintf(name, sizeof name, "PV_bench.%09d.vti", 2500 * k);
        entries.push_back({2500 * k * 1e-4, name});
    }
    Folder folder;
    for (auto _ : state) {
        if (vti::write_collection("PV_bench.pvd", entries) != 0) {
            state.SkipWithError("the .pvd file could not be written");
            break;
        }
    }
    report_bytes(state, folder.bytes());
}

// Seconds per iteration and bytes per snapshot of each benchmark, by name
// ("vti_snapshot/2048/real_time"), for the table.
struct result {
    double seconds;
    double bytes;
};

// A run that stopped on an error (the field's name changed with the
// library's version 1.8).
template <typename Run>
auto failed(const Run &run, int) -> decltype(bool(run.skipped))
{
    return bool(run.skipped);
}
template <typename Run>
bool failed(const Run &run, long)
{
    return run.error_occurred;
}

class TableReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, result> results;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0 || failed(run, 0))
                continue;
            const auto bytes = run.counters.find("bytes");
            // The fastest repetition: the one least disturbed by the machine's other work.
            const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
            auto [at, fresh] = results.try_emplace(run.run_name.function_name + "/" +
                                                       run.run_name.args,
                                                   result{seconds, 0.0});
            if (!fresh && seconds < at->second.seconds)
                at->second.seconds = seconds;
            at->second.bytes = bytes == run.counters.end() ? 0.0 : bytes->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void print_table(const std::map<std::string, result> &results)
{
    std::printf("\nOne snapshot: three text files (BP, BV, PV .vtk) against one .vti "
                "(density, velocity, pressure)\n\n");
    std::printf("| nodes | text: s | text: MiB | .vti: s | .vti: MiB | time text / .vti | "
                "size text / .vti |\n|---|---|---|---|---|---|---|\n");
    for (const char *n : {"512", "2048"}) {
        const auto text = results.find(std::string("text_snapshot/") + n);
        const auto vti = results.find(std::string("vti_snapshot/") + n);
        if (text == results.end() || vti == results.end())
            continue;
        const double MiB = 1 << 20;
        std::printf("| %s^2 | %.4f | %.1f | %.4f | %.1f | %.1f | %.2f |\n", n,
                    text->second.seconds, text->second.bytes / MiB, vti->second.seconds,
                    vti->second.bytes / MiB, text->second.seconds / vti->second.seconds,
                    text->second.bytes / vti->second.bytes);
    }
    const auto pvd = results.find("pvd_rewrite/100");
    if (pvd != results.end())
        std::printf("\nRewriting the .pvd of 100 snapshots (with fsync and rename): %.4f s, "
                    "%.0f bytes\n", pvd->second.seconds, pvd->second.bytes);
}

}  // namespace

BENCHMARK(text_snapshot)->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(vti_snapshot)->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pvd_rewrite)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    print_table(reporter.results);
    return 0;
}
