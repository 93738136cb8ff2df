// Walls, wetting and gravity in the real program: vdwflow's channel flows
// against their exact profiles, and drops on walls against Young's law. The
// state is read from the checkpoint each run leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "checkpoint.h"
#include "physics_support.h"
#include "test_support.h"
#include "vdw_thermo.h"

using namespace lean;

using namespace test_support;

namespace {

const double kSpacing = 1.0 / 128.0;

struct Field {
    int nx = 0, ny = 0;
    std::vector<double> density, ux, uy;
    double at(const std::vector<double> &v, int x, int y) const { return v[y * nx + x]; }
};

// Runs vdwflow in a fresh folder on these parameters and reads the density
// and velocity of its last state from the checkpoint.
Field run_vdwflow(int nx, int ny, double temperature, double delta_time, int steps,
                  const std::string &keys)
{
    TempDir dir;
    char text[512];
    std::snprintf(text, sizeof text,
                  "-hnodes_x %d\n-hnodes_y %d\n-hniter_cycle %d\n-hncycles 1\n-hlast_iter 0\n"
                  "-hRTzero 1\n-htemperature %.17g\n-hdelta_time %.17g\n-hkappa 0.0001\n"
                  "-hrho_zero 1\n-htau 0.001\n",
                  nx, ny, steps, temperature, delta_time);
    write_file(dir.file("nw2cuda.input"), text + keys + "\n");
    const ProcessResult r = run_program(VDWFLOW, dir.path(), {}, {}, {"-q"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string bytes = read_file(dir.file(CHECKPOINT_FILE));
    const size_t nodes = static_cast<size_t>(nx) * ny;
    Field f;
    f.nx = nx;
    f.ny = ny;
    if (bytes.size() != kCheckpointHeaderBytes + kCheckpointPlanes * nodes * 8 + 4) return f;
    std::vector<double> planes(kCheckpointPlanes * nodes);
    std::memcpy(planes.data(), bytes.data() + kCheckpointHeaderBytes, planes.size() * 8);
    const int ex[9] = {0, 1, 0, -1, 0, 1, -1, -1, 1}, ey[9] = {0, 0, 1, 0, -1, 1, 1, -1, -1};
    const double c = std::sqrt(3.0 * temperature);
    f.density.assign(nodes, 0.0);
    f.ux.assign(nodes, 0.0);
    f.uy.assign(nodes, 0.0);
    for (size_t p = 0; p < nodes; p++) {
        for (int i = 0; i < 9; i++) {
            f.density[p] += planes[i * nodes + p];
            f.ux[p] += planes[i * nodes + p] * ex[i] * c;
            f.uy[p] += planes[i * nodes + p] * ey[i] * c;
        }
        f.ux[p] /= f.density[p];
        f.uy[p] /= f.density[p];
    }
    return f;
}

// The column means of a field over y (a channel between walls at x).
std::vector<double> across(const Field &f, const std::vector<double> &v)
{
    std::vector<double> mean(f.nx, 0.0);
    for (int x = 0; x < f.nx; x++) {
        for (int y = 0; y < f.ny; y++) mean[x] += f.at(v, x, y);
        mean[x] /= f.ny;
    }
    return mean;
}

// Least-squares parabola a x^2 + b x + c through the points.
void fit_parabola(const std::vector<double> &x, const std::vector<double> &y, double coef[3])
{
    double m[3][4] = {};
    for (size_t k = 0; k < x.size(); k++) {
        const double row[3] = {x[k] * x[k], x[k], 1.0};
        for (int i = 0; i < 3; i++) {
            for (int j = 0; j < 3; j++) m[i][j] += row[i] * row[j];
            m[i][3] += row[i] * y[k];
        }
    }
    for (int i = 0; i < 3; i++)
        for (int r = i + 1; r < 3; r++) {
            const double q = m[r][i] / m[i][i];
            for (int j = i; j < 4; j++) m[r][j] -= q * m[i][j];
        }
    for (int i = 2; i >= 0; i--) {
        double s = m[i][3];
        for (int j = i + 1; j < 3; j++) s -= m[i][j] * coef[j];
        coef[i] = s / m[i][i];
    }
}

}  // namespace

// A single-phase fluid (T/Tc 1.4) driven along y by gravity between walls
// at x = -1/2 and x = H - 1/2 (nodes): the steady profile is the parabola of
// the viscosity tau T + c h / 6 (the upwind propagation's own diffusion
// added), up to a slip at the wall that falls as 1 / H^2.
TEST(Channel, SinglePhaseFlowIsTheParabolaOfItsViscosity)
{
    const double T = 1.4, c = std::sqrt(3.0 * T), nu = 1e-3 * T + c * kSpacing / 6.0;
    const double dt = 7e-4;
    std::printf("\n%6s %8s %12s %12s %14s %12s\n", "H", "steps", "u largest", "exact",
                "slip / u max", "viscosity");
    for (const int H : {16, 32, 64}) {
        // A centreline speed of 0.05; 14 e-foldings of the slowest mode.
        const double half = 0.5 * H * kSpacing, g = 0.05 * 2.0 * nu / (half * half);
        const int steps = static_cast<int>(14.0 * 4.0 * half * half / (M_PI * M_PI * nu) / dt);
        char keys[128];
        std::snprintf(keys, sizeof keys, "-hwalls x -hgravity_y %.17g", g);
        const Field f = run_vdwflow(H, 4, T, dt, steps, keys);
        ASSERT_FALSE(f.density.empty());
        const std::vector<double> u = across(f, f.uy);
        std::vector<double> x(H);
        double worst = 0.0;
        for (int i = 0; i < H; i++) {
            x[i] = (i - 0.5 * (H - 1)) * kSpacing;
            const double exact = g / (2.0 * nu) * (half * half - x[i] * x[i]);
            worst = std::max(worst, std::fabs(u[i] - exact));
        }
        double coef[3];
        fit_parabola(x, u, coef);
        const double viscosity = -g / (2.0 * coef[0]);
        const double u_max = g / (2.0 * nu) * half * half;
        std::printf("%6d %8d %12.6f %12.6f %14.3e %12.7f\n", H, steps,
                    *std::max_element(u.begin(), u.end()), u_max,
                    worst / u_max, viscosity);
        EXPECT_NEAR(viscosity / nu, 1.0, 1e-4);
        EXPECT_LT(worst / u_max, 3.5 / (H * H));
        for (int i = 0; i < H; i++) EXPECT_NEAR(f.at(f.ux, i, 0), 0.0, 1e-6 * u_max);
    }
}

// Two layers: a liquid band in the middle of the channel, vapour along the
// walls (T/Tc 0.9), driven along the band. Sharp interfaces would give
// parabolas of the same curvature in both phases (kinematic viscosity alike)
// joined with a kink where the shear stress n nu u' is continuous; the
// diffuse interface, about eight nodes wide, lubricates less: the centre
// moves slower by roughly its width over the channel's.
TEST(Channel, LayeredTwoPhaseFlowApproachesTheSharpInterfaceProfile)
{
    const double T = 0.9, c = std::sqrt(3.0 * T), nu = 1e-3 * T + c * kSpacing / 6.0;
    const int H = 64, band = 16;
    const double dt = 4e-4, half = 0.5 * H * kSpacing, a = band * kSpacing, g = 0.002;
    const int steps = static_cast<int>(14.0 * 4.0 * half * half / (M_PI * M_PI * nu) / dt);
    char keys[128];
    std::snprintf(keys, sizeof keys, "-hwalls x -hgravity_y %.17g -hinit slab -hinit_radius %d",
                  g, band);
    const Field f = run_vdwflow(H, 4, T, dt, steps, keys);
    ASSERT_FALSE(f.density.empty());
    const std::vector<double> u = across(f, f.uy), n = across(f, f.density);
    const double liquid = n[H / 2], vapour = n[0];
    const auto exact = [&](double x) {
        const auto in_vapour = [&](double x) {
            return g / nu * (liquid / vapour * a * (half - x) +
                             0.5 * ((half - a) * (half - a) - (x - a) * (x - a)));
        };
        return x <= a ? in_vapour(a) + g * (a * a - x * x) / (2.0 * nu) : in_vapour(x);
    };
    const double centre = exact(0.5 * kSpacing);
    std::printf("\nlayered channel, H %d, liquid band %d nodes: densities %.4f / %.4f, "
                "centre speed %.5f against %.5f sharp (%+.1f %%), vapour at the wall %.5f "
                "against %.5f\n",
                H, 2 * band, vapour, liquid, u[H / 2], centre, 100.0 * (u[H / 2] / centre - 1.0),
                u[1], exact(std::fabs(1.0 - 0.5 * (H - 1)) * kSpacing));
    EXPECT_NEAR(u[H / 2] / centre, 1.0, 0.15);
    EXPECT_LT(u[H / 2], centre);
}

namespace {

// Points of the contour n = level of a field, by linear interpolation along
// rows and columns, in node coordinates.
std::vector<std::pair<double, double>> contour(const Field &f, double level)
{
    std::vector<std::pair<double, double>> points;
    for (int y = 0; y < f.ny; y++)
        for (int x = 0; x + 1 < f.nx; x++) {
            const double a = f.at(f.density, x, y), b = f.at(f.density, x + 1, y);
            if ((a - level) * (b - level) < 0) points.push_back({x + (level - a) / (b - a), y});
        }
    for (int x = 0; x < f.nx; x++)
        for (int y = 0; y + 1 < f.ny; y++) {
            const double a = f.at(f.density, x, y), b = f.at(f.density, x, y + 1);
            if ((a - level) * (b - level) < 0) points.push_back({x, y + (level - a) / (b - a)});
        }
    return points;
}

// Contact angle inside the liquid of a drop on the bottom wall (y = -1/2):
// a circle fitted (algebraically) to the mid-density contour above the
// wall's layer, theta = arccos(-(y_c - y_wall) / R).
double contact_angle(const Field &f, double vapour, double liquid)
{
    double m[3][4] = {};
    for (const auto &[x, y] : contour(f, 0.5 * (vapour + liquid))) {
        if (y < 3.0) continue;
        const double row[3] = {2 * x, 2 * y, 1.0}, rhs = x * x + y * y;
        for (int i = 0; i < 3; i++) {
            for (int j = 0; j < 3; j++) m[i][j] += row[i] * row[j];
            m[i][3] += row[i] * rhs;
        }
    }
    double s[3];
    for (int i = 0; i < 3; i++)
        for (int r = i + 1; r < 3; r++) {
            const double q = m[r][i] / m[i][i];
            for (int j = i; j < 4; j++) m[r][j] -= q * m[i][j];
        }
    for (int i = 2; i >= 0; i--) {
        s[i] = m[i][3];
        for (int j = i + 1; j < 3; j++) s[i] -= m[i][j] * s[j];
        s[i] /= m[i][i];
    }
    const double radius = std::sqrt(s[2] + s[0] * s[0] + s[1] * s[1]);
    return std::acos(-(s[1] + 0.5) / radius) * 180.0 / M_PI;
}

}  // namespace

// Drops of radius 20 posed as half discs on the bottom wall (T/Tc 0.9, 128 x
// 64, periodic in x) take the angle Young's law gives for the wall's wetting
// parameter, with the wall tensions of Cahn's construction
// (scripts/vdw_theory.py wetting 0.9 --kappa 1e-4 --wetting H_W).
TEST(ContactAngle, DropsOnWallsTakeYoungsAngle)
{
    struct Case {
        double wetting, young;  // degrees
    };
    const Case cases[] = {{-8e-4, 123.5}, {0.0, 90.0}, {8e-4, 55.9}};
    const double vapour = 0.425742, liquid = 1.657270;
    std::printf("\n%10s %10s %10s\n", "h_w", "angle", "Young");
    for (const Case &c : cases) {
        char keys[160];
        std::snprintf(keys, sizeof keys,
                      "-hwalls y -hwall_wetting %.17g -hinit drop -hinit_radius 20 "
                      "-hinit_y -0.5",
                      c.wetting);
        const Field f = run_vdwflow(128, 64, 0.9, 4e-4, 25000, keys);
        ASSERT_FALSE(f.density.empty());
        const double angle = contact_angle(f, vapour, liquid);
        std::printf("%10.1e %10.1f %10.1f\n", c.wetting, angle, c.young);
        EXPECT_NEAR(angle, c.young, 4.0) << c.wetting;
    }
}

// The Lax-Wendroff scheme (-hscheme lax_wendroff): a flat slab at T/Tc 0.8
// relaxes to the equal-area densities within 0.5 % (vapour) and 0.1 %
// (liquid), where the upwind step is 2.4 % off; a drop at rest (64 x 64,
// radius 16, T/Tc 0.9) stirs its surroundings at most at 0.005, where the
// upwind step keeps a flow of 0.05.
TEST(Scheme, LaxWendroffCoexistenceAndQuietDrop)
{
    const Field slab =
        run_vdwflow(128, 4, 0.8, 2e-4, 100000, "-hscheme lax_wendroff -hinit slab -hinit_radius 32");
    ASSERT_FALSE(slab.density.empty());
    double vapour = 1e9, liquid = 0.0;
    for (double n : slab.density) {
        vapour = std::min(vapour, n);
        liquid = std::max(liquid, n);
    }
    const vdw::Pair coex = vdw::coexistence(vdw::Fluid{0.8, 1.0});
    std::printf("\nslab, T/Tc 0.8: vapour %.6f (%+.3f %%), liquid %.6f (%+.3f %%)\n", vapour,
                100.0 * (vapour / coex.vapour - 1.0), liquid, 100.0 * (liquid / coex.liquid - 1.0));
    EXPECT_NEAR(vapour / coex.vapour, 1.0, 0.005);
    EXPECT_NEAR(liquid / coex.liquid, 1.0, 0.001);

    const Field drop =
        run_vdwflow(64, 64, 0.9, 2e-4, 40000, "-hscheme lax_wendroff -hinit drop -hinit_radius 16");
    ASSERT_FALSE(drop.density.empty());
    double fastest = 0.0;
    for (size_t p = 0; p < drop.ux.size(); p++)
        fastest = std::max(fastest, std::hypot(drop.ux[p], drop.uy[p]));
    std::printf("drop at rest, T/Tc 0.9, 64 x 64, radius 16: largest speed %.5f\n", fastest);
    EXPECT_LT(fastest, 0.005);
}
