// Checks that stop a run that cannot go well: a configuration outside what
// the solver can hold, and a lattice whose total density is no longer finite.
#pragma once

// After lb_input, before anything is allocated: a lattice narrower or
// shorter than the halo width, element counts of 2^31 or more, a last
// snapshot label beyond int, or a temperature scale, temperature, relaxation
// time or mean density that is not a positive finite number each end the
// process with one line on standard error naming the key and its value,
// status 1.
void check_run_configuration();

// After a snapshot: a total density that is not finite means the run has
// blown up; one line on standard error, status 1.
void check_snapshot_total(double ntot, int iter);
