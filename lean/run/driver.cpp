// The lean solver's driver: its command line, its run (the start-up of the
// other solver programs: the same parameter file, checks, initial lattice,
// snapshots and reports), then cycles of fused steps without a wait per
// step, timed per cycle; a checkpoint after every snapshot, the resumption
// from it, and a clean stop on SIGTERM and SIGINT.
#include "driver.h"

#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "checkpoint.h"
#include "collective.h"
#include "keys.h"
#include "reporters.h"
#include "run.h"
#include "startup.h"
#include "team.h"

namespace lean {

namespace {

const char usage[] =
    "Usage: vdwflow [OPTION]... [PARAMETER_FILE]\n"
    "Runs the van der Waals lattice Boltzmann solver on the parameters of\n"
    "PARAMETER_FILE (default: nw2cuda.input in the working directory) and writes\n"
    "its snapshots (BP*, BV*, PV*.vtk) into the working directory: the same files\n"
    "as vdwflow_b, from a fused time step. Its own keys pose drops, bubbles and\n"
    "slabs, walls that wet, obstacles and gravity, and write velocity and\n"
    "pressure for ParaView (-houtput vti: PV*.vti and PV*.pvd); the README lists\n"
    "them. After the initial snapshot and every\n"
    "cycle's snapshot it replaces the checkpoint " CHECKPOINT_FILE ", from which\n"
    "a stopped run continues exactly.\n"
    "\n"
    "  -r, --resume  continue from " CHECKPOINT_FILE " up to the last step that\n"
    "                PARAMETER_FILE sets (raise -hncycles there to run on)\n"
    "  -q, --quiet   print only the snapshot lines (iter=... ntot=...) and errors\n"
    "      --keys    print the parameter file's keys (names, kinds, ranges, defaults,\n"
    "                descriptions) as JSON and exit\n"
    "  -h, --help    show this help and exit\n"
    "\n"
    "SIGTERM or SIGINT (Ctrl-C) ends the run after the step in progress, with a\n"
    "checkpoint at that step.\n"
    "\n"
    "Built with MPI, 'mpirun -n P vdwflow' splits the lattice over P processes\n"
    "(-hprocesses_x, _y, _z fix the grid): the same files, bytes and checkpoint as\n"
    "one process; a signal to any process stops them all after the same step.\n"
    "\n"
    "Exit status: 0 after a complete run (or a resumed one with nothing left to\n"
    "do); 1 when the parameter file, the run configuration, the checkpoint, the\n"
    "device or a file fails, or the run becomes unstable; 2 on a wrong command\n"
    "line; 128 + the signal's number when stopped by SIGTERM (143) or SIGINT (130).\n";

struct lean_options {
    const char *parameter_file = "nw2cuda.input";
    bool quiet = false;
    bool resume = false;
};

[[noreturn]] void usage_error(const char *format, const char *arg)
{
    std::fprintf(stderr, "vdwflow: ");
    std::fprintf(stderr, format, arg);
    std::fprintf(stderr, "\nTry 'vdwflow --help' for more information.\n");
    std::exit(2);
}

lean_options parse_options(int argc, char **argv)
{
    lean_options o;
    bool file_given = false;
    bool options_end = false;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (!options_end && arg[0] == '-' && arg[1] != '\0') {
            if (std::strcmp(arg, "--") == 0) {
                options_end = true;
            } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
                std::fputs(usage, stdout);
                std::exit(0);
            } else if (std::strcmp(arg, "--keys") == 0) {
                std::fputs(keys_json().c_str(), stdout);
                std::exit(0);
            } else if (std::strcmp(arg, "-q") == 0 || std::strcmp(arg, "--quiet") == 0) {
                o.quiet = true;
            } else if (std::strcmp(arg, "-r") == 0 || std::strcmp(arg, "--resume") == 0) {
                o.resume = true;
            } else {
                usage_error("unknown option '%s'", arg);
            }
        } else if (file_given) {
            usage_error("more than one parameter file: '%s'", arg);
        } else {
            o.parameter_file = arg;
            file_given = true;
        }
    }
    return o;
}

// The stop signal received (SIGTERM or SIGINT), 0 while none. The handler only
// records it: the run looks at it between steps, so a second signal while a
// checkpoint is written changes nothing.
volatile std::sig_atomic_t stop_signal = 0;

void record_stop(int signal_number)
{
    if (stop_signal == 0)
        stop_signal = signal_number;
}

void catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = record_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // file writes go on
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// The stop signal that any process of the run received (every process
// learns it at the same step), 0 while none.
int stop_asked(team &t)
{
    return t.size() == 1 ? static_cast<int>(stop_signal) : t.max_all(static_cast<int>(stop_signal));
}

