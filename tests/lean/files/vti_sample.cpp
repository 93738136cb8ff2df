// Writes a small series of .vti snapshots and their .pvd collection into a
// folder, as the solver writes them (the collection rewritten after every
// snapshot), for the checks of other readers (VTK's, the plotting scripts').
//
// Usage: vti_sample FOLDER [NX NY [NZ]]   (default 12 x 5 x 1 nodes)
//
// Snapshot k = 0, 1, 2 is step 2500 k at time step * 1e-4, spacing 1/128,
// and at node (x, y, z), i = (z * ny + y) * nx + x:
//   density   1 + x/8 + y/64 + z/32 + k/4    (node 1: 0.1)
//   velocity  ((x - y)/16 + k/1024, -(x y)/32, w)   (last node's x: 1e-310)
//             w = 0 for NZ = 1 (no velocity z), else (z - x)/64 + k/2048
//   pressure  3 density - 2.5          (node 0: -0.0)
//   solid     1 where (x + 2 y + 3 z) mod 5 == 0
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vti_writer.h"

// Nodes along x and y, then "_Z" and those along z where more than one.
static const char kTag[] =
    "_X%03d_Y%03d%s_S0.0078_T0.00010_Ta1.000e-03_R1.000_Z1.00_T0.90_K0.000100";

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: vti_sample FOLDER [NX NY [NZ]]\n");
        return 2;
    }
    const int nx = argc >= 4 ? std::atoi(argv[2]) : 12;
    const int ny = argc >= 4 ? std::atoi(argv[3]) : 5;
    const int nz = argc == 5 ? std::atoi(argv[4]) : 1;
    if (nx < 2 || ny < 1 || nz < 1) {
        std::fprintf(stderr, "vti_sample: NX must be at least 2, NY and NZ at least 1\n");
        return 2;
    }
    char depth[16] = "";
    if (nz > 1)
        std::snprintf(depth, sizeof depth, "_Z%03d", nz);
    char tag[128];
    std::snprintf(tag, sizeof tag, kTag, nx, ny, depth);
    const std::string folder = argv[1];
    const std::size_t n = static_cast<std::size_t>(nx) * ny * nz;
    std::vector<double> rho(n), ux(n), uy(n), uz(n), p(n);
    std::vector<unsigned char> solid(n);
    std::vector<vti::entry> entries;
    for (int k = 0; k < 3; k++) {
        for (int z = 0; z < nz; z++) {
            for (int y = 0; y < ny; y++) {
                for (int x = 0; x < nx; x++) {
                    const std::size_t i = (static_cast<std::size_t>(z) * ny + y) * nx + x;
                    rho[i] = 1.0 + x / 8.0 + y / 64.0 + z / 32.0 + k / 4.0;
                    ux[i] = (x - y) / 16.0 + k / 1024.0;
                    uy[i] = -(x * y) / 32.0;
                    uz[i] = (z - x) / 64.0 + k / 2048.0;
                    solid[i] = (x + 2 * y + 3 * z) % 5 == 0;
                }
            }
        }
        rho[1] = 0.1;
        ux[n - 1] = 1e-310;
        for (std::size_t i = 0; i < n; i++)
            p[i] = 3.0 * rho[i] - 2.5;
        p[0] = -0.0;

        vti::fields f;
        f.nx = nx;
        f.ny = ny;
        f.nz = nz;
        f.spacing = 1.0 / 128;
        f.density = rho.data();
        f.velocity_x = ux.data();
        f.velocity_y = uy.data();
        f.velocity_z = nz > 1 ? uz.data() : nullptr;
        f.pressure = p.data();
        f.solid = solid.data();
        const int step = 2500 * k;
        char name[192];
        std::snprintf(name, sizeof name, "PV%s.%09d.vti", tag, step);
        const double time = step * 1e-4;
        const std::string path = folder + "/" + name;
        int error = vti::write_file(path.c_str(), f, step, time);
        if (error == 0) {
            entries.push_back({time, name});
            error = vti::write_collection((folder + "/PV" + tag + ".pvd").c_str(), entries);
        }
        if (error != 0) {
            std::fprintf(stderr, "vti_sample: %s: %s\n", path.c_str(), std::strerror(error));
            return 1;
        }
    }
    return 0;
}
