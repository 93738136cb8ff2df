// Kernel launches on the CPU.
//
// Blocks are spread over a pool of worker threads (the launching thread is
// one of them); a worker runs one block at a time to completion. Inside a
// block, thread 0 starts on a fiber. If it returns without reaching
// __syncthreads, the block has no barrier and its other threads run as a
// plain loop on the worker's own stack. If it reaches a barrier, every thread
// of the block gets a fiber and the fibers take turns: each runs to its next
// barrier, and when all have arrived the round starts again, until all have
// returned. Fibers and their stacks belong to the worker and are reused.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/context/detail/fcontext.hpp>

#include "internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define CUDACPU_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CUDACPU_ASAN 1
#endif
#endif

#ifdef CUDACPU_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

__thread uint3 threadIdx;
__thread uint3 blockIdx;
__thread dim3 blockDim;
__thread dim3 gridDim;

namespace cudacpu {

namespace {

namespace ctx = boost::context::detail;

constexpr std::size_t kFiberStackBytes = 256 * 1024;
constexpr std::size_t kMaxSharedBytes = 48 * 1024;
constexpr unsigned kMaxThreadsPerBlock = 1024;

// A fiber stack with an inaccessible guard page below it, mapped once.
class FiberStack {
public:
    FiberStack()
    {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        base_ = mmap(nullptr, kFiberStackBytes + page_, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base_ == MAP_FAILED) fatal("cannot map a fiber stack of %zu bytes", kFiberStackBytes);
        mprotect(base_, page_, PROT_NONE);
    }
    ~FiberStack() { munmap(base_, kFiberStackBytes + page_); }
    FiberStack(const FiberStack &) = delete;
    FiberStack &operator=(const FiberStack &) = delete;

    void *bottom() const { return static_cast<char *>(base_) + page_; }
    void *top() const { return static_cast<char *>(base_) + page_ + kFiberStackBytes; }

private:
    void *base_;
    std::size_t page_;
};

enum class Phase {
    Idle,       // no block running on this worker
    FirstThread,  // thread 0 runs on its fiber; a barrier switches to fibers
    PlainLoop,  // thread 0 returned without a barrier: the rest run as a loop
    Fibers,     // every thread on its own fiber, in rounds between barriers
    SimdRows    // a kernel in the SIMD form: each row of threads is one loop
};

struct Fiber {
    ctx::fcontext_t context = nullptr;  // where to resume it
    uint3 index{};                      // its threadIdx
    bool returned = false;
    std::unique_ptr<FiberStack> stack;
#ifdef CUDACPU_ASAN
    void *fake_stack = nullptr;
#endif
};

struct Launch {
    KernelThunk thunk;
    dim3 grid;
    dim3 block;
    std::size_t shared_bytes;
    unsigned long long blocks;
    unsigned long long chunk;  // blocks a worker takes at a time
    std::atomic<unsigned long long> next{0};
};

// Coordinates of the b-th block of a grid, x fastest.
uint3 block_index(unsigned long long b, dim3 grid)
{
    if (grid.y == 1 && grid.z == 1) return uint3{static_cast<unsigned>(b), 0, 0};
    const unsigned long long row = b / grid.x;
    return uint3{static_cast<unsigned>(b % grid.x), static_cast<unsigned>(row % grid.y),
                 static_cast<unsigned>(row / grid.y)};
}

// What one worker thread needs to run blocks.
class BlockRunner {
public:
    void run_blocks(Launch &launch)
    {
        gridDim = launch.grid;
        blockDim = launch.block;
        launch_ = &launch;
        dynamic_shared_.resize(launch.shared_bytes);
        for (;;) {
            const unsigned long long first =
                launch.next.fetch_add(launch.chunk, std::memory_order_relaxed);
            if (first >= launch.blocks) break;
            const unsigned long long last = std::min(first + launch.chunk, launch.blocks);
            for (unsigned long long b = first; b < last; ++b) {
                blockIdx = block_index(b, launch.grid);
                run_block();
            }
        }
        launch_ = nullptr;
    }

    void barrier()
    {
        switch (phase_) {
        case Phase::FirstThread:
        case Phase::Fibers:
            suspend(false);
            return;
        case Phase::PlainLoop:
            fatal("thread (%u,%u,%u) of block (%u,%u,%u) reached __syncthreads, but thread "
                  "(0,0,0) of the block returned without reaching any barrier: the threads "
                  "of a block disagree about barriers",
                  threadIdx.x, threadIdx.y, threadIdx.z, blockIdx.x, blockIdx.y, blockIdx.z);
        case Phase::SimdRows:
            fatal("a thread of block (%u,%u,%u) reached __syncthreads in a kernel launched "
                  "in the SIMD form, whose threads run as one loop: such a kernel must be "
                  "barrier-free (define it with __global__ instead)",
                  blockIdx.x, blockIdx.y, blockIdx.z);
        case Phase::Idle:
            fatal("__syncthreads called outside a kernel");
        }
    }

