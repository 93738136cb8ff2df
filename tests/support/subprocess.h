// Runs a program in a folder and captures what it prints and how it ends.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ProgramResult {
    std::string out;  // standard output
    std::string err;  // standard error
    int status = -1;  // exit status, or -1 when it did not exit normally
    int signal = 0;   // the signal that ended it, if one did
};

// Runs `program` (no arguments) with `dir` as working directory and the
// current environment plus `env` (NAME, value pairs; an existing NAME is
// replaced).
ProgramResult run_program(const std::string &program, const std::string &dir,
                          const std::vector<std::pair<std::string, std::string>> &env = {});

// A fresh, empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Whether an NVIDIA GPU is visible on this machine.
bool nvidia_gpu_present();

// The program `name` of the cuda build named at configure time, or "" when
// there is none.
std::string cuda_program(const std::string &name);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
// Names of the plain files in `dir`, sorted.
std::vector<std::string> list_files(const std::string &dir);
