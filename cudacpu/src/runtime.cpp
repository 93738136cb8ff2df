// The runtime API of cudacpu: errors, fault injection, the device, device
// memory, symbols and events.
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"

namespace cudacpu {

namespace {

thread_local cudaError_t last_error = cudaSuccess;

// ---------------------------------------------------------------------------
// Fault injection: CUDACPU_FAIL=<function>:<n>[:<code>][,...]

struct FailureRule {
    std::string function;
    long call;       // the call that fails, counting from 1
    int code;        // error to report, 0 for the function's default
    long seen = 0;   // calls of `function` so far
};

class FaultInjector {
public:
    FaultInjector()
    {
        const char *setting = std::getenv("CUDACPU_FAIL");
        if (setting == nullptr) return;
        std::string all(setting);
        std::size_t start = 0;
        while (start <= all.size()) {
            std::size_t end = all.find(',', start);
            if (end == std::string::npos) end = all.size();
            parse(all.substr(start, end - start));
            start = end + 1;
        }
    }

    cudaError_t check(const char *function, cudaError_t error)
    {
        if (rules_.empty()) return cudaSuccess;
        std::lock_guard<std::mutex> lock(mutex_);
        cudaError_t result = cudaSuccess;
        for (auto &rule : rules_) {
            if (rule.function != function) continue;
            if (++rule.seen == rule.call)
                result = rule.code != 0 ? static_cast<cudaError_t>(rule.code) : error;
        }
        return result;
    }

private:
    void parse(const std::string &entry)
    {
        if (entry.empty()) return;
        const std::size_t colon = entry.find(':');
        char *end = nullptr;
        FailureRule rule{entry.substr(0, colon), 0, 0};
        if (colon != std::string::npos) rule.call = std::strtol(entry.c_str() + colon + 1, &end, 10);
        if (colon == std::string::npos || rule.function.empty() || rule.call < 1 ||
            (*end != '\0' && *end != ':'))
            fatal("CUDACPU_FAIL entry '%s' is not <function>:<n>[:<code>] with n >= 1",
                  entry.c_str());
        if (*end == ':') {
            const char *code = end + 1;
            rule.code = static_cast<int>(std::strtol(code, &end, 10));
            if (*code == '\0' || *end != '\0' || rule.code <= 0)
                fatal("CUDACPU_FAIL entry '%s' has an invalid error code", entry.c_str());
        }
        rules_.push_back(rule);
    }

    std::mutex mutex_;
    std::vector<FailureRule> rules_;
};

FaultInjector &injector()
{
    static FaultInjector instance;
    return instance;
}

// Checks the fault injector for a runtime function and records its verdict.
#define CUDACPU_INJECT(function, error)                                            \
    do {                                                                           \
        if (const cudaError_t injected_ = injected_failure(function, error))       \
            return record(injected_);                                              \
    } while (0)

// ---------------------------------------------------------------------------
// Device memory: 256-byte aligned, poisoned, registered so that copies and
// frees can be checked against what was allocated.

constexpr std::size_t kAlignment = 256;
constexpr unsigned char kPoison = 0xFF;  // every double a NaN, every int -1

class Allocations {
public:
    void add(void *base, std::size_t size)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blocks_[reinterpret_cast<std::uintptr_t>(base)] = size;
    }

    bool remove(void *base)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocks_.erase(reinterpret_cast<std::uintptr_t>(base)) == 1;
    }

    // Whether [p, p + count) lies inside one allocation.
    bool contains(const void *p, std::size_t count)
    {
        const auto address = reinterpret_cast<std::uintptr_t>(p);
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = blocks_.upper_bound(address);
        if (it == blocks_.begin()) return false;
        --it;
        return address - it->first <= it->second && count <= it->second - (address - it->first);
    }

private:
    std::mutex mutex_;
    std::map<std::uintptr_t, std::size_t> blocks_;
};

// Device memory lives until the process ends, as a GPU context's does: the
// registry is never destroyed, so what a program does not free stays
// reachable rather than leaked.
Allocations &allocations()
{
    static Allocations *instance = new Allocations;
    return *instance;
}

}  // namespace

cudaError_t record(cudaError_t error)
{
    if (error != cudaSuccess) last_error = error;
    return error;
}

cudaError_t injected_failure(const char *function, cudaError_t error)
{
    return injector().check(function, error);
}

