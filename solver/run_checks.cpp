// Start-up check of the run configuration and the blow-up check.
#include "run_checks.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "reporters.h"
#include "run_config.h"

// The parameter file the configuration came from, named in every message.
static const char *parameter_file = "nw2cuda.input";

[[noreturn]] static void reject()
{
    end_run(1);
}

static void check_extent(const char *key, int value)
{
    if (value < hnw) {
        std::fprintf(stderr, "%s: -%s %d is smaller than the halo width %d\n", parameter_file,
                     key, value, hnw);
        reject();
    }
}

// Element counts are formed in 32-bit int by the storage and the kernels.
void check_element_count(const char *what, std::int64_t count)
{
    if (count > INT_MAX) {
        std::fprintf(stderr,
                     "%s: -hnodes_x %d -hnodes_y %d give %lld values of the %s, more than %d\n",
                     parameter_file, hnodes_x, hnodes_y, static_cast<long long>(count), what,
                     INT_MAX);
        reject();
    }
}

static void check_positive(const char *key, double value)
{
    if (!(value > 0.0) || !std::isfinite(value)) {
        std::fprintf(stderr, "%s: -%s %.17g is not a positive finite number\n", parameter_file,
                     key, value);
        reject();
    }
}

void check_run_configuration(const char *path)
{
    parameter_file = path;
    check_extent("hnodes_x", hnodes_x);
    check_extent("hnodes_y", hnodes_y);

    // Both extents are at least 2 here, so none of these products can wrap.
    const std::int64_t nodes = static_cast<std::int64_t>(hnodes_x) * hnodes_y;
    const std::int64_t lnodes = (static_cast<std::int64_t>(hnodes_x) + 2 * hnw) *
                                (static_cast<std::int64_t>(hnodes_y) + 2 * hnw);
    check_element_count("node field array", static_cast<std::int64_t>(hkfeq) * nodes);
    check_element_count("halo lattice", static_cast<std::int64_t>(hnvar) * lnodes);

    // The step counter runs from hlast_iter to the last snapshot's label.
    const std::int64_t cycles = hncycles > 0 ? hncycles : 0;
    const std::int64_t steps = hniter_cycle > 0 ? hniter_cycle : 0;
    const std::int64_t last_label = hlast_iter + cycles * steps;
    if (last_label > INT_MAX) {
        std::fprintf(stderr,
                     "%s: -hlast_iter %d -hncycles %d -hniter_cycle %d: the last snapshot "
                     "label %lld is larger than %d\n",
                     parameter_file, hlast_iter, hncycles, hniter_cycle,
                     static_cast<long long>(last_label), INT_MAX);
        reject();
    }

    check_positive("hRTzero", hRTzero);
    check_positive("htemperature", htemperature);
    check_positive("htau", htau);
    check_positive("hrho_zero", hrho_zero);
}

void check_snapshot_total(double ntot, int iter)
{
    if (!std::isfinite(ntot)) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "vdwflow: the run became unstable at iteration %d: total density is not "
                     "finite\n",
                     iter);
        note_failure(run_failure::unstable);
        end_run(1);
    }
}
