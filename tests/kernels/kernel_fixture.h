// Test harness for the solver kernels: a configured lattice with its device
// buffers, run through the real launch path. Included by the one translation
// unit of a kernel test program, after the device constants and the kernel
// variant under test.
#pragma once

#include <cuda_runtime.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "launch.h"
#include "lattice_init.h"
#include "run_config.h"

namespace kt {

struct Params {
    int nx = 8;
    int ny = 8;
    double temperature = 0.9;
    double delta_time = 1e-4;
    double tau = 1e-3;
    double kappa = 1e-4;
    double rho_zero = 1.0;
};

// Sets the run parameters, derives the configuration the way the solver does,
// builds the velocity set and uploads the device constants.
inline void configure(const Params &p)
{
    hnodes_x = p.nx;
    hnodes_y = p.ny;
    hRTzero = 1.0;
    htemperature = p.temperature;
    hdelta_time = p.delta_time;
    htau = p.tau;
    hkappa = p.kappa;
    hrho_zero = p.rho_zero;
    derive_run_configuration();
}

// Bit pattern of cudaMalloc's poison: every byte 0xFF.
inline bool poisoned(double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits == ~std::uint64_t{0};
}

inline bool same_bits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A device array of doubles, released with the owner.
class DeviceArray {
public:
    explicit DeviceArray(std::size_t count) : count_(count)
    {
        if (cudaMalloc(&ptr_, count * sizeof(double)) != cudaSuccess)
            throw std::runtime_error("cudaMalloc failed");
    }
    ~DeviceArray() { cudaFree(ptr_); }
    DeviceArray(const DeviceArray &) = delete;
    DeviceArray &operator=(const DeviceArray &) = delete;

    double *get() const { return ptr_; }
    std::size_t size() const { return count_; }

    void upload(const std::vector<double> &v)
    {
        if (v.size() > count_) throw std::logic_error("upload larger than the array");
        cudaMemcpy(ptr_, v.data(), v.size() * sizeof(double), cudaMemcpyHostToDevice);
    }
    std::vector<double> download() const
    {
        std::vector<double> v(count_);
        cudaMemcpy(v.data(), ptr_, count_ * sizeof(double), cudaMemcpyDeviceToHost);
        return v;
    }

private:
    double *ptr_ = nullptr;
    std::size_t count_;
};

// A configured lattice: node field array, halo lattice and velocity set on
// the device. spare extra doubles trail each of the two big arrays, left
// poisoned to catch writes past the end.
class Lattice {
public:
    explicit Lattice(const Params &p, std::size_t spare = 0)
        : nx(p.nx), ny(p.ny), nodes(p.nx * p.ny),
          field_size(static_cast<std::size_t>(hkfeq) * p.nx * p.ny),
          one(field_size + spare),
          two(static_cast<std::size_t>(hnvar) * (p.nx + 2 * hnw) * (p.ny + 2 * hnw) + spare),
          cx(hnvelocities), cy(hnvelocities), cw(hnvelocities)
    {
        configure(p);
        bweight.assign(hnbasevelocities, 0.0);
        bspeed.assign(hnbasevelocities, 0.0);
        weight.assign(hnvelocities, 0.0);
        speed_x.assign(hnvelocities, 0.0);
        speed_y.assign(hnvelocities, 0.0);
        init_base_vectors(bweight.data(), weight.data(), bspeed.data(), speed_x.data(),
                          speed_y.data(), &hcfl, hbbspeed, 0.0, hdelta_time, hdelta_space);
        cx.upload(speed_x);
        cy.upload(speed_y);
        cw.upload(weight);
        copy_constants_to_device();
    }

    // Overrides the Courant number (after construction).
    void set_cfl(double value)
    {
        hcfl = value;
        copy_constants_to_device();
    }

    // The solver's initial lattice: density scattered by 0.1 percent, at rest.
    std::vector<double> initial_field() const
    {
        std::vector<double> gf(field_size, 0.0);
        std::vector<double> feq(hnvelocities);
        init_arrays(gf.data(), feq.data(), speed_x.data(), speed_y.data(), weight.data(),
                    nodes, nx, ny, hnvelocities, hkn, 0.0, 1.0, hrho_zero, hchic2, htwochic2,
                    htwochi2c4);
        return gf;
    }

    // A uniform fluid at rest: f_i = w_i rho, density slot rho, the rest 0.
    std::vector<double> uniform_field(double rho) const
    {
        std::vector<double> gf(field_size, 0.0);
        for (int n = 0; n < nodes; ++n) {
            for (int i = 0; i < hnvelocities; ++i) gf[slot(i, n)] = weight[i] * rho;
            gf[slot(hkn, n)] = rho;
        }
        return gf;
    }

    void periodic_boundary(dim3 grid, dim3 block)
    {
        launch<::periodic_boundary>(grid, block, 0, nullptr, one.get(), two.get(), cx.get(),
                                    cy.get());
    }
    void lb_time_step(dim3 grid, dim3 block)
    {
        launch<::lb_time_step>(grid, block, 0, nullptr, one.get(), two.get(), cx.get(),
                               cy.get(), cw.get());
    }
    // The driver's geometry: 512-thread blocks covering every node.
    dim3 grid() const { return dim3((nodes + 511) / 512); }
    static dim3 block() { return dim3(512); }

    void periodic_boundary() { periodic_boundary(grid(), block()); }
    void step()
    {
        periodic_boundary(grid(), block());
        lb_time_step(grid(), block());
    }
    void steps(int count)
    {
        for (int i = 0; i < count; ++i) step();
    }

    std::size_t slot(int s, int n) const { return static_cast<std::size_t>(s) * nodes + n; }
    int lnx() const { return nx + 2 * hnw; }
    int lny() const { return ny + 2 * hnw; }
    std::size_t cell(int plane, int lx, int ly) const
    {
        return static_cast<std::size_t>(plane) * lnx() * lny() + lx + static_cast<std::size_t>(ly) * lnx();
    }
    int node(int x, int y) const
    {
        return ((y % ny + ny) % ny) * nx + (x % nx + nx) % nx;
    }

    const int nx, ny, nodes;
    const std::size_t field_size;
    DeviceArray one, two, cx, cy, cw;
    std::vector<double> bweight, bspeed, weight, speed_x, speed_y;
};

// A field whose every plane varies from node to node, with distributions of
// one velocity within a factor 1.5 of each other, a moving fluid, nonzero
// force slots and a density slot that differs from the sum of the
// distributions (it stands for the previous step's density).
inline std::vector<double> varied_field(const Lattice &lat)
{
    std::vector<double> gf(lat.field_size, 0.0);
    for (int n = 0; n < lat.nodes; ++n) {
        for (int i = 0; i < hnvelocities; ++i) {
            const double phase = std::sin(0.7 * n + 1.3 * i);  // in [-1, 1]
            gf[lat.slot(i, n)] = lat.weight[i] * (1.25 + 0.2 * phase);
        }
        gf[lat.slot(hkn, n)] = 0.9 + 0.001 * n;
        gf[lat.slot(hkforcex, n)] = 3.0 + n;
        gf[lat.slot(hkforcey, n)] = -4.0 - n;
    }
    return gf;
}

// Sum of all distributions, accumulated in long double so that the
// summation's own rounding stays far below what the tests bound.
inline long double total_density(const std::vector<double> &gf, int nodes)
{
    long double sum = 0.0L;
    for (int i = 0; i < hnvelocities; ++i)
        for (int n = 0; n < nodes; ++n) sum += gf[static_cast<std::size_t>(i) * nodes + n];
    return sum;
}

}  // namespace kt
