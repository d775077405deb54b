#include "utils/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace skarvo::util {
namespace {

/// One parallel loop. Lives on the submitting thread's stack; the pool only
/// touches it while holding a reference counted in `refs`.
struct Batch {
    detail::ItemFn fn = nullptr;
    void* ctx = nullptr;
    std::size_t count = 0;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    // Guarded by the pool mutex:
    std::size_t done = 0;
    std::size_t refs = 0;
    bool queued = true;
    std::size_t error_index = 0;
    std::exception_ptr error;
};

class WorkerPool {
public:
    explicit WorkerPool(std::size_t workers) {
        threads_.reserve(workers);
        for (std::size_t i = 0; i < workers; ++i) {
            try {
                threads_.emplace_back([this] { worker_loop(); });
            } catch (const std::system_error&) {
                break;  // run with the threads we have (possibly none)
            }
        }
    }
    // The pool lives until the process ends: its threads are never joined,
    // so that no static destructor waits on them at exit.
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t size() const noexcept { return threads_.size(); }

    void run(Batch& b);

private:
    void worker_loop();
    /// Claims and runs items of `b` until none is left; returns how many
    /// items this thread accounted for (run or skipped after a failure).
    std::size_t drain(Batch& b);
    void release(Batch& b, std::size_t finished, std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    std::deque<Batch*> queue_;
    std::vector<std::thread> threads_;
};

// The pool a thread works for (null on threads that are not pool workers).
thread_local WorkerPool* current_pool = nullptr;

std::size_t WorkerPool::drain(Batch& b) {
    std::size_t finished = 0;
    for (;;) {
        const std::size_t i = b.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= b.count) break;
        ++finished;
        if (b.failed.load(std::memory_order_relaxed)) continue;
        try {
            b.fn(b.ctx, i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!b.error || i < b.error_index) {
                b.error = std::current_exception();
                b.error_index = i;
            }
            b.failed.store(true, std::memory_order_relaxed);
        }
    }
    return finished;
}

void WorkerPool::release(Batch& b, std::size_t finished, std::unique_lock<std::mutex>&) {
    b.done += finished;
    --b.refs;
    if (b.done == b.count && b.refs == 0) done_cv_.notify_all();
}

void WorkerPool::worker_loop() {
    current_pool = this;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (!queue_.empty() && queue_.front()->next.load(std::memory_order_relaxed) >= queue_.front()->count) {
            queue_.front()->queued = false;
            queue_.pop_front();
        }
        if (queue_.empty()) {
            work_cv_.wait(lock);
            continue;
        }
        Batch& b = *queue_.front();
        ++b.refs;
        lock.unlock();
        const std::size_t finished = drain(b);
        lock.lock();
        release(b, finished, lock);
    }
}

void WorkerPool::run(Batch& b) {
    const bool nested = current_pool == this;
    std::unique_lock<std::mutex> lock(mutex_);
    // Inner loops go first so that the outer item waiting on them finishes
    // sooner; loops from outside the pool queue up in arrival order.
    if (nested)
        queue_.push_front(&b);
    else
        queue_.push_back(&b);
    if (b.count > 1)
        work_cv_.notify_all();
    else
        work_cv_.notify_one();
    if (nested) {
        // A worker waiting on an inner loop works on it too: the pool keeps
        // one thread per CPU busy and cannot run out of free workers.
        ++b.refs;
        lock.unlock();
        const std::size_t finished = drain(b);
        lock.lock();
        release(b, finished, lock);
    }
    // A thread from outside only waits, so that exactly one thread per CPU
    // computes.
    done_cv_.wait(lock, [&] { return b.done == b.count && b.refs == 0; });
    if (b.queued) {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (*it == &b) {
                queue_.erase(it);
                break;
            }
        }
        b.queued = false;
    }
}

std::size_t cpus_available() noexcept {
    // The affinity mask, so that taskset or os.sched_setaffinity before the
    // first use choose the number of workers.
    for (int ncpu = 1024; ncpu <= (1 << 16); ncpu *= 4) {
        cpu_set_t* set = CPU_ALLOC(ncpu);
        if (!set) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(ncpu);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) == 0) {
            const int count = CPU_COUNT_S(bytes, set);
            CPU_FREE(set);
            if (count > 0) return static_cast<std::size_t>(count);
            break;
        }
        CPU_FREE(set);
        if (errno != EINVAL) break;
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

// The pool of this process. A forked child starts with only the forking
// thread, and the parent's pool may be mid-operation with its mutex held, so
// the child handler forgets it (deliberately leaking it) and resets the
// creation lock; the child builds a fresh pool on first use.
std::atomic<WorkerPool*> the_pool{nullptr};
alignas(std::mutex) unsigned char create_mutex_storage[sizeof(std::mutex)];
std::mutex* create_mutex = new (create_mutex_storage) std::mutex;

void forget_pool_in_child() noexcept {
    the_pool.store(nullptr, std::memory_order_relaxed);
    create_mutex = new (create_mutex_storage) std::mutex;
    current_pool = nullptr;
}

WorkerPool& pool() {
    WorkerPool* p = the_pool.load(std::memory_order_acquire);
    if (p) return *p;
    std::lock_guard<std::mutex> lock(*create_mutex);
    p = the_pool.load(std::memory_order_acquire);
    if (p) return *p;
    static bool handler_registered = false;
    if (!handler_registered) {
        pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        handler_registered = true;
    }
    p = new WorkerPool(cpus_available());
    the_pool.store(p, std::memory_order_release);
    return *p;
}

}  // namespace

std::size_t pool_worker_count() { return pool().size(); }

namespace detail {

void run_parallel(std::size_t count, ItemFn fn, void* ctx) {
    if (count == 0) return;
    WorkerPool& p = pool();
    if (count == 1 || p.size() == 0) {
        // Nothing to share: run here, with the same failure rule as the pool.
        for (std::size_t i = 0; i < count; ++i) fn(ctx, i);
        return;
    }
    Batch b;
    b.fn = fn;
    b.ctx = ctx;
    b.count = count;
    p.run(b);
    if (b.error) std::rethrow_exception(b.error);
}

}  // namespace detail
}  // namespace skarvo::util
