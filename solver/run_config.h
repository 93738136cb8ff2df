// Run configuration of the solver: structural values, host constants, slot
// indices of the node field array, run parameters and derived quantities.
//
// Node field array: hkfeq slots per node, slot-major: slot s of node n is
// element s * hnodes + n, node n = iy * hnodes_x + ix (x runs fastest).
#pragma once

// Fixed structural values.
extern int hnw;               // halo width of the padded lattice
extern int hnvar;             // planes of the padded (halo) lattice
extern int hnbasevelocities;  // base speeds / base weights
extern int hnvelocities;      // lattice velocities

// Host constants; the first seven are uploaded as zero .. eight.
extern const double hzero, hone, htwo, hthree, hfour, hfive, height;
extern const double hlength;  // length of the lattice side
extern const double hchi;     // 1/3

// Slot indices, set before main from hnvelocities.
extern int hkn, hkux, hkuy, hkpid, hkpwaals, hkdpress, hkforcex, hkforcey, hkfeq;

// Run parameters read from the parameter file (0 when absent).
extern int hnodes_x, hnodes_y, hniter, hniter_cycle, hncycles, hlast_iter;
extern double hRTzero, htemperature, hdelta_time, hkappa, hrho_zero, htau;

// Derived quantities.
extern int hnodes, hlnodes_x, hlnodes_y, hlnodes;
extern double hdelta_space, htwo_delta_space, hdelta_space_three_three;
extern double htcritical, htfluid, hchic2, hbbspeed, htwochic2, htwochi2c4, hdtimetemp;
extern double hcfl;  // Courant number, set by init_base_vectors

int lb_input(int *nodes, int *nodes_x, int *nodes_y, int *niter, int *niter_cycle,
             int *ncycles, int *last_iter, int *lnodes, int *lnodes_x, int *lnodes_y,
             double *bbspeed, double *tcritical, double *tfluid, double *chic2,
             double *twochic2, double *twochi2c4, double *dtimetemp, double *RTzero,
             double *temperature, double *delta_time, double *kappa, double *rho_zero,
             double *tau, double *delta_space, double *two_delta_space,
             double *delta_space_three_three, int nw, double length, double one, double two,
             double three, double chi);

// What lb_input derives from the values it read (its second half), through
// the same pointers: the node counts, the spacing, the temperatures and the
// lattice speed. vdwflow derives its runs' configurations with it.
void derive_quantities(int *nodes, int nodes_x, int nodes_y, int *lnodes, int *lnodes_x,
                       int *lnodes_y, double *bbspeed, double *tcritical, double *tfluid,
                       double *chic2, double *twochic2, double *twochi2c4, double *dtimetemp,
                       double RTzero, double temperature, double delta_time,
                       double *delta_space, double *two_delta_space,
                       double *delta_space_three_three, int nw, double length, double one,
                       double two, double three, double chi);

// lb_input on the host variables above, with the halo width and the host
// constants, as the driver calls it.
void derive_run_configuration();

// Run tag, part of every output file name.
#define RUN_TAG_FORMAT "_X%3.3d_Y%3.3d_S%6.4f_T%7.5f_Ta%5.3e_R%5.3f_Z%4.2f_T%4.2f_K%8.6f"

// Length of the run tag (without the terminator) that build_names writes for
// these values; a buffer of this length + 1 holds it.
int run_tag_length(int nodes_x, int nodes_y, double delta_space, double delta_time, double tau,
                   double rho_zero, double RTzero, double tfluid, double kappa);

int build_names(char *tag, int nodes_x, int nodes_y, double delta_space, double delta_time,
                double tau, double rho_zero, double RTzero, double tfluid, double kappa);