// After a stop signal: the checkpoint of the step reached, a line saying so,
// and the conventional status.
int stop_run(run &r, bool checkpoint_current, int signal_number)
{
    if (checkpoint_current) r.write_checkpoint(CHECKPOINT_FILE);
    std::fflush(stdout);
    const char *name = signal_number == SIGINT ? "SIGINT" : "SIGTERM";
    if (r.processes().size() > 1 && r.processes().rank() == 0)
        std::fprintf(stderr,
                     "vdwflow: stopped by %s after step %d; the state of that step is in %s; "
                     "to continue, run 'vdwflow_mpi --resume' under mpirun (on any number of "
                     "processes) or 'vdwflow --resume' in this folder\n",
                     name, r.step(), CHECKPOINT_FILE);
    else if (r.processes().rank() == 0)
        std::fprintf(stderr,
                     "vdwflow: stopped by %s after step %d; the state of that step is in %s; "
                     "to continue, run 'vdwflow --resume' in this folder\n",
                     name, r.step(), CHECKPOINT_FILE);
    return 128 + signal_number;
}

// The cycles of a run (resumed at `resumed_from`, or fresh): its status.
int run_cycles(run &r, const lean_options &options, int resumed_from)
{
    const settings &s = r.config().keys;
    team &t = r.processes();
    const bool speak = !options.quiet && t.rank() == 0;
    cudaEvent_t cycle_start = nullptr, cycle_stop = nullptr;
    double halo_before = r.halo_seconds();
    cudaEventCreate(&cycle_start);
    cudaEventCreate(&cycle_stop);
    for (int cycle = 1; cycle <= s.ncycles; cycle++) {
        // A resumed run goes on to the next label after its checkpoint, so
        // that its snapshots are those of a run that never stopped.
        const int label = s.last_iter + cycle * s.niter_cycle;
        if (options.resume && label <= resumed_from)
            continue;
        const int steps = label - r.step();
        cudaEventRecord(cycle_start, 0);
        for (int k = 0; k < steps; k++) {
            if (const int signal_number = stop_asked(t))
                return stop_run(r, true, signal_number);
            r.steps(1);
        }
        cudaEventRecord(cycle_stop, 0);
        cudaEventSynchronize(cycle_stop);
        const double seconds = elapsed_ms(cycle_start, cycle_stop) / 1000.0;
        const double halo = r.halo_seconds() - halo_before;
        halo_before += halo;
        if (speak) {
            const double updates = static_cast<double>(r.config().node_count()) * steps;
            std::printf("\ncycle %d of %d: %d steps in %.3f s, %.2f MLUPS", cycle, s.ncycles,
                        steps, seconds, seconds > 0.0 ? updates / seconds / 1e6 : 0.0);
            // (a run over several processes: the first's share of the time in its halos)
            if (t.size() > 1 && seconds > 0.0)
                std::printf(", halo exchange %.0f %% of it", 100.0 * halo / seconds);
            std::printf("\n");
        }
        r.write_snapshot();
        r.write_checkpoint(CHECKPOINT_FILE);
        if (const int signal_number = stop_asked(t))
            return stop_run(r, false, signal_number);
    }
    cudaEventDestroy(cycle_start);
    cudaEventDestroy(cycle_stop);
    r.release();
    return 0;
}

}  // namespace

int run_program(int argc, char **argv, team *processes)
{
    const lean_options options = parse_options(argc, argv);
    team one;  // (a run in this process alone)
    team &t = processes ? *processes : one;
    const bool first = t.rank() == 0;
    catch_stop_signals();
    if (!options.quiet && first)
        print_run_header(0);
    try {
        run_start start;
        start.parameter_path = options.parameter_file;
        if (options.resume) start.checkpoint = CHECKPOINT_FILE;
        start.console = first ? stdout : nullptr;
        start.processes = &t;
        run r(start);
        if (r.finished()) {
            std::fflush(stdout);
            if (first) std::fputs(r.finished_note().c_str(), stderr);
            return 0;
        }
        if (!options.quiet && first && t.size() > 1) {
            const block &b = r.part();
            std::printf("%d processes, a grid of %d x %d x %d, blocks of about %d x %d x %d "
                        "nodes\n\n",
                        t.size(), b.ranks[0], b.ranks[1], b.ranks[2], b.nodes[0] / b.ranks[0],
                        b.nodes[1] / b.ranks[1], b.nodes[2] / b.ranks[2]);
        }
        const int resumed_from = r.step();
        if (!options.resume) {
            r.write_snapshot();
            r.write_checkpoint(CHECKPOINT_FILE);
        }
        return run_cycles(r, options, resumed_from);
    } catch (const agreed_failure &e) {
        // (every process ends here; the first has the lines)
        std::fflush(stdout);
        std::fputs(e.err.c_str(), stderr);
        std::fputs(e.out.c_str(), stdout);
        return e.status;
    } catch (const run_error &e) {
        // A failure of this process alone: it says so, and where others wait
        // for it, they end with it.
        std::fflush(stdout);
        if (t.size() > 1) std::fprintf(stderr, "vdwflow: process %d of %d: ", t.rank(), t.size());
        std::fputs(e.err.c_str(), stderr);
        std::fputs(e.out.c_str(), stdout);
        std::fflush(stdout);
        if (t.size() > 1) t.abort(e.status);
        return e.status;
    }
}

}  // namespace lean
