// Device state of the lean solver vdwflow: two levels of the fused step's
// planes and one plane of nodes for the transfers. Defined beside the kernels
// (lean_state.cuh, in the program's translation unit); failed runtime calls
// go to the program's reporter.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>

extern double *dlean[2];    // the two levels, kLeanPlanes padded planes each
extern double *dlean_nodes; // hnodes values: one slot of the node field array
extern int hlean_current;   // index of the level that the next step reads

// Sizes of the padded planes for the run configuration, then the device
// buffers; a lattice whose planes 32-bit indices cannot address ends the run
// as the start-up check does.
int lean_allocation();
// The device constants, then the first level from the host node field array
// hgf: its distributions and, for the pressures of the first step and a
// snapshot before any step, its density slot.
int lean_upload();
// The device constants alone (lean_upload's first part).
int lean_upload_constants();
// The whole device state, both levels as they stand (a harness that holds
// several runs keeps the others' on the host): its size in values, the copy
// out, and the copy back into a run allocated and with its constants
// uploaded, with the index of the level the next step reads.
size_t lean_state_values();
int lean_save_state(double *host);
int lean_restore_state(const double *host, int current);
// `count` time steps, launched without waiting for them.
void lean_steps(int count);
// The density that a snapshot shows (the one summed before the last step's
// collision) into slot hkn of hgf; waits for the steps launched before.
int lean_density_to_host();
// What the next step starts from, in the slots of hgf that lean_upload reads:
// the distributions, and the density that a snapshot shows (from which the
// next step forms its pressures). lean_upload of these gives the same steps.
int lean_state_to_host();
// The velocity that a snapshot shows (that of the level the last step
// started from, momentum over the density in slot hkn of hgf, which
// lean_density_to_host brings) into ux and uy, hnodes values each; scratch
// holds hnodes values.
int lean_velocity_to_host(double *ux, double *uy, double *scratch);
// The density and the velocity that a snapshot shows, straight into host
// arrays (hnodes values; hnodes (ux, uy) pairs), solid nodes as the device
// holds them; waits for the steps launched before. The velocity is that of
// the level the last step started from: after at least one step.
int lean_density_to(double *out);
int lean_velocity_to(double *pairs);
int lean_free();
