// Lattice initialisation.
#include "lattice_init.h"

#include <cstdlib>

int init_base_vectors(double *bweight, double *cweight, double *bspeed, double *cspeed_x,
                      double *cspeed_y, double *cfl, double moving_speed, double rest_speed,
                      double delta_time, double delta_space)
{
    bweight[0] = 2.0 / 3.0;
    bweight[1] = 1.0 / 6.0;
    bspeed[0] = rest_speed;
    bspeed[1] = moving_speed;

    // For each velocity: which base speed each component takes and its sign.
    static const int base_x[9] = {0, 1, 0, 1, 0, 1, 1, 1, 1};
    static const int base_y[9] = {0, 0, 1, 0, 1, 1, 1, 1, 1};
    static const int sign_x[9] = {1, 1, 1, -1, 1, 1, -1, -1, 1};
    static const int sign_y[9] = {1, 1, 1, 1, -1, 1, 1, -1, -1};
    for (int i = 0; i < 9; i++) {
        cweight[i] = bweight[base_x[i]] * bweight[base_y[i]];
        cspeed_x[i] = sign_x[i] < 0 ? -bspeed[base_x[i]] : bspeed[base_x[i]];
        cspeed_y[i] = sign_y[i] < 0 ? -bspeed[base_y[i]] : bspeed[base_y[i]];
    }

    *cfl = moving_speed * delta_time / delta_space;
    return 0;
}

double randomUniformInterval(double a, double b)
{
    return drand48() * (b - a) + a;
}

int init_arrays(double *gf, double *feq, const double *cspeed_x, const double *cspeed_y,
                const double *cweight, int nodes, int nodes_x, int nodes_y, int nvelocities,
                int kn, double u0, double one, double rho_zero, double chic2, double twochic2,
                double twochi2c4)
{
    const double lo = 0.999 * rho_zero;
    const double hi = 1.001 * rho_zero;

    // The k-th number drawn goes to node k.
    for (int iy = 0; iy < nodes_y; iy++)
        for (int ix = 0; ix < nodes_x; ix++)
            gf[kn * nodes + iy * nodes_x + ix] = randomUniformInterval(lo, hi);

    // Second-order equilibrium with squared sound speed chi c^2.
    for (int iy = 0; iy < nodes_y; iy++) {
        for (int ix = 0; ix < nodes_x; ix++) {
            const int p = iy * nodes_x + ix;
            const double rho = gf[kn * nodes + p];
            const double ux = u0;
            const double uy = u0;
            feq[0] = one - (ux * ux + uy * uy) / twochic2;
            for (int l = 1; l < nvelocities; l++) {
                const double cu = cspeed_x[l] * ux + cspeed_y[l] * uy;
                feq[l] = (feq[0] + cu / chic2) + cu * cu / twochi2c4;
                gf[l * nodes + p] = (rho * feq[l]) * cweight[l];
            }
            gf[p] = (rho * feq[0]) * cweight[0];
        }
    }
    return 0;
}
