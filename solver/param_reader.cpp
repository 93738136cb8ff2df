// Parameter file reader.
#include "param_reader.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reporters.h"

param params[LEAN_MAX_PARAMS];
int paramsCount = 0;

static int max_pairs = MAX_PARAMS;
static int token_size = PARAM_TOKEN_SIZE;

void set_parameter_limits(int pairs, int size)
{
    max_pairs = pairs < LEAN_MAX_PARAMS ? pairs : LEAN_MAX_PARAMS;
    token_size = size < LEAN_TOKEN_SIZE ? size : LEAN_TOKEN_SIZE;
}

// Reads the next whitespace-delimited token into buf (token_size bytes).
// Returns 0 at the end of the input. A token that does not fit is refused:
// nothing is ever stored past the buffer. A read error is a file that
// cannot be read, never the end of the input.
static int read_token(FILE *file, const char *path, int token_size, char *buf)
{
    int start = 0, end = 0;
    char format[32];
    std::snprintf(format, sizeof format, " %%n%%%ds%%n", token_size - 1);
    if (std::fscanf(file, format, &start, buf, &end) != 1) {
        if (std::ferror(file))
            throw file_error("read", path, errno);
        return 0;
    }
    // Characters read, not strlen: a token may hold a zero byte.
    if (end - start == token_size - 1) {
        const int next = std::fgetc(file);
        if (next == EOF && std::ferror(file))
            throw file_error("read", path, errno);
        if (next != EOF && !std::isspace(next))
            // (the start of the token: enough to find it in the file)
            throw error_line(run_failure::input, "%s: a token is longer than %d characters: %.40s...",
                             path, token_size - 1, buf);
        // The delimiter is whitespace (or the end); the next read skips it anyway.
    }
    return 1;
}

void read_parameter_pairs(FILE *file, const char *path, int max_pairs, int token_size,
                          parameter_table &table)
{
    max_pairs = max_pairs < LEAN_MAX_PARAMS ? max_pairs : LEAN_MAX_PARAMS;
    token_size = token_size < LEAN_TOKEN_SIZE ? token_size : LEAN_TOKEN_SIZE;
    std::vector<char> token(LEAN_TOKEN_SIZE);
    int index = 0;
    while (!std::feof(file)) {
        if (read_token(file, path, token_size, token.data())) {
            if (index >= max_pairs)
                throw error_line(run_failure::input, "%s: more than %d key and value pairs", path,
                                 max_pairs);
            std::string key = token.data();
            if (!read_token(file, path, token_size, token.data())) {
                run_error missing;  // a key without its value: no message
                missing.status = -1;
                throw missing;
            }
            table.pairs.emplace_back(std::move(key), token.data());
        }
        index++;
    }
}

parameter_table read_parameter_file(const char *path, int max_pairs, int token_size)
{
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) throw file_error("open", path, errno);
    parameter_table table;
    try {
        read_parameter_pairs(file, path, max_pairs, token_size, table);
    } catch (...) {
        std::fclose(file);
        throw;
    }
    std::fclose(file);
    return table;
}

const char *parameter_table::value(const char *key) const
{
    for (const auto &pair : pairs)
        if (pair.first == key) return pair.second.c_str();
    return nullptr;
}

int int_parameter(const char *text)
{
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

double real_parameter(const char *text)
{
    return std::strtod(text, nullptr);
}

static char *copy_token(const std::string &token)
{
    char *copy = strdup(token.c_str());
    CHK_NULL_RETURN(copy);
    return copy;
}

void readInputParameters(const char *path)
{
    FILE *file = std::fopen(path, "r");
    CHK_NULL_FILE(file, path);
    read_parameter_stream(file, path);
    std::fclose(file);
}

void read_parameter_stream(FILE *file, const char *path)
{
    parameter_table table;
    try {
        read_parameter_pairs(file, path, max_pairs, token_size, table);
    } catch (const run_error &e) {
        end_with(e);
    }
    for (const auto &[key, value] : table.pairs) {
        params[paramsCount].key = copy_token(key);
        params[paramsCount].value = copy_token(value);
        paramsCount++;
    }
}

void clear_parameters()
{
    for (int i = 0; i < paramsCount; i++) {
        std::free(params[i].key);
        std::free(params[i].value);
        params[i] = param{};
    }
    paramsCount = 0;
}

const char *parameter_value(const char *key)
{
    for (int i = 0; i < paramsCount; i++)
        if (std::strcmp(params[i].key, key) == 0)
            return params[i].value;
    return nullptr;
}

int GetInt(const char *key, int *target)
{
    const char *value = parameter_value(key);
    if (!value)
        return -1;
    *target = int_parameter(value);
    return 1;
}

double GetDouble(const char *key, double *target)
{
    const char *value = parameter_value(key);
    if (!value)
        return -1.0;
    *target = real_parameter(value);
    return 1.0;
}

int get_int(const char *name, int *target)
{
    char key[PARAM_TOKEN_SIZE + 1];
    std::snprintf(key, sizeof key, "-%s", name);
    GetInt(key, target);
    return 0;
}

int get_Real(const char *name, double *target)
{
    char key[PARAM_TOKEN_SIZE + 1];
    std::snprintf(key, sizeof key, "-%s", name);
    GetDouble(key, target);
    return 0;
}
