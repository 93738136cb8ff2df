// Empties the process-wide parameter table between tests (a program loads
// it once and keeps it; tests load it many times).
#pragma once

#include <cstdlib>

#include "param_reader.h"

inline void reset_parameter_table()
{
    for (int i = 0; i < paramsCount; i++) {
        std::free(params[i].key);
        std::free(params[i].value);
        params[i] = param{};
    }
    paramsCount = 0;
}
