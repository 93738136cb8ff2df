// vdwflow's Lax-Wendroff scheme (-hscheme lax_wendroff): one step against a
// plain transcription of its equations on a random state, the invariants of
// a fluid at rest and in uniform flow, mass in a closed box with walls, an
// obstacle and gravity, resumed runs bit for bit, and the default scheme's
// files unchanged.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "checkpoint.h"
#include "test_support.h"

using namespace lean;

using namespace test_support;

namespace {

const std::string kLean = VDWFLOW_PATH;

std::string parameters(int nx, int ny, int niter_cycle, int ncycles, const std::string &extra,
                       double temperature = 0.9, double kappa = 1e-4)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "-hnodes_x %d\n-hnodes_y %d\n-hniter_cycle %d\n-hncycles %d\n-hlast_iter 0\n"
                  "-hRTzero 1\n-htemperature %.17g\n-hdelta_time 0.0002\n-hkappa %.17g\n"
                  "-hrho_zero 1\n-htau 0.001\n",
                  nx, ny, niter_cycle, ncycles, temperature, kappa);
    return text + extra + "\n";
}

std::vector<double> planes_of(const std::string &path, int nodes)
{
    const std::string bytes = read_file(path);
    std::vector<double> planes(static_cast<size_t>(kCheckpointPlanes) * nodes);
    EXPECT_EQ(bytes.size(), kCheckpointHeaderBytes + planes.size() * 8 + 4);
    if (bytes.size() == kCheckpointHeaderBytes + planes.size() * 8 + 4)
        std::memcpy(planes.data(), bytes.data() + kCheckpointHeaderBytes, planes.size() * 8);
    return planes;
}

void put_planes(const std::string &path, const std::vector<double> &planes)
{
    std::string bytes = read_file(path);
    std::memcpy(&bytes[kCheckpointHeaderBytes], planes.data(), planes.size() * 8);
    const std::uint32_t crc = crc32_update(0, bytes.data(), bytes.size() - 4);
    std::memcpy(&bytes[bytes.size() - 4], &crc, 4);
    write_file(path, bytes);
}

std::vector<std::string> totals(const std::string &out)
{
    std::vector<std::string> found;
    for (const auto &line : lines_of(out))
        if (line.rfind("iter=", 0) == 0) found.push_back(line.substr(line.find("ntot=") + 5));
    return found;
}

// ---------------------------------------------------------------------------
// The scheme's step written out plainly, on a periodic lattice, from the
// distributions f (9 planes) and the density of the step before.

const int kEx[9] = {0, 1, 0, -1, 0, 1, -1, -1, 1}, kEy[9] = {0, 0, 1, 0, -1, 1, 1, -1, -1};
const int kOpposite[9] = {0, 3, 4, 1, 2, 7, 8, 5, 6};
const double kW[9] = {4.0 / 9, 1.0 / 9, 1.0 / 9, 1.0 / 9, 1.0 / 9,
                      1.0 / 36, 1.0 / 36, 1.0 / 36, 1.0 / 36};

double sp_div(double a, double b)
{
    return static_cast<double>(static_cast<float>(a) / static_cast<float>(b));
}

// (the kernels' arithmetic, operation for operation: the single-precision
// quotients where the step has them, and its order of sums)
struct Reference {
    int nx = 0, ny = 0;
    double T = 0.9, dt = 0.0002, kappa = 1e-4, tau = 0.001, h = 0.0078125;
    double c = std::sqrt(T / (1.0 / 3.0)), cfl = c * dt / h;
    std::vector<double> n, jx, jy, ux, uy, dp, lap;

    int at(int x, int y) const { return ((y % ny + ny) % ny) * nx + (x % nx + nx) % nx; }
    double cx(int k) const { return kEx[k] == 0 ? 0.0 : kEx[k] * c; }
    double cy(int k) const { return kEy[k] == 0 ? 0.0 : kEy[k] * c; }

