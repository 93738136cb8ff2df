// Device mirror: the host arrays, the device buffers and every transfer
// between them. Failed runtime calls go to the program's reporter.
#pragma once

// Host arrays, zero-filled.
extern double *hgf;        // node field array, hkfeq * hnodes
extern double *hfeq;       // equilibrium work array, hnvelocities
extern double *hbweight;   // base weights, hnbasevelocities
extern double *hbspeed;    // base speeds, hnbasevelocities
extern double *hcweight;   // velocity weights, hnvelocities
extern double *hcspeed_x;  // velocity x components, hnvelocities
extern double *hcspeed_y;  // velocity y components, hnvelocities

// Device buffers.
extern double *dgf_one;   // node field array, hkfeq * hnodes
extern double *dgf_two;   // halo lattice, hnvar * hlnodes; device only
extern double *cspeed_x;  // hnvelocities
extern double *cspeed_y;  // hnvelocities
extern double *cweight;   // hnvelocities

int host_allocation();
int device_allocation();
int copy_to_device();  // hgf and the three velocity tables, once
int copy_to_host();    // dgf_one into hgf, after every cycle
int device_free();
int host_free();

// Uploads the device constant set; defined beside the kernels, which alone
// can see the constants.
int copy_constants_to_device();
