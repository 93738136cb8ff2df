// Checks that stop a run that cannot go well: a configuration outside what
// the solver can hold, and a lattice whose total density is no longer finite.
#pragma once

#include <cstdint>

// After lb_input, before anything is allocated: a lattice narrower or
// shorter than the halo width, element counts of 2^31 or more, a last
// snapshot label beyond int, or a temperature scale, temperature, relaxation
// time or mean density that is not a positive finite number each end the
// process with one line on standard error naming the key and its value,
// status 1. `path` is the parameter file, as the messages name it.
void check_run_configuration(const char *path = "nw2cuda.input");

// The values the start-up check looks at, and the check itself: each
// failure throws the run_error that check_run_configuration ends with.
struct configuration_values {
    const char *path;  // the parameter file, as the messages name it
    int nodes_x, nodes_y, last_iter, ncycles, niter_cycle;
    double RTzero, temperature, tau, rho_zero;
    int nw, slots, planes;  // halo width, node field slots, halo lattice planes
};
void check_configuration(const configuration_values &values);

// A storage of `count` values that 32-bit indices cannot address: its
// run_error, for the lattice of nodes_x x nodes_y nodes.
void check_elements(const char *path, int nodes_x, int nodes_y, const char *what,
                    std::int64_t count);

// A storage of `count` values that 32-bit indices cannot address ends the
// process in the same way (the lattice size named).
void check_element_count(const char *what, std::int64_t count);

// After a snapshot: a total density that is not finite means the run has
// blown up; one line on standard error, status 1 (check_total: its
// run_error).
void check_total(double ntot, int iter);
void check_snapshot_total(double ntot, int iter);