namespace {
int &workers()
{
    static int count = [] {
        if (const char *text = std::getenv("CUDACPU_THREADS")) {
            char *end = nullptr;
            const long n = std::strtol(text, &end, 10);
            if (*text == '\0' || *end != '\0' || n < 1 || n > 1024)
                fatal("CUDACPU_THREADS='%s' is not a worker count from 1 to 1024", text);
            return static_cast<int>(n);
        }
        // The cores this process may run on: a process bound to some (by
        // mpirun, srun or taskset) runs that many workers, not one per core
        // of the machine.
        cpu_set_t set;
        if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
        const unsigned cores = std::thread::hardware_concurrency();
        return cores == 0 ? 1 : static_cast<int>(cores);
    }();
    return count;
}
}  // namespace

int worker_count()
{
    return workers();
}

void set_worker_count(int count)
{
    if (count < 1 || count > 1024) fatal("%d is not a worker count from 1 to 1024", count);
    workers() = count;
}

void fatal(const char *format, ...)
{
    std::fflush(stdout);
    std::fputs("cudacpu: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

void fault_launch()
{
    record(cudaErrorIllegalAddress);
}

cudaError_t check_symbol_copy(bool to_symbol, std::size_t symbol_size, const void *host,
                              std::size_t count, std::size_t offset, cudaMemcpyKind kind)
{
    if (to_symbol) {
        CUDACPU_INJECT("cudaMemcpyToSymbol", cudaErrorInvalidSymbol);
    } else {
        CUDACPU_INJECT("cudaMemcpyFromSymbol", cudaErrorInvalidSymbol);
    }
    const cudaMemcpyKind host_side = to_symbol ? cudaMemcpyHostToDevice : cudaMemcpyDeviceToHost;
    if (kind != host_side && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault)
        return record(cudaErrorInvalidMemcpyDirection);
    if (offset > symbol_size || count > symbol_size - offset || (count > 0 && host == nullptr))
        return record(cudaErrorInvalidValue);
    return cudaSuccess;
}

}  // namespace cudacpu

using cudacpu::record;
using cudacpu::injected_failure;

// ---------------------------------------------------------------------------
// Errors

namespace {

struct ErrorText {
    cudaError_t code;
    const char *name;
    const char *text;
};

constexpr ErrorText kErrorTexts[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError", "initialization error"},
    {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration",
     "invalid configuration argument"},
    {cudaErrorInvalidSymbol, "cudaErrorInvalidSymbol", "invalid device symbol"},
    {cudaErrorInvalidDevicePointer, "cudaErrorInvalidDevicePointer", "invalid device pointer"},
    {cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection",
     "invalid copy direction for memcpy"},
    {cudaErrorInsufficientDriver, "cudaErrorInsufficientDriver",
     "CUDA driver version is insufficient for CUDA runtime version"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
    {cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle",
     "invalid resource handle"},
    {cudaErrorNotReady, "cudaErrorNotReady", "device not ready"},
    {cudaErrorIllegalAddress, "cudaErrorIllegalAddress",
     "an illegal memory access was encountered"},
    {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources",
     "too many resources requested for launch"},
    {cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
    {cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
};

const ErrorText *find_error(cudaError_t error)
{
    for (const auto &entry : kErrorTexts)
        if (entry.code == error) return &entry;
    return nullptr;
}

}  // namespace

const char *cudaGetErrorString(cudaError_t error)
{
    const ErrorText *entry = find_error(error);
    return entry != nullptr ? entry->text : "unrecognized error code";
}

const char *cudaGetErrorName(cudaError_t error)
{
    const ErrorText *entry = find_error(error);
    return entry != nullptr ? entry->name : "cudaErrorUnknown";
}

cudaError_t cudaGetLastError()
{
    const cudaError_t error = cudacpu::last_error;
    cudacpu::last_error = cudaSuccess;
    return error;
}

cudaError_t cudaPeekAtLastError() { return cudacpu::last_error; }

// ---------------------------------------------------------------------------
// The device: one, the host's CPU.

cudaError_t cudaGetDeviceCount(int *count)
{
    CUDACPU_INJECT("cudaGetDeviceCount", cudaErrorNoDevice);
    if (count == nullptr) return record(cudaErrorInvalidValue);
    *count = 1;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int *device)
{
    CUDACPU_INJECT("cudaGetDevice", cudaErrorNoDevice);
    if (device == nullptr) return record(cudaErrorInvalidValue);
    *device = 0;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device)
{
    CUDACPU_INJECT("cudaSetDevice", cudaErrorInvalidDevice);
    return device == 0 ? cudaSuccess : record(cudaErrorInvalidDevice);
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp *prop, int device)
{
    CUDACPU_INJECT("cudaGetDeviceProperties", cudaErrorNoDevice);
    if (prop == nullptr) return record(cudaErrorInvalidValue);
    if (device != 0) return record(cudaErrorInvalidDevice);
    *prop = cudaDeviceProp{};
    const int workers = cudacpu::worker_count();
    std::snprintf(prop->name, sizeof prop->name, "CPU (cudacpu, %d worker thread%s)", workers,
                  workers == 1 ? "" : "s");
    // No GPU architecture is emulated: compute capability 0.0 says so.
    prop->major = 0;
    prop->minor = 0;
    prop->totalGlobalMem = static_cast<std::size_t>(1) << 34;
    prop->sharedMemPerBlock = 48 * 1024;
    prop->regsPerBlock = 65536;
    prop->warpSize = 32;
    prop->maxThreadsPerBlock = 1024;
    prop->maxThreadsDim[0] = 1024;
    prop->maxThreadsDim[1] = 1024;
    prop->maxThreadsDim[2] = 64;
    prop->maxGridSize[0] = 2147483647;
    prop->maxGridSize[1] = 65535;
    prop->maxGridSize[2] = 65535;
    prop->totalConstMem = 64 * 1024;
    prop->multiProcessorCount = workers;
    return cudaSuccess;
}

// Launches run to completion before they return: there is nothing to wait for.
cudaError_t cudaDeviceSynchronize()
{
    CUDACPU_INJECT("cudaDeviceSynchronize", cudaErrorLaunchFailure);
    return cudaSuccess;
}

cudaError_t cudaMemGetInfo(std::size_t *free, std::size_t *total)
{
    CUDACPU_INJECT("cudaMemGetInfo", cudaErrorInvalidValue);
    if (free == nullptr || total == nullptr) return record(cudaErrorInvalidValue);
    const long page = sysconf(_SC_PAGESIZE);
    *total = static_cast<std::size_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::size_t>(page);
    *free = static_cast<std::size_t>(sysconf(_SC_AVPHYS_PAGES)) * static_cast<std::size_t>(page);
    // MemAvailable counts the page cache the kernel would give back too.
    if (FILE *info = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kb = 0;
        while (std::fgets(line, sizeof line, info))
            if (std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1) {
                *free = static_cast<std::size_t>(kb) * 1024;
                break;
            }
        std::fclose(info);
    }
    return cudaSuccess;
}

cudaError_t cudaDeviceReset()
{
    CUDACPU_INJECT("cudaDeviceReset", cudaErrorUnknown);
    return cudaSuccess;
}

// ---------------------------------------------------------------------------
// Device memory

namespace cudacpu {
namespace {
// Asks for 2 MiB pages in the whole 2 MiB pages that [p, p + size) covers
// (before the first touch), as a GPU maps its memory in large pages: the
// solver's step, with its 30-odd plane streams each crossing a small page
// every 512 doubles, runs a few per cent faster. Only the allocation's own
// range, so the resident size stays what it was; a refusal leaves small pages.
void prefer_huge_pages(void *p, std::size_t size)
{
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t from = (start + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t to = (start + size) & ~(kHuge - 1);
    if (to > from) madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
}
}  // namespace
}  // namespace cudacpu

cudaError_t cudaMalloc(void **devPtr, std::size_t size)
{
    CUDACPU_INJECT("cudaMalloc", cudaErrorMemoryAllocation);
    if (devPtr == nullptr) return record(cudaErrorInvalidValue);
    if (size == 0) {
        *devPtr = nullptr;
        return cudaSuccess;
    }
    const std::size_t rounded = (size + cudacpu::kAlignment - 1) / cudacpu::kAlignment *
                                cudacpu::kAlignment;
    if (rounded < size) return record(cudaErrorMemoryAllocation);
    void *p = std::aligned_alloc(cudacpu::kAlignment, rounded);
    if (p == nullptr) return record(cudaErrorMemoryAllocation);
    cudacpu::prefer_huge_pages(p, rounded);
    std::memset(p, cudacpu::kPoison, rounded);
    cudacpu::allocations().add(p, size);
    *devPtr = p;
    return cudaSuccess;
}

cudaError_t cudaFree(void *devPtr)
{
    CUDACPU_INJECT("cudaFree", cudaErrorInvalidValue);
    if (devPtr == nullptr) return cudaSuccess;
    if (!cudacpu::allocations().remove(devPtr)) return record(cudaErrorInvalidValue);
    std::free(devPtr);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void *dst, const void *src, std::size_t count, cudaMemcpyKind kind)
{
    CUDACPU_INJECT("cudaMemcpy", cudaErrorInvalidValue);
    bool dst_on_device = false;
    bool src_on_device = false;
    switch (kind) {
    case cudaMemcpyHostToHost: break;
    case cudaMemcpyHostToDevice: dst_on_device = true; break;
    case cudaMemcpyDeviceToHost: src_on_device = true; break;
    case cudaMemcpyDeviceToDevice: dst_on_device = src_on_device = true; break;
    case cudaMemcpyDefault: break;
    default: return record(cudaErrorInvalidMemcpyDirection);
    }
    if (count == 0) return cudaSuccess;
    if (dst == nullptr || src == nullptr) return record(cudaErrorInvalidValue);
    if ((dst_on_device && !cudacpu::allocations().contains(dst, count)) ||
        (src_on_device && !cudacpu::allocations().contains(src, count)))
        return record(cudaErrorInvalidValue);
    std::memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaMemset(void *devPtr, int value, std::size_t count)
{
    CUDACPU_INJECT("cudaMemset", cudaErrorInvalidValue);
    if (count == 0) return cudaSuccess;
    if (!cudacpu::allocations().contains(devPtr, count)) return record(cudaErrorInvalidValue);
    std::memset(devPtr, value, count);
    return cudaSuccess;
}

// ---------------------------------------------------------------------------
// Events: launches and copies complete before they return, so an event takes
// the host's steady clock when it is recorded.

struct CUevent_st {
    bool recorded = false;
    std::chrono::steady_clock::time_point time;
};

namespace {

class Events {
public:
    cudaEvent_t create()
    {
        auto *event = new CUevent_st;
        std::lock_guard<std::mutex> lock(mutex_);
        live_.insert(event);
        return event;
    }

    bool destroy(cudaEvent_t event)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (live_.erase(event) == 0) return false;
        }
        delete event;
        return true;
    }

    bool valid(cudaEvent_t event)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.count(event) == 1;
    }

private:
    std::mutex mutex_;
    std::set<cudaEvent_t> live_;
};

Events &events()
{
    static Events *instance = new Events;  // lives as long as the process, like allocations()
    return *instance;
}

}  // namespace

cudaError_t cudaEventCreate(cudaEvent_t *event)
{
    CUDACPU_INJECT("cudaEventCreate", cudaErrorMemoryAllocation);
    if (event == nullptr) return record(cudaErrorInvalidValue);
    *event = events().create();
    return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream)
{
    CUDACPU_INJECT("cudaEventRecord", cudaErrorInvalidResourceHandle);
    if (!events().valid(event) || stream != nullptr)
        return record(cudaErrorInvalidResourceHandle);
    event->time = std::chrono::steady_clock::now();
    event->recorded = true;
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event)
{
    CUDACPU_INJECT("cudaEventSynchronize", cudaErrorInvalidResourceHandle);
    if (!events().valid(event)) return record(cudaErrorInvalidResourceHandle);
    return cudaSuccess;
}

cudaError_t cudaEventElapsedTime(float *ms, cudaEvent_t start, cudaEvent_t end)
{
    CUDACPU_INJECT("cudaEventElapsedTime", cudaErrorInvalidResourceHandle);
    if (ms == nullptr) return record(cudaErrorInvalidValue);
    if (!events().valid(start) || !events().valid(end) || !start->recorded || !end->recorded)
        return record(cudaErrorInvalidResourceHandle);
    const std::chrono::duration<double, std::milli> elapsed = end->time - start->time;
    *ms = static_cast<float>(elapsed.count());
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event)
{
    CUDACPU_INJECT("cudaEventDestroy", cudaErrorInvalidResourceHandle);
    return events().destroy(event) ? cudaSuccess : record(cudaErrorInvalidResourceHandle);
}
