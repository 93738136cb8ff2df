// Start-up check of the run configuration and the blow-up check.
#include "run_checks.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "reporters.h"
#include "run_config.h"

// The parameter file the configuration came from, named in the messages of
// check_element_count.
static const char *parameter_file = "nw2cuda.input";

static void check_extent(const char *path, const char *key, int value, int nw)
{
    if (value < nw)
        throw error_line(run_failure::input, "%s: -%s %d is smaller than the halo width %d", path,
                         key, value, nw);
}

void check_elements(const char *path, int nodes_x, int nodes_y, const char *what,
                    std::int64_t count)
{
    if (count > INT_MAX)
        throw error_line(run_failure::input,
                         "%s: -hnodes_x %d -hnodes_y %d give %lld values of the %s, more than %d",
                         path, nodes_x, nodes_y, static_cast<long long>(count), what, INT_MAX);
}

// Element counts are formed in 32-bit int by the storage and the kernels.
void check_element_count(const char *what, std::int64_t count)
{
    try {
        check_elements(parameter_file, hnodes_x, hnodes_y, what, count);
    } catch (const run_error &e) {
        end_with(e);
    }
}

static void check_positive(const char *path, const char *key, double value)
{
    if (!(value > 0.0) || !std::isfinite(value))
        throw error_line(run_failure::input, "%s: -%s %.17g is not a positive finite number", path,
                         key, value);
}

void check_configuration(const configuration_values &c)
{
    check_extent(c.path, "hnodes_x", c.nodes_x, c.nw);
    check_extent(c.path, "hnodes_y", c.nodes_y, c.nw);

    // Both extents are at least 2 here, so none of these products can wrap.
    const std::int64_t nodes = static_cast<std::int64_t>(c.nodes_x) * c.nodes_y;
    const std::int64_t lnodes = (static_cast<std::int64_t>(c.nodes_x) + 2 * c.nw) *
                                (static_cast<std::int64_t>(c.nodes_y) + 2 * c.nw);
    check_elements(c.path, c.nodes_x, c.nodes_y, "node field array", c.slots * nodes);
    check_elements(c.path, c.nodes_x, c.nodes_y, "halo lattice", c.planes * lnodes);

    // The step counter runs from last_iter to the last snapshot's label.
    const std::int64_t cycles = c.ncycles > 0 ? c.ncycles : 0;
    const std::int64_t steps = c.niter_cycle > 0 ? c.niter_cycle : 0;
    const std::int64_t last_label = c.last_iter + cycles * steps;
    if (last_label > INT_MAX)
        throw error_line(run_failure::input,
                         "%s: -hlast_iter %d -hncycles %d -hniter_cycle %d: the last snapshot "
                         "label %lld is larger than %d",
                         c.path, c.last_iter, c.ncycles, c.niter_cycle,
                         static_cast<long long>(last_label), INT_MAX);

    check_positive(c.path, "hRTzero", c.RTzero);
    check_positive(c.path, "htemperature", c.temperature);
    check_positive(c.path, "htau", c.tau);
    check_positive(c.path, "hrho_zero", c.rho_zero);
}

void check_run_configuration(const char *path)
{
    parameter_file = path;
    try {
        check_configuration({path, hnodes_x, hnodes_y, hlast_iter, hncycles, hniter_cycle,
                             hRTzero, htemperature, htau, hrho_zero, hnw, hkfeq, hnvar});
    } catch (const run_error &e) {
        end_with(e);
    }
}

void check_total(double ntot, int iter)
{
    if (!std::isfinite(ntot)) {
        run_error e = error_line(run_failure::unstable,
                                 "vdwflow: the run became unstable at iteration %d: total density "
                                 "is not finite",
                                 iter);
        throw e;
    }
}

void check_snapshot_total(double ntot, int iter)
{
    try {
        check_total(ntot, iter);
    } catch (const run_error &e) {
        end_with(e);
    }
}
