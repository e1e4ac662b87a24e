// A few worker threads that run tasks side by side, and a way to wait for a
// given task. The drivers code the blocks of a file on it; the caller keeps
// the order of the results by waiting for the tasks in the order it gave
// them.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/Compiler.h"

// Without threads (MORV_HAVE_THREADS 0) every pool runs its tasks on the caller.
#if MORV_HAVE_THREADS
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#endif

class WorkerPool {
public:
    // Starts `threads` workers. With 0 (or where there are no threads) no
    // worker starts and submit runs each task on the caller before it returns.
    explicit WorkerPool(unsigned threads);
    // Waits for the tasks already running; tasks not yet started are dropped.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Whether tasks run on workers (false: on the caller, inside submit).
    bool threaded() const { return !workers_.empty(); }

    // Hands a task to the next free worker and returns its ticket (0, 1, 2, ...
    // in the order of the calls). The task must not throw: it reports its
    // failure through its own result.
    uint64_t submit(std::function<void()> task);

    // Returns once the task with this ticket has finished. Each ticket is
    // waited for at most once.
    void wait(uint64_t ticket);

private:
    uint64_t nextTicket_ = 0;
#if MORV_HAVE_THREADS
    void work();

    std::mutex mutex_;
    std::condition_variable queued_;    // a task was queued, or the pool stops
    std::condition_variable finished_;  // a task finished
    std::deque<std::pair<uint64_t, std::function<void()>>> queue_;
    std::set<uint64_t> done_;  // finished tickets not yet waited for
    bool stopping_ = false;
    std::vector<std::thread> workers_;
#else
    std::vector<int> workers_;  // always empty
#endif
};
