// The planes of a level of vdwflow's state and the constants of a run that
// every kernel launch carries.
#pragma once

namespace lean {

constexpr int kLeanPlanes = 11;
constexpr int kLeanN = 9;
constexpr int kLeanDp = 10;
// The Lax-Wendroff scheme hands three more planes from one step to the next:
// the isotropic Laplacian of the density (of the level itself, from a pass
// of its own after the step) and the momentum, for the equilibria of the
// neighbours.
constexpr int kLeanLap = 11;
constexpr int kLeanJx = 12;
constexpr int kLeanJy = 13;
constexpr int kLeanPlanesLW = 14;
// The same planes of a three-dimensional level: the nineteen distributions
// of D3Q19, then the density and the pressure difference; with the
// Lax-Wendroff scheme the Laplacian and the three components of the momentum.
constexpr int kLean3N = 19;
constexpr int kLean3Dp = 20;
constexpr int kLean3Planes = 21;
constexpr int kLean3Lap = 21;
constexpr int kLean3Jx = 22;
constexpr int kLean3Jy = 23;
constexpr int kLean3Jz = 24;
constexpr int kLean3PlanesLW = 25;
// What the kernels over the border (periodic images, ghost cells) need of a
// run: few enough values to pass to every thread of a kernel that runs a
// thread at a time.
struct lattice_constants {
    int row;     // cells per padded row
    int slab;    // cells per padded layer of a three-dimensional box
    int plane;   // cells per plane (the whole padded box in three dimensions)
    int planes;  // planes of a level (the images copy them all)
    int halo;    // cells of the halo on every side of the nodes (along z too in a box)
    int origin;  // the cell of the first node
    int nodes_x, nodes_y, nodes_z;
    int walls;  // the directions with walls: x 1, y 2, z 4
    int density_plane, difference_plane, laplacian_plane;  // kLeanN ... or kLean3N ...
    double tfluid, tcritical;  // the pressure of a ghost density
    double laplacian_scale;    // 1 / (6 h^2) of the isotropic Laplacian (Lax-Wendroff)
};

// A run's constants, as the step receives them.
struct step_constants : lattice_constants {
    double cx[9], cy[9], w[9];  // the velocity set
    double kappa, delta_time, tau, cfl, dtimetemp;
    double chic2, twochic2, twochi2c4, two_delta_space, delta_space_three_three;
    // Gravity: the acceleration, and it times the reference density.
    double gravity_x, gravity_y, gravity_ref_x, gravity_ref_y;
    // Lax-Wendroff: (cfl / 2)(1 - cfl); the hyperviscosity's cfl / 8 (more
    // where the interface is resolved by fewer nodes); 1 / (2 h); h^2 T / 6,
    // the dispersion's share of the surface tension; c / cs^2; the relaxation
    // rate dt / (tau + c h / (6 T)), which keeps the viscosity of the upwind
    // runs.
    double lw_coefficient, hyper, inv_two_h, dispersion, c_over_cs2, rate;
};

// A three-dimensional run's constants, as its step receives them: the
// velocity set is D3Q19's (velocity_set.h), its speeds c e_i.
struct step_constants3 : lattice_constants {
    double c;  // the lattice speed
    double kappa, delta_time, tau, cfl, dtimetemp;
    double chic2, twochic2, twochi2c4, two_delta_space, delta_space_three_three;
    double gravity_x, gravity_y, gravity_z, gravity_ref_x, gravity_ref_y, gravity_ref_z;
    double lw_coefficient, hyper, inv_two_h, dispersion, c_over_cs2, rate;
};

}  // namespace lean
