// Helpers of the program-level tests: temporary folders, files, and processes
// whose console output and exit status are captured.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

// A fresh folder under the system's temporary folder, removed with its
// contents at the end of the scope.
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

// Makes a folder the working directory for the scope.
class WorkingDir {
public:
    explicit WorkingDir(const std::string &dir);
    ~WorkingDir();
    WorkingDir(const WorkingDir &) = delete;
    WorkingDir &operator=(const WorkingDir &) = delete;

private:
    std::string previous_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &contents);
std::vector<std::string> lines_of(const std::string &text);
// Names in a folder, sorted.
std::vector<std::string> list_dir(const std::string &dir);

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    int pid = 0;      // process id of the child
    std::string out;  // standard output
    std::string err;  // standard error
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs in the child right before the program starts (resource limits,
// signal dispositions: both outlive the exec).
using ChildSetup = std::function<void()>;

using Arguments = std::vector<std::string>;

// Runs a program in `dir` with the given arguments (none by default) and the
// extra environment variables (CUDACPU_FAIL is removed unless given).
ProcessResult run_program(const std::string &binary, const std::string &dir,
                          const Environment &env = {}, const ChildSetup &setup = {},
                          const Arguments &args = {});

// A program started as run_program starts it, watched while it runs; its
// standard output grows in the file stdout_path().
class StartedProgram {
public:
    StartedProgram(const std::string &binary, const std::string &dir,
                   const Environment &env = {}, const ChildSetup &setup = {},
                   const Arguments &args = {});
    ~StartedProgram();  // a program not waited for is killed and reaped
    StartedProgram(const StartedProgram &) = delete;
    StartedProgram &operator=(const StartedProgram &) = delete;
    int pid() const { return pid_; }
    std::string stdout_path() const { return capture_.file("stdout"); }
    ProcessResult wait();

private:
    TempDir capture_;
    int pid_ = -1;
};

// Runs fn in a forked child that exits 0 if fn returns.
ProcessResult run_in_child(const std::function<void()> &fn);

// Whether an NVIDIA GPU is visible on this machine.
bool nvidia_gpu_present();

// The program `name` of the cuda build named at configure time
// (VDWFLOW_CUDA_BIN_DIR), or "" when there is none.
std::string cuda_program(const std::string &name);

}  // namespace test_support
