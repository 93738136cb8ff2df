// Agreement, gathers and ordered sums of a run's processes (collective.h).
#include "collective.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "reporters.h"

namespace lean {

namespace {

// A failure as bytes (kind, status, the two lines), for the first process.
std::vector<char> packed(const run_error &e)
{
    const int head[4] = {static_cast<int>(e.kind), e.status, static_cast<int>(e.out.size()),
                         static_cast<int>(e.err.size())};
    std::vector<char> bytes(sizeof head + e.out.size() + e.err.size());
    std::memcpy(bytes.data(), head, sizeof head);
    std::memcpy(bytes.data() + sizeof head, e.out.data(), e.out.size());
    std::memcpy(bytes.data() + sizeof head + e.out.size(), e.err.data(), e.err.size());
    return bytes;
}

// The rows of block `b` among rows row0 .. row1 - 1 of the lattice, in
// order: (row, y and z of the block) for each.
template <class Each>
void block_rows(const block &b, long long row0, long long row1, Each each)
{
    const long long ny = b.nodes[1];
    for (int z = b.origin[2]; z < b.origin[2] + b.extent[2]; z++) {
        const long long first = std::max<long long>(row0, z * ny + b.origin[1]);
        const long long last = std::min<long long>(row1, z * ny + b.origin[1] + b.extent[1]);
        for (long long r = first; r < last; r++)
            each(r, static_cast<int>(r - z * ny) - b.origin[1], z - b.origin[2]);
    }
}

// The block's values in rows row0 .. row1 - 1, packed row after row.
std::vector<double> part_of(const block &b, const double *values, int per_node, long long row0,
                            long long row1)
{
    std::vector<double> part;
    const std::size_t row = static_cast<std::size_t>(b.extent[0]) * per_node;
    block_rows(b, row0, row1, [&](long long, int y, int z) {
        const double *from = values + (static_cast<std::size_t>(z) * b.extent[1] + y) * row;
        part.insert(part.end(), from, from + row);
    });
    return part;
}

// A block's packed rows into the rows row0 .. of the lattice in `rows`.
void place(const block &b, int per_node, long long row0, long long row1, const double *part,
           double *rows)
{
    const std::size_t nx = b.nodes[0];
    const std::size_t row = static_cast<std::size_t>(b.extent[0]) * per_node;
    block_rows(b, row0, row1, [&](long long r, int, int) {
        std::memcpy(rows + (static_cast<std::size_t>(r - row0) * nx + b.origin[0]) * per_node, part,
                    row * sizeof(double));
        part += row;
    });
}

std::size_t rows_of(const block &b, long long row0, long long row1)
{
    std::size_t count = 0;
    block_rows(b, row0, row1, [&](long long, int, int) { count++; });
    return count;
}

}  // namespace

void together(team &t, const std::function<void()> &phase)
{
    run_error failure;
    bool failed = false;
    try {
        phase();
    } catch (const run_error &e) {
        failure = e;
        failed = true;
    }
    if (t.size() == 1) {
        if (failed) throw agreed_failure(failure);
        return;
    }
    // (the first process that failed: the largest of size - rank)
    const int first = t.size() - t.max_all(failed ? t.size() - t.rank() : 0);
    if (first == t.size()) return;
    if (t.rank() == 0) {
        if (first != 0) {
            int length = 0;
            t.receive_from(first, &length, sizeof length);
            std::vector<char> bytes(static_cast<std::size_t>(length));
            t.receive_from(first, bytes.data(), bytes.size());
            int head[4];
            std::memcpy(head, bytes.data(), sizeof head);
            failure = run_error();
            failure.kind = static_cast<run_failure>(head[0]);
            failure.status = head[1];
            failure.out.assign(bytes.data() + sizeof head, static_cast<std::size_t>(head[2]));
            failure.err.assign(bytes.data() + sizeof head + head[2], static_cast<std::size_t>(head[3]));
        }
        t.broadcast(&failure.status, sizeof failure.status);
        throw agreed_failure(failure);
    }
    if (t.rank() == first) {
        const std::vector<char> bytes = packed(failure);
        const int length = static_cast<int>(bytes.size());
        t.send_to_first(&length, sizeof length);
        t.send_to_first(bytes.data(), bytes.size());
    }
    // (the others end with the same status, and say nothing)
    int status = 1;
    t.broadcast(&status, sizeof status);
    agreed_failure quiet;
    quiet.kind = failure.kind;
    quiet.status = status;
    throw quiet;
}

void gather_rows(team &t, const block &b, const double *values, int per_node, long long row0,
                 long long row1, double *out)
{
    if (t.rank() != 0) {
        const std::vector<double> part = part_of(b, values, per_node, row0, row1);
        if (!part.empty()) t.send_to_first(part.data(), part.size() * sizeof(double));
        return;
    }
    for (int r = 0; r < t.size(); r++) {
        int coords[3];
        t.coords_of(r, coords);
        const block other = block_of(b, coords);
        if (r == 0) {
            place(other, per_node, row0, row1, part_of(b, values, per_node, row0, row1).data(), out);
            continue;
        }
        std::vector<double> part(rows_of(other, row0, row1) * other.extent[0] * per_node);
        if (part.empty()) continue;
        t.receive_from(r, part.data(), part.size() * sizeof(double));
        place(other, per_node, row0, row1, part.data(), out);
    }
}

double ordered_sum(team &t, const block &b, const double *values,
                   const std::vector<unsigned char> *skip, long long *counted)
{
    const std::size_t nx = b.nodes[0];
    const long long rows = static_cast<long long>(b.nodes[1]) * b.nodes[2];
    // (rows of at most 16 MB at a time, or one)
    const long long chunk = static_cast<long long>(std::max<std::size_t>(1, (std::size_t{1} << 21) / nx));
    std::vector<double> buffer(t.rank() == 0 ? nx * std::min(chunk, rows) : 0);
    double sum = 0.0;
    long long count = 0;
    for (long long row0 = 0; row0 < rows; row0 += chunk) {
        const long long row1 = std::min(rows, row0 + chunk);
        gather_rows(t, b, values, 1, row0, row1, buffer.data());
        if (t.rank() != 0) continue;
        const std::size_t first = static_cast<std::size_t>(row0) * nx;
        for (std::size_t p = 0; p < static_cast<std::size_t>(row1 - row0) * nx; p++) {
            if (skip && !skip->empty() && (*skip)[first + p]) continue;
            sum = buffer[p] + sum;
            count++;
        }
    }
    t.broadcast(&sum, sizeof sum);
    t.broadcast(&count, sizeof count);
    if (counted) *counted = count;
    return sum;
}

}  // namespace lean
