// Links and ghost densities of walls and solid nodes.
#include "boundaries.h"

#include <cstddef>

#include "velocity_set.h"

namespace lean {

using std::size_t;

namespace {

// A velocity set's steps and the weights of the ghost means: D2Q9 in the
// solver's order (axis 4, diagonal 1: the lattice weights 1/9 and 1/36), or
// D3Q19 (axis 2, edge 1: 1/18 and 1/36).
struct velocity_steps {
    int q;
    int ex[19], ey[19], ez[19];
    double mean_weight[19];
};

velocity_steps d2q9_steps()
{
    return {9,
            {0, 1, 0, -1, 0, 1, -1, -1, 1},
            {0, 0, 1, 0, -1, 1, 1, -1, -1},
            {0},
            {0, 4, 4, 4, 4, 1, 1, 1, 1}};
}

velocity_steps d3q19_steps()
{
    velocity_steps v{19, {}, {}, {}, {}};
    for (int i = 0; i < 19; ++i) {
        v.ex[i] = d3q19::ex(i);
        v.ey[i] = d3q19::ey(i);
        v.ez[i] = d3q19::ez(i);
        v.mean_weight[i] = i == 0 ? 0.0 : i <= 6 ? 2.0 : 1.0;
    }
    return v;
}

struct lattice {
    int nx, ny, nz, nw, row, slab;
    bool walls_x, walls_y, walls_z;
    const std::vector<unsigned char> &solid_nodes;
    int nwz;  // the halo along z: nw in three dimensions, none in two

