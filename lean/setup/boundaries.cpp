// Links and ghost densities of walls and solid nodes.
#include "boundaries.h"

#include <cstddef>
#include <stdexcept>

#include "decomposition.h"

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
    // The block of the lattice whose padded cells these are: its first node
    // and its nodes; split directions keep the halo's copies of the
    // neighbours' nodes where the nodes lie, the others wrap.
    int origin[3], extent[3];
    bool split[3];

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
    // The padded cell of the fluid node at (x, y, z): wrapped along the
    // directions that are not split, where it lies in the halo along the
    // split ones.
    int home(int x, int y, int z) const
    {
        int v[3] = {x, y, z};
        const int n[3] = {nx, ny, nz};
        const int halo[3] = {nw, nw, nwz};
        const bool walls[3] = {walls_x, walls_y, walls_z};
        int cell = 0;
        const int stride[3] = {1, row, slab};
        for (int d = 0; d < 3; d++) {
            if (!split[d]) wrap_one(v[d], n[d], walls[d]);
            const int local = v[d] - origin[d] + halo[d];
            if (local < 0 || local >= extent[d] + 2 * halo[d])
                throw std::logic_error("a ghost's source lies beyond the block's halo");
            cell += local * stride[d];
        }
        return cell;
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
    for (int z = L.origin[2]; z < L.origin[2] + L.extent[2]; ++z)
        for (int y = L.origin[1]; y < L.origin[1] + L.extent[1]; ++y)
            for (int x = L.origin[0]; x < L.origin[0] + L.extent[0]; ++x) {
                Link bits = L.solid(x, y, z) ? Link{1} : Link{0};
                for (int i = 1; i < v.q; ++i) {
                    if (L.solid(x - v.ex[i], y - v.ey[i], z - v.ez[i])) bits |= Link{1} << i;
                    if (L.solid(x - 2 * v.ex[i], y - 2 * v.ey[i], z - 2 * v.ez[i]))
                        bits |= Link{1} << (second + i);
                }
                g.links[static_cast<size_t>(L.home(x, y, z))] = bits;
            }

    // Every cell of the block and its border that a stencil may read; of a
    // block of a split lattice, the cells it owns: its nodes, and the ghosts
    // behind the walls at its ends (its halo's others are its neighbours',
    // or its own images, which the exchange brings).
    g.ghosts.first.push_back(0);
    std::vector<int> sources;
    std::vector<double> weights;
    const bool owned_only = L.split[0] || L.split[1] || L.split[2];
    const int n[3] = {L.nx, L.ny, L.nz};
    const bool walled[3] = {L.walls_x, L.walls_y, L.walls_z};
    const auto owns = [&](const int p[3]) {
        for (int d = 0; d < 3; d++) {
            const bool inside = p[d] >= L.origin[d] && p[d] < L.origin[d] + L.extent[d];
            const bool behind_wall = walled[d] && ((p[d] < 0 && L.origin[d] == 0) ||
                                                   (p[d] >= n[d] && L.origin[d] + L.extent[d] == n[d]));
            if (!inside && !behind_wall) return false;
        }
        return true;
    };
    for (int lz = 0; lz < L.extent[2] + 2 * L.nwz; ++lz)
        for (int ly = 0; ly < L.extent[1] + 2 * L.nw; ++ly)
            for (int lx = 0; lx < L.extent[0] + 2 * L.nw; ++lx) {
                const int cell = lx + ly * L.row + lz * L.slab;
                int gx = L.origin[0] + lx - L.nw, gy = L.origin[1] + ly - L.nw,
                    gz = L.origin[2] + lz - L.nwz;
                const int at[3] = {gx, gy, gz};
                if (owned_only && !owns(at)) continue;
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

boundary_geometry build_boundaries(const block &b, int row, int plane_cells, bool walls_x,
                                   bool walls_y, const std::vector<unsigned char> &solid_nodes,
                                   double s)
{
    const lattice L{b.nodes[0], b.nodes[1], 1, b.halo, row, plane_cells, walls_x, walls_y, false,
                    solid_nodes, 0, {b.origin[0], b.origin[1], 0}, {b.extent[0], b.extent[1], 1},
                    {b.split(0), b.split(1), false}};
    return build<unsigned>(L, d2q9_steps(), plane_cells, s);
}

boundary_geometry3 build_boundaries3(const block &b, int row, int slab, int box_cells,
                                     bool walls_x, bool walls_y, bool walls_z,
                                     const std::vector<unsigned char> &solid_nodes, double s)
{
    const lattice L{b.nodes[0], b.nodes[1], b.nodes[2], b.halo, row, slab, walls_x, walls_y,
                    walls_z, solid_nodes, b.halo, {b.origin[0], b.origin[1], b.origin[2]},
                    {b.extent[0], b.extent[1], b.extent[2]}, {b.split(0), b.split(1), b.split(2)}};
    return build<unsigned long long>(L, d3q19_steps(), box_cells, s);
}

}  // namespace lean
