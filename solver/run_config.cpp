// Run configuration: structural values, host constants, slot indices, the
// twelve run parameters and everything derived from them.
#include "run_config.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "param_reader.h"

int hnw = 2;
int hnvar = 27;
int hnbasevelocities = 2;
int hnvelocities = 9;

const double hzero = 0.0, hone = 1.0, htwo = 2.0, hthree = 3.0, hfour = 4.0, hfive = 5.0,
             height = 8.0;
const double hlength = 1.0;
const double hchi = 1.0 / 3.0;

// Slot indices of the node field array: the nine distributions come first,
// then the moments, pressures and forces; hkfeq is the slot count per node.
int hkn, hkux, hkuy, hkpid, hkpwaals, hkdpress, hkforcex, hkforcey, hkfeq;

static int set_slot_indices()
{
    hkn = hnvelocities;
    hkux = hkn + 1;
    hkuy = hkn + 2;
    hkpid = hkn + 3;
    hkpwaals = hkn + 4;
    hkdpress = hkn + 5;
    hkforcex = hkn + 6;
    hkforcey = hkn + 7;
    hkfeq = hkn + 8;
    return 1;
}
// hnvelocities is constant-initialised, so it is set before this runs.
static const int slot_indices_set = set_slot_indices();

int hnodes_x, hnodes_y, hniter, hniter_cycle, hncycles, hlast_iter;
double hRTzero, htemperature, hdelta_time, hkappa, hrho_zero, htau;

int hnodes, hlnodes_x, hlnodes_y, hlnodes;
double hdelta_space, htwo_delta_space, hdelta_space_three_three;
double htcritical, htfluid, hchic2, hbbspeed, htwochic2, htwochi2c4, hdtimetemp;
double hcfl;

// 32-bit products and sums as the configuration defines them. Values that do
// not fit wrap around (formed in 64 bits, so without undefined behaviour);
// the start-up check rejects such lattices before anything uses them.
static int wrap32(std::int64_t v)
{
    return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(v)));
}

int lb_input(int *nodes, int *nodes_x, int *nodes_y, int *niter, int *niter_cycle,
             int *ncycles, int *last_iter, int *lnodes, int *lnodes_x, int *lnodes_y,
             double *bbspeed, double *tcritical, double *tfluid, double *chic2,
             double *twochic2, double *twochi2c4, double *dtimetemp, double *RTzero,
             double *temperature, double *delta_time, double *kappa, double *rho_zero,
             double *tau, double *delta_space, double *two_delta_space,
             double *delta_space_three_three, int nw, double length, double one, double two,
             double three, double chi)
{
    get_int("hnodes_x", nodes_x);
    get_int("hnodes_y", nodes_y);
    get_int("hniter", niter);
    get_int("hniter_cycle", niter_cycle);
    get_int("hncycles", ncycles);
    get_int("hlast_iter", last_iter);
    get_Real("hRTzero", RTzero);
    get_Real("htemperature", temperature);
    get_Real("hdelta_time", delta_time);
    get_Real("hkappa", kappa);
    get_Real("hrho_zero", rho_zero);
    get_Real("htau", tau);

    derive_quantities(nodes, *nodes_x, *nodes_y, lnodes, lnodes_x, lnodes_y, bbspeed, tcritical,
                      tfluid, chic2, twochic2, twochi2c4, dtimetemp, *RTzero, *temperature,
                      *delta_time, delta_space, two_delta_space, delta_space_three_three, nw,
                      length, one, two, three, chi);
    return 1;
}

void derive_quantities(int *nodes, int nodes_x, int nodes_y, int *lnodes, int *lnodes_x,
                       int *lnodes_y, double *bbspeed, double *tcritical, double *tfluid,
                       double *chic2, double *twochic2, double *twochi2c4, double *dtimetemp,
                       double RTzero, double temperature, double delta_time,
                       double *delta_space, double *two_delta_space,
                       double *delta_space_three_three, int nw, double length, double one,
                       double two, double three, double chi)
{
    // The lattice spacing is fixed at 1/128 whatever the node counts.
    *delta_space = length / 128.0;
    *two_delta_space = *delta_space * two;
    *delta_space_three_three = *delta_space * *delta_space * *delta_space / three;

    *nodes = wrap32(static_cast<std::int64_t>(nodes_x) * nodes_y);
    *lnodes_x = wrap32(static_cast<std::int64_t>(nodes_x) + 2 * nw);
    *lnodes_y = wrap32(static_cast<std::int64_t>(nodes_y) + 2 * nw);
    *lnodes = wrap32(static_cast<std::int64_t>(*lnodes_x) * *lnodes_y);

    // Critical temperature 1/RTzero; the lattice speed c is chosen so that
    // chi c^2, the squared sound speed, equals the fluid temperature.
    *tcritical = one / RTzero;
    *tfluid = temperature / RTzero;
    *chic2 = *tfluid;
    *bbspeed = std::sqrt(*tfluid / chi);
    *twochic2 = *chic2 * two;
    *twochi2c4 = *chic2 * two * *chic2;
    *dtimetemp = delta_time / *chic2;
}

void derive_run_configuration()
{
    lb_input(&hnodes, &hnodes_x, &hnodes_y, &hniter, &hniter_cycle, &hncycles, &hlast_iter,
             &hlnodes, &hlnodes_x, &hlnodes_y, &hbbspeed, &htcritical, &htfluid, &hchic2,
             &htwochic2, &htwochi2c4, &hdtimetemp, &hRTzero, &htemperature, &hdelta_time,
             &hkappa, &hrho_zero, &htau, &hdelta_space, &htwo_delta_space,
             &hdelta_space_three_three, hnw, hlength, hone, htwo, hthree, hchi);
}

int run_tag_length(int nodes_x, int nodes_y, double delta_space, double delta_time, double tau,
                   double rho_zero, double RTzero, double tfluid, double kappa)
{
    return std::snprintf(nullptr, 0, RUN_TAG_FORMAT, nodes_x, nodes_y, delta_space, delta_time,
                         tau, rho_zero, RTzero, tfluid * RTzero, kappa);
}

int build_names(char *tag, int nodes_x, int nodes_y, double delta_space, double delta_time,
                double tau, double rho_zero, double RTzero, double tfluid, double kappa)
{
    // The caller sizes tag with run_tag_length; the bound is that length.
    const int length = run_tag_length(nodes_x, nodes_y, delta_space, delta_time, tau, rho_zero,
                                      RTzero, tfluid, kappa);
    std::snprintf(tag, static_cast<size_t>(length) + 1, RUN_TAG_FORMAT, nodes_x, nodes_y,
                  delta_space, delta_time, tau, rho_zero, RTzero, tfluid * RTzero, kappa);
    return 1;
}