    // Node coordinates wrapped in the periodic directions; false beyond a wall.
    static bool wrap_one(int &v, int n, bool walls)
    {
        if (v < 0 || v >= n) {
            if (walls) return false;
            v = ((v % n) + n) % n;
        }
        return true;
    }
    bool wrap(int &x, int &y, int &z) const
    {
        return wrap_one(x, nx, walls_x) && wrap_one(y, ny, walls_y) && wrap_one(z, nz, walls_z);
    }
    bool solid(int x, int y, int z) const
    {
        if (!wrap(x, y, z)) return true;
        return !solid_nodes.empty() &&
               solid_nodes[(static_cast<size_t>(z) * ny + y) * nx + x] != 0;
    }
    bool fluid(int x, int y, int z) const { return !solid(x, y, z); }
    // Home cell of the fluid node at (x, y, z), wrapped.
    int home(int x, int y, int z) const
    {
        wrap(x, y, z);
        return (x + nw) + (y + nw) * row + (z + nwz) * slab;
    }
};

// Behind a straight wall: the mirror coordinate across the wall and the
// multiple of s (1 for the first cell, 3 for the second); 0 inside.
int mirror(int g, int n, int &multiple)
{
    if (g < 0) {
        multiple = -2 * g - 1;
        return -1 - g;
    }
    if (g >= n) {
        multiple = 2 * (g - n) + 1;
        return 2 * n - 1 - g;
    }
    multiple = 0;
    return g;
}

void add_ghost(ghost_table &t, int cell, const std::vector<int> &sources,
               const std::vector<double> &weights, double shift, int layer)
{
    t.layer.push_back(layer);
    double total = 0.0;
    for (double w : weights) total += w;
    t.cell.push_back(cell);
    for (size_t j = 0; j < sources.size(); ++j) {
        t.source.push_back(sources[j]);
        t.weight.push_back(weights[j] / total);
    }
    t.first.push_back(static_cast<int>(t.source.size()));
    t.shift.push_back(shift);
}

// A solid node p of the mask within two cells of the fluid: its sources
// and the multiple of s; false when no fluid lies within reach.
bool mask_ghost(const lattice &L, const velocity_steps &v, int px, int py, int pz,
                std::vector<int> &sources, std::vector<double> &weights, int &multiple)
{
    sources.clear();
    weights.clear();
    for (int i = 1; i < v.q; ++i)
        if (L.fluid(px + v.ex[i], py + v.ey[i], pz + v.ez[i])) {
            sources.push_back(L.home(px + v.ex[i], py + v.ey[i], pz + v.ez[i]));
            weights.push_back(v.mean_weight[i]);
        }
    if (!sources.empty()) {
        multiple = 1;
        return true;
    }
    // Second layer: through the solid neighbour to the fluid beyond it, and
    // the node mirrored through the layer where it is fluid.
    for (int i = 1; i < v.q; ++i) {
        const int x2 = px + 2 * v.ex[i], y2 = py + 2 * v.ey[i], z2 = pz + 2 * v.ez[i];
        if (!L.fluid(x2, y2, z2)) continue;
        const int x3 = px + 3 * v.ex[i], y3 = py + 3 * v.ey[i], z3 = pz + 3 * v.ez[i];
        sources.push_back(L.fluid(x3, y3, z3) ? L.home(x3, y3, z3) : L.home(x2, y2, z2));
        weights.push_back(v.mean_weight[i]);
    }
    multiple = 3;
    if (!sources.empty()) return true;
    // A knight's move away from the fluid only: the mean of the fluid nodes
    // around it, two cells away.
    const int reach_z = L.nz > 1 ? 2 : 0;
    for (int dz = -reach_z; dz <= reach_z; ++dz)
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx)
                if (L.fluid(px + dx, py + dy, pz + dz)) {
                    sources.push_back(L.home(px + dx, py + dy, pz + dz));
                    weights.push_back(1.0);
                }
    multiple = 2;
    return !sources.empty();
}

template <class Link>
boundary_geometry_of<Link> build(const lattice &L, const velocity_steps &v, int cells, double s)
{
    boundary_geometry_of<Link> g;
    g.links.assign(static_cast<size_t>(cells), 0);
    const int second = v.q - 1;  // (bit second + i: the cell minus 2 e_i is solid)
    for (int z = 0; z < L.nz; ++z)
        for (int y = 0; y < L.ny; ++y)
            for (int x = 0; x < L.nx; ++x) {
                Link bits = L.solid(x, y, z) ? Link{1} : Link{0};
                for (int i = 1; i < v.q; ++i) {
                    if (L.solid(x - v.ex[i], y - v.ey[i], z - v.ez[i])) bits |= Link{1} << i;
                    if (L.solid(x - 2 * v.ex[i], y - 2 * v.ey[i], z - 2 * v.ez[i]))
                        bits |= Link{1} << (second + i);
                }
                g.links[static_cast<size_t>(L.home(x, y, z))] = bits;
            }

    // Every cell of the lattice and its border that a stencil may read.
    g.ghosts.first.push_back(0);
    std::vector<int> sources;
    std::vector<double> weights;
    for (int lz = 0; lz < L.nz + 2 * L.nwz; ++lz)
        for (int ly = 0; ly < L.ny + 2 * L.nw; ++ly)
            for (int lx = 0; lx < L.nx + 2 * L.nw; ++lx) {
                const int cell = lx + ly * L.row + lz * L.slab;
                int gx = lx - L.nw, gy = ly - L.nw, gz = lz - L.nwz;
                // A ghost in the periodic images of a direction without walls
                // shows its image's Laplacian (layer 0), which the images
                // bring after the others are formed.
                const auto outside = [](int v, int n) { return v < 0 || v >= n; };
                const bool image = (!L.walls_x && outside(gx, L.nx)) ||
                                   (!L.walls_y && outside(gy, L.ny)) ||
                                   (!L.walls_z && outside(gz, L.nz));
                int mx = 0, my = 0, mz = 0;
                const int x = L.walls_x ? mirror(gx, L.nx, mx) : gx;
                const int y = L.walls_y ? mirror(gy, L.ny, my) : gy;
                const int z = L.walls_z ? mirror(gz, L.nz, mz) : gz;
                const int m = mx + my + mz;
                if (m > 0 && L.fluid(x, y, z)) {
                    // Behind a wall, its mirror node in the fluid.
                    add_ghost(g.ghosts, cell, {L.home(x, y, z)}, {1.0}, m * s,
                              image ? 0 : mx <= 1 && my <= 1 && mz <= 1 ? 1 : 2);
                    continue;
                }
                if (m > 0) {
                    // Behind a wall, mirroring onto a solid node of the mask.
                    gx = x;
                    gy = y;
                    gz = z;
                }
                if (!L.solid(gx, gy, gz)) continue;
                int multiple = 0;
                if (mask_ghost(L, v, gx, gy, gz, sources, weights, multiple))
                    add_ghost(g.ghosts, cell, sources, weights, (multiple + m) * s,
                              image ? 0 : multiple + m <= 1 ? 1 : 2);
            }
    return g;
}

}  // namespace

boundary_geometry build_boundaries(int nx, int ny, int nw, int row, int plane_cells,
                                   bool walls_x, bool walls_y,
                                   const std::vector<unsigned char> &solid_nodes, double s)
{
    const lattice L{nx, ny, 1, nw, row, plane_cells, walls_x, walls_y, false, solid_nodes, 0};
    return build<unsigned>(L, d2q9_steps(), plane_cells, s);
}

boundary_geometry3 build_boundaries3(int nx, int ny, int nz, int nw, int row, int slab,
                                     int box_cells, bool walls_x, bool walls_y, bool walls_z,
                                     const std::vector<unsigned char> &solid_nodes, double s)
{
    const lattice L{nx, ny, nz, nw, row, slab, walls_x, walls_y, walls_z, solid_nodes, nw};
    return build<unsigned long long>(L, d3q19_steps(), box_cells, s);
}

}  // namespace lean
