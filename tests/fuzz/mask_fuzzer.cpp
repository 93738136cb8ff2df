// Fuzz target of the solid mask reader: any bytes, read as the mask of a few
// small lattices, either give nx * ny * nz flags, each 0 or 1, or a one-line
// reason and no flags. Nothing may read or write out of bounds, overflow,
// loop or end the process.
//
// Every lattice sees the whole input, so the seeds are plain .npy and .pgm
// files (most of them for the 3 x 2 lattice, one for 3 x 2 x 2).
//
//   clang++ -fsanitize=fuzzer,address,undefined ... (scripts/fuzz.sh)
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
        std::vector<unsigned char> solid(7, 1);  // a failed read leaves it empty
        const user_files::reason reason =
            user_files::parse_solid_mask(data, size, l.nx, l.ny, l.nz, solid);
        if (!reason.empty()) {
            if (reason.find('\n') != std::string::npos || !solid.empty())
                std::abort();
            continue;
        }
        if (solid.size() != static_cast<size_t>(l.nx) * l.ny * l.nz)
            std::abort();
        for (const unsigned char s : solid)
            if (s > 1)
                std::abort();
    }
    return 0;
}
