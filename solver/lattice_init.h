// Lattice initialisation: the nine-velocity set and a fluid at rest whose
// density scatters by 0.1 percent around the mean density.
#pragma once

// Base weights 2/3, 1/6 and base speeds 0, c; the nine velocities (rest,
// four axis velocities counter-clockwise from +x, four diagonals
// counter-clockwise from (+x, +y)) with weights the products of the base
// weights; the Courant number c dt / h. Returns 0.
int init_base_vectors(double *bweight, double *cweight, double *bspeed, double *cspeed_x,
                      double *cspeed_y, double *cfl, double moving_speed, double rest_speed,
                      double delta_time, double delta_space);

// Densities uniform in [0.999, 1.001) times rho_zero, drawn node by node in
// row order, then every distribution at its equilibrium for the flow
// velocity u0. Returns 0.
int init_arrays(double *gf, double *feq, const double *cspeed_x, const double *cspeed_y,
                const double *cweight, int nodes, int nodes_x, int nodes_y, int nvelocities,
                int kn, double u0, double one, double rho_zero, double chic2, double twochic2,
                double twochi2c4);

// drand48() * (b - a) + a: uniform in [a, b). The generator is never seeded,
// so every run draws the same sequence.
double randomUniformInterval(double a, double b);
