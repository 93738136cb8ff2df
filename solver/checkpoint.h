// Checkpoint of the lean solver: everything a run needs to continue exactly,
// in one file per run folder that is replaced atomically. The format is in
// docs/checkpoint.md:
//
//   header   256 bytes: magic "VDWCHKPT", format version, byte-order mark,
//            lattice size, step, plane count, the six physical parameters,
//            the cycle keys of the run that wrote it, its walls, wetting,
//            solid nodes (a checksum), gravity and snapshot format
//            (version 1, without these, had 128 bytes: still read)
//   planes   kCheckpointPlanes planes of hnodes doubles (x fastest): the nine
//            distributions, then the density a snapshot shows (from which the
//            next step forms its pressures)
//   checksum CRC-32 (the polynomial of zlib's crc32) of all bytes before it
#pragma once

#include <cstddef>
#include <cstdint>

// The file of a run folder, and the name it is written under first.
#define CHECKPOINT_FILE "vdwflow.checkpoint"
#define CHECKPOINT_TEMPORARY "vdwflow.checkpoint.tmp"

constexpr int kCheckpointVersion = 2;
constexpr int kCheckpointPlanes = 10;
constexpr std::size_t kCheckpointHeaderBytes = 256;
constexpr std::size_t kCheckpointV1HeaderBytes = 128;

// CRC-32 of `size` bytes, continuing from `crc` (0 to start).
std::uint32_t crc32_update(std::uint32_t crc, const void *data, std::size_t size);

// Writes the checkpoint of the run configuration at step `step` from
// kCheckpointPlanes planes of hnodes doubles at `planes`: to
// CHECKPOINT_TEMPORARY, flushed to the disk, renamed to CHECKPOINT_FILE and
// the folder flushed, so that a crash at any instant leaves the previous
// checkpoint or this one, complete. A write that fails removes the temporary
// file, leaves the previous checkpoint and ends the run as a snapshot that
// cannot be written does (a line on standard error, status 1).
void write_checkpoint(const double *planes, int step);
// The same to the file `path` (written as `path`.tmp first).
void write_checkpoint_file(const char *path, const double *planes, int step);

// What reading a checkpoint for a resumed run found.
enum class checkpoint_verdict {
    resume,       // planes loaded; *step is where the run continues
    finished,     // valid, but at or past the run's last step: nothing to do
};

// Reads CHECKPOINT_FILE for the run configuration (the parameter file
// `parameter_file`, already read): checks the header against it, then loads
// the planes into `planes` and checks the checksum. A missing, damaged,
// truncated or mismatched file ends the run with one line on standard error
// naming the file and the reason, status 1, before anything is written.
// The setup's keys that change the physics (walls, wetting, solid nodes,
// gravity) must be those of the checkpoint; a reference density of gravity
// "mean" is taken from it, as the run computed it at its start.
checkpoint_verdict read_checkpoint(const char *parameter_file, double *planes, int *step,
                                   int last_step);
// The same from the file `path`, named in the messages.
checkpoint_verdict read_checkpoint_file(const char *path, const char *parameter_file,
                                        double *planes, int *step, int last_step);