    void *dynamic_shared() { return dynamic_shared_.data(); }

private:
    void run_block()
    {
        if (!dynamic_shared_.empty())
            std::memset(dynamic_shared_.data(), 0xFF, dynamic_shared_.size());
        const dim3 b = blockDim;
        const KernelThunk &k = launch_->thunk;
        if (k.simd) {
            phase_ = Phase::SimdRows;
            for (unsigned z = 0; z < b.z; ++z)
                for (unsigned y = 0; y < b.y; ++y) {
                    threadIdx.y = y;
                    threadIdx.z = z;
                    k.run_row(k.closure, 0, b.x);
                }
            phase_ = Phase::Idle;
            return;
        }
        const unsigned threads = b.x * b.y * b.z;
        if (fibers_.size() < threads) fibers_.resize(threads);

        phase_ = Phase::FirstThread;
        start_fiber(0, uint3{0, 0, 0});
        if (fibers_[0].returned) {
            phase_ = Phase::PlainLoop;
            for (unsigned z = 0; z < b.z; ++z)
                for (unsigned y = 0; y < b.y; ++y) {
                    threadIdx.y = y;
                    threadIdx.z = z;
                    k.run_row(k.closure, (y == 0 && z == 0) ? 1 : 0, b.x);
                }
            phase_ = Phase::Idle;
            return;
        }

        phase_ = Phase::Fibers;
        unsigned t = 1;
        for (unsigned z = 0; z < b.z; ++z)
            for (unsigned y = 0; y < b.y; ++y)
                for (unsigned x = (y == 0 && z == 0) ? 1 : 0; x < b.x; ++x)
                    start_fiber(t++, uint3{x, y, z});
        for (;;) {
            unsigned waiting = 0;
            for (unsigned i = 0; i < threads; ++i) waiting += fibers_[i].returned ? 0 : 1;
            if (waiting == 0) break;
            if (waiting != threads) report_divergent_barrier(threads, waiting);
            for (unsigned i = 0; i < threads; ++i) resume(i);
        }
        phase_ = Phase::Idle;
    }

    [[noreturn]] void report_divergent_barrier(unsigned threads, unsigned waiting)
    {
        unsigned first_returned = 0;
        unsigned first_waiting = 0;
        for (unsigned i = threads; i-- > 0;)
            (fibers_[i].returned ? first_returned : first_waiting) = i;
        const uint3 r = fibers_[first_returned].index;
        const uint3 w = fibers_[first_waiting].index;
        fatal("block (%u,%u,%u): %u of its %u threads wait at __syncthreads, e.g. thread "
              "(%u,%u,%u), while the others, e.g. thread (%u,%u,%u), returned without "
              "reaching it; on a GPU this block would hang or corrupt its shared memory",
              blockIdx.x, blockIdx.y, blockIdx.z, waiting, threads, w.x, w.y, w.z, r.x, r.y,
              r.z);
    }

    // Creates the fiber of thread `i` and runs it to its first barrier or return.
    void start_fiber(unsigned i, uint3 index)
    {
        Fiber &f = fibers_[i];
        if (!f.stack) f.stack = std::make_unique<FiberStack>();
        f.index = index;
        f.returned = false;
        f.context = ctx::make_fcontext(f.stack->top(), kFiberStackBytes, &fiber_main);
        switch_to(i);
    }

    void resume(unsigned i) { switch_to(i); }

    // Runs fiber i until it suspends at a barrier or returns.
    void switch_to(unsigned i)
    {
        Fiber &f = fibers_[i];
        current_ = i;
        threadIdx = f.index;
#ifdef CUDACPU_ASAN
        __sanitizer_start_switch_fiber(&scheduler_fake_stack_, f.stack->bottom(),
                                       kFiberStackBytes);
#endif
        const ctx::transfer_t back = ctx::jump_fcontext(f.context, this);
#ifdef CUDACPU_ASAN
        __sanitizer_finish_switch_fiber(scheduler_fake_stack_, nullptr, nullptr);
#endif
        f.context = back.fctx;
    }

    // Called on a fiber: back to the scheduler, for good if `returned`.
    void suspend(bool returned)
    {
        Fiber &f = fibers_[current_];
        f.returned = returned;
#ifdef CUDACPU_ASAN
        __sanitizer_start_switch_fiber(returned ? nullptr : &f.fake_stack, scheduler_bottom_,
                                       scheduler_size_);
#endif
        const ctx::transfer_t t = ctx::jump_fcontext(scheduler_, nullptr);
        scheduler_ = t.fctx;
#ifdef CUDACPU_ASAN
        __sanitizer_finish_switch_fiber(f.fake_stack, &scheduler_bottom_, &scheduler_size_);
#endif
    }

    static void fiber_main(ctx::transfer_t t)
    {
        auto *self = static_cast<BlockRunner *>(t.data);
        self->scheduler_ = t.fctx;
#ifdef CUDACPU_ASAN
        __sanitizer_finish_switch_fiber(nullptr, &self->scheduler_bottom_, &self->scheduler_size_);
#endif
        const KernelThunk &k = self->launch_->thunk;
        k.run_row(k.closure, threadIdx.x, threadIdx.x + 1);
        self->suspend(true);
        fatal("a returned fiber was resumed");
    }

