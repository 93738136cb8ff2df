// Fuzz target of the parameter file reader and the start-up check: any bytes
// as nw2cuda.input either load into a configuration that passes the check
// (then the run tag is built into a buffer of exactly its size) or end the
// run through end_run with a rejection status. Nothing may read or write out
// of bounds, loop or end the process any other way.
//
//   clang++ -fsanitize=fuzzer,address,undefined ... (scripts/fuzz.sh)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "param_reader.h"
#include "reporters.h"
#include "run_checks.h"
#include "run_config.h"

namespace {

// A rejection: the status the process would have ended with.
struct Ended {
    int status;
};

[[noreturn]] void throw_ended(int status)
{
    throw Ended{status};
}

void reset()
{
    for (int i = 0; i < LEAN_MAX_PARAMS; i++) {
        std::free(params[i].key);
        std::free(params[i].value);
        params[i] = param{};
    }
    paramsCount = 0;
    hnodes_x = hnodes_y = hniter = hniter_cycle = hncycles = hlast_iter = 0;
    hRTzero = htemperature = hdelta_time = hkappa = hrho_zero = htau = 0.0;
}

void load_and_check(FILE *file)
{
    read_parameter_stream(file, "nw2cuda.input");
    derive_run_configuration();
    check_run_configuration();

    const int length = run_tag_length(hnodes_x, hnodes_y, hdelta_space, hdelta_time, htau,
                                      hrho_zero, hRTzero, htfluid, hkappa);
    std::vector<char> tag(static_cast<size_t>(length) + 1);
    build_names(tag.data(), hnodes_x, hnodes_y, hdelta_space, hdelta_time, htau, hrho_zero,
                hRTzero, htfluid, hkappa);
    if (std::strlen(tag.data()) != static_cast<size_t>(length))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    end_run_hook = throw_ended;
    reset();
    // fmemopen wants a buffer of at least one byte; an empty input is an
    // empty stream all the same.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    FILE *file = fmemopen(text.data(), size == 0 ? 1 : size, "r");
    if (file == nullptr)
        std::abort();
    if (size == 0)
        std::fgetc(file);  // consume the terminator: the stream is at its end
    try {
        load_and_check(file);
    } catch (const Ended &ended) {
        // 1: rejected with a message; -1: a key without its value.
        if (ended.status != 1 && ended.status != -1)
            std::abort();
    }
    std::fclose(file);
    reset();
    return 0;
}
