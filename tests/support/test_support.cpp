#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace test_support {

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "vdwflow_test.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

WorkingDir::WorkingDir(const std::string &dir) : previous_(fs::current_path().string())
{
    fs::current_path(dir);
}

WorkingDir::~WorkingDir()
{
    std::error_code ignored;
    fs::current_path(previous_, ignored);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &contents)
{
    std::ofstream out(path, std::ios::binary);
    out << contents;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// Forks; the child sends its output to the files stdout and stderr of
// `capture_dir` and runs child() (which exits 0 if it returns).
pid_t spawn(const TempDir &capture_dir, const std::function<void()> &child)
{
    const std::string out_path = capture_dir.file("stdout");
    const std::string err_path = capture_dir.file("stderr");
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        close(out);
        close(err);
        child();
        std::fflush(nullptr);
        _exit(0);
    }
    return pid;
}

// Waits for the child and collects its exit status and both outputs.
ProcessResult collect(const TempDir &capture_dir, pid_t pid)
{
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
    }
    ProcessResult result;
    result.pid = static_cast<int>(pid);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_file(capture_dir.file("stdout"));
    result.err = read_file(capture_dir.file("stderr"));
    return result;
}

ProcessResult capture(const std::function<void()> &child)
{
    TempDir capture_dir;
    return collect(capture_dir, spawn(capture_dir, child));
}

std::function<void()> exec_program(const std::string &binary, const std::string &dir,
                                   const Environment &env, const ChildSetup &setup,
                                   const Arguments &args)
{
    return [=] {
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        unsetenv("CUDACPU_FAIL");
        for (const auto &[name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        if (setup)
            setup();
        std::vector<char *> argv{const_cast<char *>(binary.c_str())};
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    };
}

}  // namespace

ProcessResult run_program(const std::string &binary, const std::string &dir,
                          const Environment &env, const ChildSetup &setup,
                          const Arguments &args)
{
    return capture(exec_program(binary, dir, env, setup, args));
}

StartedProgram::StartedProgram(const std::string &binary, const std::string &dir,
                               const Environment &env, const ChildSetup &setup,
                               const Arguments &args)
    : pid_(spawn(capture_, exec_program(binary, dir, env, setup, args)))
{
}

StartedProgram::~StartedProgram()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

ProcessResult StartedProgram::wait()
{
    const ProcessResult result = collect(capture_, pid_);
    pid_ = -1;
    return result;
}

ProcessResult run_in_child(const std::function<void()> &fn)
{
    return capture(fn);
}

bool nvidia_gpu_present()
{
    return fs::exists("/dev/nvidia0") || fs::exists("/dev/nvidiactl");
}

std::string cuda_program(const std::string &name)
{
    const std::string dir = VDWFLOW_CUDA_BIN_DIR;
    if (dir.empty() || !fs::exists(dir + "/" + name))
        return "";
    return dir + "/" + name;
}

}  // namespace test_support