    Phase phase_ = Phase::Idle;
    Launch *launch_ = nullptr;
    std::vector<Fiber> fibers_;
    unsigned current_ = 0;
    ctx::fcontext_t scheduler_ = nullptr;
    std::vector<unsigned char> dynamic_shared_;
#ifdef CUDACPU_ASAN
    void *scheduler_fake_stack_ = nullptr;
    const void *scheduler_bottom_ = nullptr;
    std::size_t scheduler_size_ = 0;
#endif
};

thread_local BlockRunner runner;

// Worker threads that join the launching thread in running the blocks of a
// launch. Between launches they spin briefly, then sleep.
class WorkerPool {
public:
    explicit WorkerPool(int workers)
    {
        for (int i = 1; i < workers; ++i) threads_.emplace_back([this] { work(); });
    }

    ~WorkerPool()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            generation_.fetch_add(1);
        }
        wake_.notify_all();
        for (auto &t : threads_) t.join();
    }

    void run(Launch &launch)
    {
        if (threads_.empty() || launch.blocks == 1) {
            runner.run_blocks(launch);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            launch_ = &launch;
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
        runner.run_blocks(launch);
        // The others are finishing their last blocks: wait for them by
        // spinning a while before sleeping, since waking a sleeping thread
        // costs more than a small launch.
        for (int spin = 0; spin < 20000; ++spin) {
            if (active_.load(std::memory_order_acquire) == 0) break;
            __builtin_ia32_pause();
        }
        std::unique_lock<std::mutex> lock(mutex_);
        launch_ = nullptr;  // no worker joins from now on
        done_.wait(lock, [this] { return active_.load() == 0; });
    }

private:
    void work()
    {
        unsigned long long seen = 0;
        for (;;) {
            for (int spin = 0; spin < 20000; ++spin) {
                if (generation_.load(std::memory_order_acquire) != seen) break;
                __builtin_ia32_pause();
            }
            Launch *launch;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] {
                    return stop_ || (launch_ != nullptr && generation_.load() != seen);
                });
                if (stop_) return;
                seen = generation_.load();
                launch = launch_;
                ++active_;
            }
            runner.run_blocks(*launch);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                --active_;
            }
            done_.notify_one();
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::atomic<unsigned long long> generation_{0};
    Launch *launch_ = nullptr;
    std::atomic<int> active_{0};  // workers in run_blocks; changed under mutex_
    bool stop_ = false;
};

// The pool of the current worker count, rebuilt when the count has changed.
WorkerPool &pool()
{
    static std::unique_ptr<WorkerPool> instance;
    static int size = 0;
    if (!instance || size != worker_count()) {
        instance.reset();
        size = worker_count();
        instance = std::make_unique<WorkerPool>(size);
    }
    return *instance;
}

bool valid_configuration(dim3 grid, dim3 block, std::size_t shared_bytes)
{
    const unsigned long long threads =
        static_cast<unsigned long long>(block.x) * block.y * block.z;
    return block.x >= 1 && block.y >= 1 && block.z >= 1 && block.x <= 1024 &&
           block.y <= 1024 && block.z <= 64 && threads <= kMaxThreadsPerBlock && grid.x >= 1 &&
           grid.y >= 1 && grid.z >= 1 && grid.x <= 2147483647u && grid.y <= 65535 &&
           grid.z <= 65535 && shared_bytes <= kMaxSharedBytes;
}

}  // namespace

void launch_kernel(const KernelThunk &thunk, dim3 grid, dim3 block, std::size_t shared_bytes,
                   cudaStream_t stream)
{
    if (const cudaError_t injected = injected_failure("launch", cudaErrorLaunchFailure)) {
        record(injected);
        return;
    }
    if (stream != nullptr) {
        record(cudaErrorInvalidResourceHandle);
        return;
    }
    if (!valid_configuration(grid, block, shared_bytes)) {
        record(cudaErrorInvalidConfiguration);
        return;
    }
    const unsigned long long blocks = static_cast<unsigned long long>(grid.x) * grid.y * grid.z;
    // Workers take blocks in chunks, few enough to keep the shared counter
    // cold, many enough (eight per worker) to balance the load.
    const unsigned long long chunk = std::clamp<unsigned long long>(
        blocks / (8ull * static_cast<unsigned>(worker_count())), 1, 64);
    Launch launch{thunk, grid, block, shared_bytes, blocks, chunk};
    // The device runs one launch at a time: launches from several host
    // threads (several runs in one process) take turns, as kernels on one
    // stream of a GPU do.
    static std::mutex device;
    const std::lock_guard<std::mutex> lock(device);
    pool().run(launch);
}

void *dynamic_shared_memory() { return runner.dynamic_shared(); }

}  // namespace cudacpu

void __syncthreads() { cudacpu::runner.barrier(); }
