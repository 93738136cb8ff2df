// Parameter file reader.
#include "param_reader.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reporters.h"

param params[MAX_PARAMS];
int paramsCount = 0;

// Reads the next whitespace-delimited token into buf (PARAM_TOKEN_SIZE
// bytes). Returns 0 at the end of the input. A token that does not fit ends
// the process: nothing is ever stored past the buffer. A read error ends it
// as a file that cannot be opened does, never as the end of the input.
static int read_token(FILE *file, const char *path, char *buf)
{
    int start = 0, end = 0;
    if (std::fscanf(file, " %n%29s%n", &start, buf, &end) != 1) {
        if (std::ferror(file))
            report_unreadable_file(path);
        return 0;
    }
    // Characters read, not strlen: a token may hold a zero byte.
    if (end - start == PARAM_TOKEN_SIZE - 1) {
        const int next = std::fgetc(file);
        if (next == EOF && std::ferror(file))
            report_unreadable_file(path);
        if (next != EOF && !std::isspace(next)) {
            std::fprintf(stderr, "%s: a token is longer than %d characters: %s...\n", path,
                         PARAM_TOKEN_SIZE - 1, buf);
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
    char token[PARAM_TOKEN_SIZE];
    int index = 0;
    while (!std::feof(file)) {
        if (read_token(file, path, token)) {
            if (index >= MAX_PARAMS) {
                std::fprintf(stderr, "%s: more than %d key and value pairs\n", path,
                             MAX_PARAMS);
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

static const char *find_value(const char *key)
{
    for (int i = 0; i < paramsCount; i++)
        if (std::strcmp(params[i].key, key) == 0)
            return params[i].value;
    return nullptr;
}

int GetInt(const char *key, int *target)
{
    const char *value = find_value(key);
    if (!value)
        return -1;
    *target = static_cast<int>(std::strtol(value, nullptr, 10));
    return 1;
}

double GetDouble(const char *key, double *target)
{
    const char *value = find_value(key);
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
