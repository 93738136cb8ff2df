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
// the process: nothing is ever stored past the buffer.
static int read_token(FILE *file, const char *path, char *buf)
{
    if (std::fscanf(file, "%29s", buf) != 1)
        return 0;
    if (std::strlen(buf) == PARAM_TOKEN_SIZE - 1) {
        const int next = std::fgetc(file);
        if (next != EOF && !std::isspace(next)) {
            std::fprintf(stderr, "%s: a token is longer than %d characters: %s...\n", path,
                         PARAM_TOKEN_SIZE - 1, buf);
            std::exit(1);
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
    CHK_NULL_RETURN(file);

    char token[PARAM_TOKEN_SIZE];
    int index = 0;
    while (!std::feof(file)) {
        if (read_token(file, path, token)) {
            if (index >= MAX_PARAMS) {
                std::fprintf(stderr, "%s: more than %d key and value pairs\n", path,
                             MAX_PARAMS);
                std::exit(1);
            }
            params[index].key = copy_token(token);
            if (!read_token(file, path, token))
                std::exit(-1);  // a key without its value
            params[index].value = copy_token(token);
            paramsCount++;
        }
        index++;
    }
    std::fclose(file);
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
