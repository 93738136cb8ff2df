// The lean solver's driver: the start-up of the other solver programs (same
// parameter file, checks, initial lattice, snapshots and reporters), then
// cycles of fused steps without a wait per step, timed per cycle.
#include "lean_driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_mirror.h"
#include "startup.h"
#include "lean_state.h"
#include "run_config.h"

static const char usage[] =
    "Usage: vdwflow [OPTION]... [PARAMETER_FILE]\n"
    "Runs the van der Waals lattice Boltzmann solver on the parameters of\n"
    "PARAMETER_FILE (default: nw2cuda.input in the working directory) and writes\n"
    "its snapshots (BP*, BV*, PV*.vtk) into the working directory: the same files\n"
    "as vdwflow_b, from a fused time step.\n"
    "\n"
    "  -q, --quiet   print only the snapshot lines (iter=... ntot=...) and errors\n"
    "  -h, --help    show this help and exit\n"
    "\n"
    "Exit status: 0 after a complete run; 1 when the parameter file, the run\n"
    "configuration, the device or a snapshot file fails, or the run becomes\n"
    "unstable; 2 on a wrong command line.\n";

struct lean_options {
    const char *parameter_file = "nw2cuda.input";
    bool quiet = false;
};

[[noreturn]] static void usage_error(const char *format, const char *arg)
{
    std::fprintf(stderr, "vdwflow: ");
    std::fprintf(stderr, format, arg);
    std::fprintf(stderr, "\nTry 'vdwflow --help' for more information.\n");
    std::exit(2);
}

static lean_options parse_options(int argc, char **argv)
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
            } else if (std::strcmp(arg, "-q") == 0 || std::strcmp(arg, "--quiet") == 0) {
                o.quiet = true;
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

int run_lean(int argc, char **argv)
{
    const lean_options options = parse_options(argc, argv);

    if (!options.quiet)
        print_run_header(0);
    read_run_configuration(options.parameter_file);

    host_allocation();
    lean_allocation();
    init_lattice();

    hniter = hlast_iter;
    char *tag = make_run_tag();
    write_snapshot(tag);

    lean_upload();

    cudaEvent_t cycle_start = nullptr, cycle_stop = nullptr;
    cudaEventCreate(&cycle_start);
    cudaEventCreate(&cycle_stop);
    for (int cycle = 1; cycle <= hncycles; cycle++) {
        cudaEventRecord(cycle_start, 0);
        lean_steps(hniter_cycle);
        cudaEventRecord(cycle_stop, 0);
        cudaEventSynchronize(cycle_stop);
        const double seconds = elapsed_ms(cycle_start, cycle_stop) / 1000.0;
        hniter += hniter_cycle;
        if (!options.quiet) {
            const double updates = static_cast<double>(hnodes) * hniter_cycle;
            std::printf("\ncycle %d of %d: %d steps in %.3f s, %.2f MLUPS\n", cycle,
                        hncycles, hniter_cycle, seconds,
                        seconds > 0.0 ? updates / seconds / 1e6 : 0.0);
        }
        lean_density_to_host();
        write_snapshot(tag);
    }
    cudaEventDestroy(cycle_start);
    cudaEventDestroy(cycle_stop);

    lean_free();
    host_free();
    std::free(tag);
    return 0;
}
