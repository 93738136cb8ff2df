// Parameter file reader.
#include "param_reader.h"

#include <cctype>
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
// Returns 0 at the end of the input. A token that does not fit ends the
// process: nothing is ever stored past the buffer. A read error ends it
// as a file that cannot be opened does, never as the end of the input.
static int read_token(FILE *file, const char *path, char *buf)
{
    int start = 0, end = 0;
    char format[32];
    std::snprintf(format, sizeof format, " %%n%%%ds%%n", token_size - 1);
    if (std::fscanf(file, format, &start, buf, &end) != 1) {
        if (std::ferror(file))
            report_unreadable_file(path);
        return 0;
    }
    // Characters read, not strlen: a token may hold a zero byte.
    if (end - start == token_size - 1) {
        const int next = std::fgetc(file);
        if (next == EOF && std::ferror(file))
            report_unreadable_file(path);
        if (next != EOF && !std::isspace(next)) {
            // (the start of the token: enough to find it in the file)
            std::fprintf(stderr, "%s: a token is longer than %d characters: %.40s...\n", path,
                         token_size - 1, buf);
            end_run(1);
        }
        // The delimiter is whitespace (or the end); the next read skips it anyway.
    }
    return 1;
}

static char *copy_token(const char *token)
{
    char *copy = strdup(token);
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
    char token[LEAN_TOKEN_SIZE];
    int index = 0;
    while (!std::feof(file)) {
        if (read_token(file, path, token)) {
            if (index >= max_pairs) {
                std::fprintf(stderr, "%s: more than %d key and value pairs\n", path,
                             max_pairs);
                end_run(1);
            }
            params[index].key = copy_token(token);
            if (!read_token(file, path, token))
                end_run(-1);  // a key without its value
            params[index].value = copy_token(token);
            paramsCount++;
        }
        index++;
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
    *target = static_cast<int>(std::strtol(value, nullptr, 10));
    return 1;
}

double GetDouble(const char *key, double *target)
{
    const char *value = parameter_value(key);
    if (!value)
        return -1.0;
    *target = std::strtod(value, nullptr);
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
