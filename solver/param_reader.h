// Parameter file reader: whitespace-separated key and value tokens loaded
// once into a table, with typed lookups by key.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#define MAX_PARAMS 25        // pairs the table holds
#define PARAM_TOKEN_SIZE 30  // token buffer: at most 29 characters

// vdwflow reads more keys, and file paths among their values: it raises the
// limits to these before it reads its parameter file.
#define LEAN_MAX_PARAMS 64
#define LEAN_TOKEN_SIZE 4096

struct param {
    char *key;
    char *value;
};

extern param params[LEAN_MAX_PARAMS];
extern int paramsCount;

// The limits the reader enforces: MAX_PARAMS pairs and tokens of at most
// PARAM_TOKEN_SIZE - 1 characters unless raised (up to the LEAN_ sizes).
void set_parameter_limits(int max_pairs, int token_size);

// A parameter file's key and value tokens as a value, in the order of the
// file: what vdwflow's runs (one per Python simulation) each hold.
struct parameter_table {
    std::vector<std::pair<std::string, std::string>> pairs;
    // The value text of the first entry with this key, or null.
    const char *value(const char *key) const;
};

// Reads the tokens of an open stream into `table`, at most `max_pairs` pairs
// and tokens of at most `token_size` - 1 characters (up to the LEAN_ sizes).
// A read error, a token too long, too many pairs or a key without its value
// throw the run_error that readInputParameters ends with (reporters.h).
void read_parameter_pairs(FILE *file, const char *path, int max_pairs, int token_size,
                          parameter_table &table);
// The same for the file `path`, opened and closed here (a file that does not
// open: its run_error).
parameter_table read_parameter_file(const char *path, int max_pairs, int token_size);

// The conversions of GetInt and GetDouble: base-10 strtol narrowed to int,
// and strtod, each of the longest valid prefix (0 without one).
int int_parameter(const char *text);
double real_parameter(const char *text);

// Loads the file into params. A file that cannot be opened or read ends the
// process ("Error, ptr is NULL" and a line on standard error naming the file
// and the reason, status 1); a key without a value ends it with status -1; a
// token over 29 characters or more than 25 pairs (or the raised limits) ends
// it with a message on standard error and status 1.
void readInputParameters(const char *path);

// The same for a stream that is already open; `path` names it in messages.
void read_parameter_stream(FILE *file, const char *path);

// Empties the table, so that another file can be read (the Python package
// reads one per simulation).
void clear_parameters();

// The value text of the first entry with this key, or null.
const char *parameter_value(const char *key);

// Lookups of the first entry with this key: 1 (1.0) and the converted value
// stored in target, or -1 (-1.0) with target untouched.
int GetInt(const char *key, int *target);
double GetDouble(const char *key, double *target);

// Lookups of "-" followed by name; the result is ignored, return 0.
int get_int(const char *name, int *target);
int get_Real(const char *name, double *target);
