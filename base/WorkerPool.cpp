// The pool keeps one queue under one lock: tasks are whole blocks, a few per
// second per thread, so the lock is never contended enough to matter.
#include "base/WorkerPool.h"

#if MORV_HAVE_THREADS

WorkerPool::WorkerPool(unsigned threads) {
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    queued_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

uint64_t WorkerPool::submit(std::function<void()> task) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t ticket = nextTicket_++;
    if (!threaded()) {
        lock.unlock();
        task();
        lock.lock();
        done_.insert(ticket);
        return ticket;
    }
    queue_.emplace_back(ticket, std::move(task));
    lock.unlock();
    queued_.notify_one();
    return ticket;
}

void WorkerPool::wait(uint64_t ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return done_.count(ticket) != 0; });
    done_.erase(ticket);
}

void WorkerPool::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, nothing left to start
        auto [ticket, task] = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        task();
        lock.lock();
        done_.insert(ticket);
        finished_.notify_all();
    }
}

#else  // no threads: every task runs inside submit

WorkerPool::WorkerPool(unsigned) {}

WorkerPool::~WorkerPool() = default;

uint64_t WorkerPool::submit(std::function<void()> task) {
    task();
    return nextTicket_++;
}

void WorkerPool::wait(uint64_t) {}

#endif