    double pressure_difference(double rho) const
    {
        const double pid = rho * T;
        return pid - (sp_div(pid * 3.0, 3.0 - rho) - ((1.0 * 1.125) * rho) * rho);
    }
    // The collision's equilibrium, with the step's single-precision quotients.
    double collision_feq(int k, double rho, double vx, double vy) const
    {
        const double base = 1.0 - sp_div(vx * vx + vy * vy, T * 2.0);
        if (k == 0) return base * (kW[0] * rho);
        const double cu = cx(k) * vx + cy(k) * vy;
        return kW[k] * (rho * (sp_div(cu * cu, T * 2.0 * T) + (sp_div(cu, T) + base)));
    }
    // The Lax-Wendroff terms of velocity k at node (x, y): the second and
    // fourth differences along e_k of the equilibrium's part linear in n and
    // j, w_k (n + c_k . j / cs^2), with s = e_k . j (j summed with c).
    double lax_wendroff(int k, int x, int y) const
    {
        const int line = k < 5 ? (k < 3 ? k : k - 2) : (k < 7 ? k : k - 2);  // 1 2 5 6
        const double sign = line == k ? 1.0 : -1.0;
        const auto nn = [&](int s) { return n[at(x + s * kEx[line], y + s * kEy[line])]; };
        const auto ss = [&](int s) {
            const int q = at(x + s * kEx[line], y + s * kEy[line]);
            if (kEx[line] == 0) return kEy[line] * jy[q];
            if (kEy[line] == 0) return kEx[line] * jx[q];
            return kEx[line] * jx[q] + kEy[line] * jy[q];
        };
        const double lw = 0.5 * cfl * (1.0 - cfl), hyper = cfl / 8.0;
        const double second_n = (nn(1) - 2.0 * nn(0)) + nn(-1);
        const double second_s = (ss(1) - 2.0 * ss(0)) + ss(-1);
        const double fourth_n = ((nn(2) + nn(-2)) - 4.0 * (nn(1) + nn(-1))) + 6.0 * nn(0);
        const double fourth_s = ((ss(2) + ss(-2)) - 4.0 * (ss(1) + ss(-1))) + 6.0 * ss(0);
        const double even = lw * second_n + hyper * fourth_n;
        const double odd = (lw * second_s + hyper * fourth_s) * (c / T);
        return kW[line] * (even + sign * odd);
    }
    // The isotropic differences D_d along (dx, dy), as the step forms them.
    double difference(const std::vector<double> &q, int x, int y, int d, bool along_x) const
    {
        const auto v = [&](int a, int b) { return q[at(x + a, y + b)]; };
        if (along_x)
            return 0.1111111111111111 * (v(d, 0) - v(-d, 0)) +
                   0.027777777777777776 * (((v(d, d) + v(d, -d)) - v(-d, d)) - v(-d, -d));
        return 0.1111111111111111 * (v(0, d) - v(0, -d)) +
               0.027777777777777776 * (((v(d, d) + v(-d, d)) - v(-d, -d)) - v(d, -d));
    }
    double numerator(const std::vector<double> &q, int x, int y, bool along_x) const
    {
        return 8.0 * difference(q, x, y, 1, along_x) - difference(q, x, y, 2, along_x);
    }

    std::vector<double> step(const std::vector<double> &f, const std::vector<double> &before)
    {
        const int nodes = nx * ny;
        n.assign(nodes, 0.0);
        jx = jy = ux = uy = dp = lap = n;
        for (int p = 0; p < nodes; p++) {
            for (int i = 0; i < 9; i++) {
                n[p] += f[i * nodes + p];
                jx[p] += f[i * nodes + p] * cx(i);
                jy[p] += f[i * nodes + p] * cy(i);
            }
            ux[p] = sp_div(jx[p], n[p]);
            uy[p] = sp_div(jy[p], n[p]);
            dp[p] = pressure_difference(before[p]);
        }
        for (int y = 0; y < ny; y++)
            for (int x = 0; x < nx; x++) {
                const auto v = [&](int a, int b) { return n[at(x + a, y + b)]; };
                const double axes = (v(1, 0) + v(-1, 0)) + (v(0, 1) + v(0, -1));
                const double diagonals = (v(1, 1) + v(-1, 1)) + (v(1, -1) + v(-1, -1));
                lap[at(x, y)] = (1.0 / (6.0 * h * h)) * ((4.0 * axes + diagonals) - 20.0 * v(0, 0));
            }
        std::vector<double> out(9 * nodes);
        const double rate = dt / (tau + c * h / (6.0 * T));
        for (int y = 0; y < ny; y++)
            for (int x = 0; x < nx; x++) {
                const int p = at(x, y);
                const double k_eff = kappa + (h * h * T / 6.0) / n[p];
                const double ax = sp_div(sp_div(numerator(dp, x, y, true), 2.0 * h), n[p]) +
                                  k_eff * (numerator(lap, x, y, true) * (1.0 / (2.0 * h)));
                const double ay = sp_div(sp_div(numerator(dp, x, y, false), 2.0 * h), n[p]) +
                                  k_eff * (numerator(lap, x, y, false) * (1.0 / (2.0 * h)));
                for (int i = 0; i < 9; i++) {
                    const double fi = f[i * nodes + p];
                    const double e = collision_feq(i, n[p], ux[p], uy[p]);
                    double moved = fi;
                    if (i > 0) {
                        moved = fi - cfl * (fi - f[i * nodes + at(x - kEx[i], y - kEy[i])]);
                        moved -= lax_wendroff(i, x, y);
                    }
                    out[i * nodes + p] =
                        moved - (rate * (fi - e) -
                                 (ax * (cx(i) - ux[p]) + ay * (cy(i) - uy[p])) * (e * (dt / T)));
                }
            }
        return out;
    }
};

}  // namespace

