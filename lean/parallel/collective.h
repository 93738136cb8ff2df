// What the processes of a run do together beyond the halos: agree that a
// phase succeeded everywhere (or end it everywhere), gather layers of the
// lattice to the first process, and sum a field in the order of one process,
// so that a run on any number of processes prints and writes the same bytes.
#pragma once

#include <functional>
#include <vector>

#include "decomposition.h"
#include "reporters.h"
#include "team.h"

namespace lean {

// A failure every process of a run knows of: each can end without the
// others' help (only the first process's has lines to print).
struct agreed_failure : run_error {
    agreed_failure() = default;
    explicit agreed_failure(const run_error &e) : run_error(e) {}
};

// Runs `phase` on every process; where it throws a run_error on any, it
// ends on all with an agreed_failure: the first failing process's error on
// the first process (which prints it), the same status without a line on
// the others. A phase may hold collective calls only if it makes them on
// every process, failed or not.
void together(team &t, const std::function<void()> &phase);

// Rows row0 .. row1 - 1 of a field of the lattice (rows counted y fastest,
// then z: row z * nodes_y + y; per_node values a node, x fastest), from the
// blocks of every process (`values` the block's, x fastest, then y, then z),
// into `out` of the first process; the others' `out` is not touched.
void gather_rows(team &t, const block &b, const double *values, int per_node, long long row0,
                 long long row1, double *out);

// The sum of a field over the nodes of the lattice in their order, as one
// process sums it (sum = value + sum, from 0), folded by the first process a
// bounded number of rows at a time and known to every process. Nodes
// where `skip` (a value a node of the lattice; null: none) is non-zero are
// left out; `counted` (may be null) gets how many were summed.
double ordered_sum(team &t, const block &b, const double *values,
                   const std::vector<unsigned char> *skip, long long *counted);

}  // namespace lean
