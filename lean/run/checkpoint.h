// Checkpoint of a vdwflow run: everything a run needs to continue exactly,
// in one file per run folder that is replaced atomically. The format is in
// docs/checkpoint.md:
//
//   header   256 bytes: magic "VDWCHKPT", format version, byte-order mark,
//            lattice size, step, plane count, the six physical parameters,
//            the cycle keys of the run that wrote it, its walls, wetting,
//            solid nodes (a checksum), gravity and snapshot format; in
//            version 3 (three-dimensional lattices) nodes_z. A
//            two-dimensional run writes version 2; version 1, without the
//            setup, had 128 bytes: still read
//   planes   the state's planes of nodes doubles (x fastest, then y, then
//            z): the distributions (9, or 19 in three dimensions), then the
//            density a snapshot shows (from which the next step forms its
//            pressures)
//   checksum CRC-32 (zlib's crc32) of all bytes before it
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decomposition.h"
#include "initial_state.h"
#include "setup.h"

// The file of a run folder.
#define CHECKPOINT_FILE "vdwflow.checkpoint"
#define CHECKPOINT_TEMPORARY CHECKPOINT_FILE ".tmp"  // written first, then renamed

namespace lean {

class team;

constexpr int kCheckpointVersion = 3;
constexpr int kCheckpointPlanes = kStatePlanes;
constexpr std::size_t kCheckpointHeaderBytes = 256;
constexpr std::size_t kCheckpointV1HeaderBytes = 128;

// CRC-32 of `size` bytes, continuing from `crc` (0 to start): zlib's.
std::uint32_t crc32_update(std::uint32_t crc, const void *data, std::size_t size);

// Writes the checkpoint of the run `c` at step `step` from the planes of
// its state (initial_state.h) to `path`.tmp, flushed to the disk, renamed to
// `path` and the folder flushed, so that a crash at any instant leaves the
// previous checkpoint or this one, complete. A write that fails removes the
// temporary file, leaves the previous checkpoint and throws the run's
// failure as a snapshot that cannot be written does.
void write_checkpoint(const std::string &path, const configuration &c, const double *state,
                      int step);
// The same by the processes `t` together, each from the planes of its
// block `b` (the same file as one process writes: it does not depend on how
// many wrote it).
void write_checkpoint(const std::string &path, const configuration &c, const block &b, team &t,
                      const double *state, int step);

// What reading a checkpoint for a resumed run found.
struct checkpoint_found {
    bool finished = false;  // valid, but at or past the run's last step: nothing to do
    int step = 0;           // else the step the run continues from
    std::string note;       // for a finished one, the line that says so
};

// Reads the checkpoint `path` for the run `c` (read from its parameter
// file): checks the header against it (the keys that a resumed run may not
// change, the solid nodes' checksum), loads the planes into `state` and
// checks the checksum. A missing, damaged, truncated or mismatched file
// throws the run's failure, one line naming the file and the reason. A
// reference density of gravity "mean" is taken from it, as the run computed
// it at its start.
checkpoint_found read_checkpoint(const std::string &path, configuration &c, double *state,
                                 int last_step);
// The same by the processes `t` together, each the planes of its block `b`
// into `state`; every process refuses what one refuses.
checkpoint_found read_checkpoint(const std::string &path, configuration &c, const block &b,
                                 team &t, double *state, int last_step);

}  // namespace lean