// One step of the scheme from a random state near a separated fluid (a
// density wave of amplitude 0.3, random distributions around it) equals the
// plain transcription of its equations, node by node and distribution by
// distribution, to rounding.
TEST(LaxWendroff, OneStepIsTheSchemesEquations)
{
    const int nx = 9, ny = 7, nodes = nx * ny;
    TempDir dir;
    write_file(dir.file("nw2cuda.input"),
               parameters(nx, ny, 1, 0, "-hscheme lax_wendroff", 0.9, 1e-4));
    ASSERT_EQ(run_program(kLean, dir.path(), {}, {}, {"-q"}).status, 0);

    std::mt19937 random(11);
    std::uniform_real_distribution<double> share(0.8, 1.2);
    std::vector<double> planes(10 * nodes);
    for (int y = 0; y < ny; y++)
        for (int x = 0; x < nx; x++) {
            const int p = y * nx + x;
            const double rho = 1.0 + 0.3 * std::sin(2 * M_PI * x / nx) * std::cos(2 * M_PI * y / ny);
            for (int i = 0; i < 9; i++) planes[i * nodes + p] = kW[i] * rho * share(random);
            planes[9 * nodes + p] = rho * share(random);
        }
    put_planes(dir.file(CHECKPOINT_FILE), planes);
    write_file(dir.file("nw2cuda.input"),
               parameters(nx, ny, 1, 1, "-hscheme lax_wendroff", 0.9, 1e-4));
    const ProcessResult r = run_program(kLean, dir.path(), {}, {}, {"-q", "--resume"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<double> after = planes_of(dir.file(CHECKPOINT_FILE), nodes);

    Reference ref;
    ref.nx = nx;
    ref.ny = ny;
    const std::vector<double> f(planes.begin(), planes.begin() + 9 * nodes);
    const std::vector<double> before(planes.begin() + 9 * nodes, planes.end());
    const std::vector<double> expected = ref.step(f, before);
    double worst = 0.0;
    for (int q = 0; q < 9 * nodes; q++)
        worst = std::max(worst, std::fabs(after[q] - expected[q]) / std::fabs(expected[q]));
    EXPECT_LT(worst, 1e-13);
    // (and the density the snapshot shows: the sum of the distributions the
    // step started from)
    for (int p = 0; p < nodes; p++) EXPECT_EQ(after[9 * nodes + p], ref.n[p]) << p;
}

// A uniform fluid at rest stays exactly at rest (periodic, and in a closed
// box with an obstacle and wetting walls: the neutral mirror keeps it
// uniform); a uniform flow stays uniform; the total density of a separating
// fluid in a closed box with walls, an obstacle and gravity keeps within the
// bound of periodic runs.
TEST(LaxWendroff, RestUniformFlowAndMass)
{
    TempDir dir;
    const std::string rest = "-hscheme lax_wendroff -hinit slab -hinit_radius 3 -hinit_liquid 1.2 "
                             "-hinit_vapour 1.2";
    std::vector<std::string> forms = {rest, rest + " -hwalls xy -hsolid_file mask.pgm"};
    // (a mask of 12 x 10 with a solid block in the middle)
    std::string mask = "P2\n12 10\n255\n";
    for (int y = 9; y >= 0; y--) {
        for (int x = 0; x < 12; x++) mask += (x >= 5 && x < 7 && y >= 4 && y < 6) ? "0 " : "255 ";
        mask += "\n";
    }
    write_file(dir.file("mask.pgm"), mask);
    for (const auto &form : forms) {
        SCOPED_TRACE(form);
        write_file(dir.file("nw2cuda.input"), parameters(12, 10, 50, 4, form));
        const ProcessResult r = run_program(kLean, dir.path(), {}, {}, {"-q"});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto t = totals(r.out);
        for (const auto &total : t) EXPECT_EQ(total, t.front());
        const auto planes = planes_of(dir.file(CHECKPOINT_FILE), 120);
        for (int p = 0; p < 120; p++)
            if (planes[9 * 120 + p] != 0.0) {
                EXPECT_EQ(planes[1 * 120 + p], planes[3 * 120 + p]) << p;
            }
    }

    // Uniform flow along x: distributions of a moving equilibrium, set
    // through a crafted checkpoint; every node stays like every other.
    write_file(dir.file("nw2cuda.input"), parameters(8, 6, 1, 0, "-hscheme lax_wendroff"));
    ASSERT_EQ(run_program(kLean, dir.path(), {}, {}, {"-q"}).status, 0);
    std::vector<double> planes(10 * 48);
    const double c = std::sqrt(2.7), u = 0.1;
    for (int p = 0; p < 48; p++) {
        for (int i = 0; i < 9; i++) {
            const double cu = c * kEx[i] * u;
            planes[i * 48 + p] = kW[i] * 1.3 * (1 - u * u / 1.8 + cu / 0.9 + cu * cu / 1.62);
        }
        planes[9 * 48 + p] = 1.3;
    }
    put_planes(dir.file(CHECKPOINT_FILE), planes);
    write_file(dir.file("nw2cuda.input"), parameters(8, 6, 20, 1, "-hscheme lax_wendroff"));
    ASSERT_EQ(run_program(kLean, dir.path(), {}, {}, {"-q", "--resume"}).status, 0);
    const auto moved = planes_of(dir.file(CHECKPOINT_FILE), 48);
    for (int i = 0; i < 10; i++)
        for (int p = 1; p < 48; p++) {
            EXPECT_EQ(moved[i * 48 + p], moved[i * 48]) << i << " " << p;
        }

    // Mass: separation in a closed box with wetting walls, an obstacle and gravity.
    write_file(dir.file("nw2cuda.input"),
               parameters(12, 10, 300, 2,
                          "-hscheme lax_wendroff -hwalls xy -hsolid_file mask.pgm "
                          "-hwall_wetting 4e-4 -hgravity_y -0.05"));
    const ProcessResult r = run_program(kLean, dir.path(), {}, {}, {"-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto t = totals(r.out);
    EXPECT_LT(std::fabs(std::stod(t.back()) / std::stod(t.front()) - 1.0), 6e-8 * 600 / 15000);
}

// -hscheme upwind is today's step: the files of a run without the key, byte
// for byte; a run of the new scheme stopped and resumed leaves the files of
// one that never stopped; a resume with the other scheme is refused.
TEST(LaxWendroff, DefaultUnchangedResumedBitForBitOtherSchemeRefused)
{
    TempDir plain, upwind;
    write_file(plain.file("nw2cuda.input"), parameters(16, 12, 20, 2, ""));
    write_file(upwind.file("nw2cuda.input"), parameters(16, 12, 20, 2, "-hscheme upwind"));
    ASSERT_EQ(run_program(kLean, plain.path(), {}, {}, {"-q"}).status, 0);
    ASSERT_EQ(run_program(kLean, upwind.path(), {}, {}, {"-q"}).status, 0);
    for (const auto &name : list_dir(plain.path())) {
        if (name != "nw2cuda.input" && name != CHECKPOINT_FILE) {
            EXPECT_TRUE(read_file(plain.file(name)) == read_file(upwind.file(name))) << name;
        }
    }

    TempDir straight, stopped;
    const std::string lw = "-hscheme lax_wendroff -hwalls y -hinit drop -hinit_radius 4 "
                           "-hinit_y -0.5 -hwall_wetting 4e-4 -houtput both";
    write_file(straight.file("nw2cuda.input"), parameters(16, 12, 20, 3, lw));
    write_file(stopped.file("nw2cuda.input"), parameters(16, 12, 20, 2, lw));
    ASSERT_EQ(run_program(kLean, straight.path(), {}, {}, {"-q"}).status, 0);
    ASSERT_EQ(run_program(kLean, stopped.path(), {}, {}, {"-q"}).status, 0);
    write_file(stopped.file("nw2cuda.input"), parameters(16, 12, 20, 3, lw));
    ASSERT_EQ(run_program(kLean, stopped.path(), {}, {}, {"-q", "--resume"}).status, 0);
    for (const auto &name : list_dir(straight.path()))
        EXPECT_TRUE(read_file(stopped.file(name)) == read_file(straight.file(name))) << name;

    write_file(stopped.file("nw2cuda.input"),
               parameters(16, 12, 20, 4, std::regex_replace(lw, std::regex("lax_wendroff"), "upwind")));
    const ProcessResult r = run_program(kLean, stopped.path(), {}, {}, {"-q", "--resume"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vdwflow: cannot resume from vdwflow.checkpoint: -hscheme is lax_wendroff "
                     "there and upwind in nw2cuda.input\n");
}
