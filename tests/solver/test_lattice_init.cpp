// Lattice initialisation: the velocity set and the fluid at rest.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "lattice_init.h"

namespace {

const double c = 1.6431676725154984;  // lattice speed at T = 0.9

struct VelocitySet {
    double bweight[2], bspeed[2], cweight[9], cx[9], cy[9], cfl = 0;
    VelocitySet()
    {
        EXPECT_EQ(init_base_vectors(bweight, cweight, bspeed, cx, cy, &cfl, c, 0.0, 0.0001,
                                    1.0 / 128),
                  0);
    }
};

TEST(VelocitySet, OrderComponentsAndWeights)
{
    const VelocitySet v;
    EXPECT_EQ(v.bweight[0], 0.6666666666666666);
    EXPECT_EQ(v.bweight[1], 0.16666666666666666);
    EXPECT_EQ(v.bspeed[0], 0.0);
    EXPECT_EQ(v.bspeed[1], c);
    // Rest, axes counter-clockwise from +x, diagonals counter-clockwise from (+x, +y).
    const int ex[9] = {0, 1, 0, -1, 0, 1, -1, -1, 1};
    const int ey[9] = {0, 0, 1, 0, -1, 1, 1, -1, -1};
    for (int i = 0; i < 9; i++) {
        EXPECT_EQ(v.cx[i], ex[i] * c) << i;
        EXPECT_EQ(v.cy[i], ey[i] * c) << i;
        const double w = i == 0 ? 0.4444444444444444
                         : i < 5 ? 0.1111111111111111
                                 : 0.027777777777777776;
        EXPECT_EQ(v.cweight[i], w) << i;
    }
    EXPECT_EQ(v.cx[3], -v.cx[1]);
    double sum = 0;
    for (double w : v.cweight)
        sum += w;
    EXPECT_EQ(sum, 1.0000000000000002);  // 1 to within one unit in the last place
    EXPECT_EQ(v.cfl, c * 0.0001 / (1.0 / 128));
}

struct Lattice {
    int nx, ny, n;
    std::vector<double> gf, feq;
    Lattice(int nodes_x, int nodes_y, double rho_zero, double chic2)
        : nx(nodes_x), ny(nodes_y), n(nodes_x * nodes_y), gf(17 * n, 0.0), feq(9, 0.0)
    {
        const VelocitySet v;
        EXPECT_EQ(init_arrays(gf.data(), feq.data(), v.cx, v.cy, v.cweight, n, nx, ny, 9, 9,
                              0.0, 1.0, rho_zero, chic2, 2 * chic2, 2 * chic2 * chic2),
                  0);
    }
    double at(int slot, int node) const { return gf[slot * n + node]; }
};

TEST(InitialLattice, DensitiesAreDrawnInNodeOrderFromDrand48)
{
    unsigned short state[3] = {0x330e, 0xabcd, 0x1234};
    seed48(state);
    const Lattice lattice(4, 2, 2.0, 0.9);
    seed48(state);
    for (int k = 0; k < 8; k++) {  // row 0 takes the first four numbers, row 1 the next
        const double expected = drand48() * (1.001 * 2.0 - 0.999 * 2.0) + 0.999 * 2.0;
        EXPECT_EQ(lattice.at(9, k), expected) << k;
    }
}

TEST(InitialLattice, FluidAtRestAroundTheMeanDensity)
{
    const Lattice lattice(8, 5, 1.0, 0.9);
    const VelocitySet v;
    for (int p = 0; p < lattice.n; p++) {
        const double rho = lattice.at(9, p);
        EXPECT_GE(rho, 0.999);
        EXPECT_LT(rho, 1.001);
        for (int l = 0; l < 9; l++)
            EXPECT_EQ(lattice.at(l, p), rho * v.cweight[l]) << "slot " << l << " node " << p;
        for (int s = 10; s < 17; s++)
            EXPECT_EQ(lattice.at(s, p), 0.0) << "slot " << s << " node " << p;
    }
    for (double f : lattice.feq)
        EXPECT_EQ(f, 1.0);
}

TEST(InitialLattice, UniformIntervalIsHalfOpen)
{
    for (int i = 0; i < 1000; i++) {
        const double r = randomUniformInterval(-3.0, 5.0);
        EXPECT_GE(r, -3.0);
        EXPECT_LT(r, 5.0);
    }
}

}  // namespace
