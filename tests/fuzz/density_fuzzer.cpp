// Fuzz target of the initial density reader: any bytes, read as the density
// file of a few small lattices, either give a density of nx * ny * nz values,
// each finite and between 0 and 3, or a one-line reason and no values. Nothing
// may read or write out of bounds, overflow, loop or end the process.
//
// Every lattice sees the whole input, so the seeds are plain .npy and .vtk
// files (most of them for the 3 x 2 lattice, one for 3 x 2 x 2).
//
//   clang++ -fsanitize=fuzzer,address,undefined ... (scripts/fuzz.sh)
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "user_files.h"

namespace {

struct lattice {
    int nx, ny, nz;
};

// Square and not, with either axis the longer one, and one of three
// dimensions.
const lattice kLattices[] = {{1, 1, 1}, {3, 2, 1}, {2, 3, 1}, {4, 4, 1}, {3, 2, 2}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (const lattice &l : kLattices) {
        std::vector<double> density(7, 1.0);  // a failed read leaves it empty
        const user_files::reason reason =
            user_files::parse_density(data, size, l.nx, l.ny, l.nz, density);
        if (!reason.empty()) {
            if (reason.find('\n') != std::string::npos || !density.empty())
                std::abort();
            continue;
        }
        if (density.size() != static_cast<size_t>(l.nx) * l.ny * l.nz)
            std::abort();
        for (const double n : density)
            if (!(std::isfinite(n) && n > 0.0 && n < 3.0))
                std::abort();
    }
    return 0;
}
