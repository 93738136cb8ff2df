// vdwflow's run between its start-up and its end, in the calls that the
// program's driver and the Python package both make: the snapshots in the
// formats the setup asks for (the .vti collection kept across them), the
// checkpoint of the current step, and the reference density of gravity.
// Each works on the run configuration, the setup and the device state in
// place; a file that cannot be written ends the run as end_run does.
#pragma once

#include <string>
#include <vector>

#include "vti_writer.h"

// A snapshot of the density in slot hkn of hgf, labelled hniter, in the
// formats of -houtput (solid nodes show no density), written into the
// snapshot folder; then the check that the run is sound. `on_device`: the
// velocity of a .vti comes from the level the last step started from (after
// steps), else from the distributions in hgf (before the first step).
void lean_write_snapshot(const char *tag, bool on_device);

// The fields a snapshot shows beside its density (slot hkn of hgf, solid
// nodes cleared): the velocity, from the level the last step started from
// (`on_device`) or from the distributions in hgf (before any step), with
// `scratch` of hnodes values; the van der Waals pressure of the density; and
// the total density as the console line sums it. Solid nodes show 0.
void lean_snapshot_velocity(double *ux, double *uy, double *scratch, bool on_device);
void lean_snapshot_pressure(double *pressure);
double lean_snapshot_total();

// The .vti files of the collection so far (their names, without the folder).
std::vector<vti::entry> &lean_collection();

// The collection of a run resumed at step `resumed_from`: the .vti files of
// the snapshots before it that are in the snapshot folder, as a run that
// never stopped lists them.
void lean_resume_collection(const char *tag, int resumed_from);

// The reference density of -hgravity_reference mean: the mean density of
// the fluid nodes of the initial state in hgf.
void lean_resolve_gravity_reference();

// Solid nodes hold no fluid: their density in slot hkn of hgf is 0 (the
// device keeps the ghost densities of the walls there).
void lean_clear_solid_density();

// The state of step hniter (the distributions and the density a snapshot
// shows, brought into slots 0 .. hkn of hgf) written to the checkpoint file
// `path`.
void lean_write_checkpoint(const char *path);
