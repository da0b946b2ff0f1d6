// Work shared out between the calling thread and one helper thread, for the
// compact PNG encoder's large images. Plain C++: no Python objects are touched.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include <unistd.h>

namespace lumivex {

// Waking a thread blocked on a condition variable took 80-300 us on these
// machines' virtual cores, as long as the tasks of a small image: a thread
// that expects work or a result within spinLimit looks for it without
// blocking first.
constexpr std::chrono::microseconds spinLimit{300};

inline void pauseBriefly() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Polls `ready` until it holds or spinLimit has passed; whether it held.
template <class Ready>
bool spinUntil(const Ready& ready) noexcept {
    const auto end = std::chrono::steady_clock::now() + spinLimit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        for (int i = 0; i < 16; ++i) pauseBriefly();
    }
    return true;
}

// The tasks of one shareTasks call, held by the calling thread and by the helper thread.
// A helper that starts late, after the caller has claimed and finished every task and
// returned, finds nothing left to claim and touches nothing but this.
class TaskQueue {
public:
    using Runner = void (*)(const void* task, size_t index, size_t worker);
    TaskQueue(size_t count, const void* task, Runner run) : count_(count), task_(task), run_(run) {}

    // Claims and runs tasks until none is left.
    void work(size_t worker) {
        for (size_t i = next_++; i < count_; i = next_++) {
            run_(task_, i, worker);
            std::lock_guard<std::mutex> lock(mutex_);
            if (done_.fetch_add(1, std::memory_order_release) + 1 == count_) allDone_.notify_all();
        }
    }
    // Waits for the tasks the other thread claimed.
    void waitForAll() {
        const auto allDone = [this] { return done_.load(std::memory_order_acquire) == count_; };
        if (spinUntil(allDone)) return;
        std::unique_lock<std::mutex> lock(mutex_);
        allDone_.wait(lock, allDone);
    }

private:
    const size_t count_;
    const void* const task_;  // read only after claiming a task, so never once the caller has returned
    const Runner run_;
    std::atomic<size_t> next_{0};
    std::mutex mutex_;
    std::condition_variable allDone_;
    std::atomic<size_t> done_{0};  // raised under mutex_, for allDone_
};

// The helper thread, kept waiting between calls: starting a thread for every call
// took about 20 us, and an encode of a small image makes several calls. It ends
// when no call has come for idleLimit (so that a process that has stopped
// encoding holds no extra thread when it forks), and starts again with the next.
// A child of fork() makes its own helper, for the parent's thread is not in it;
// the parent's is never touched there, as its lock may have been held at the
// fork. A helper lives as long as the process, and is never freed.
class Helper {
public:
    // This process's helper, or null when there is no memory for one.
    static Helper* get() noexcept {
        static std::atomic<Helper*> current{nullptr};
        const pid_t pid = getpid();
        Helper* found = current.load(std::memory_order_acquire);
        if (found != nullptr && found->pid_ == pid) return found;
        Helper* made = new (std::nothrow) Helper(pid);
        if (made == nullptr) return nullptr;
        if (current.compare_exchange_strong(found, made, std::memory_order_acq_rel)) return made;
        delete made;  // another thread of this process made one first
        return found->pid_ == pid ? found : nullptr;
    }

    // Hands the queue to the helper thread, starting it the first time; false
    // when it is busy with another call's queue or cannot be started.
    bool offer(const std::shared_ptr<TaskQueue>& queue) noexcept {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock() || busy_ || pending_) return false;
        if (!started_) {
            try {
                std::thread([this] { serve(); }).detach();
            } catch (...) {
                return false;
            }
            started_ = true;
        }
        pending_ = queue;
        offered_.store(true, std::memory_order_release);
        ready_.notify_one();
        return true;
    }

private:
    explicit Helper(pid_t pid) : pid_(pid) {}

    static constexpr std::chrono::milliseconds idleLimit{100};

    void serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            // The next call of an encode most often comes within spinLimit.
            lock.unlock();
            spinUntil([this] { return offered_.load(std::memory_order_acquire); });
            lock.lock();
            if (!ready_.wait_for(lock, idleLimit, [this] { return pending_ != nullptr; })) {
                started_ = false;
                return;
            }
            std::shared_ptr<TaskQueue> queue = std::move(pending_);
            offered_.store(false, std::memory_order_relaxed);
            busy_ = true;
            lock.unlock();
            queue->work(1);
            queue.reset();
            lock.lock();
            busy_ = false;
        }
    }

    const pid_t pid_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::shared_ptr<TaskQueue> pending_;  // guarded by mutex_, as are the flags
    bool busy_ = false, started_ = false;
    std::atomic<bool> offered_{false};  // pending_ is set, read without the lock while spinning
};

// Runs task(i, worker) for every i in [0, count) on this thread (worker 0) and a helper
// thread (worker 1), each claiming the next i as soon as it is free. This thread never
// waits for the helper to start: when another process keeps the other core busy, it
// takes on the tasks the helper has not claimed, and waits only for those it has. The
// helper is the kept one unless another call has it (a task's own call, or another
// thread's), and then one started for this call. If no helper can be started
// (std::thread and the allocations report that by throwing), all run here.
template <class Task>
void shareTasks(size_t count, const Task& task) {
    std::shared_ptr<TaskQueue> queue;
    try {
        queue = std::make_shared<TaskQueue>(count, &task, [](const void* t, size_t i, size_t worker) {
            (*static_cast<const Task*>(t))(i, worker);
        });
        Helper* const kept = Helper::get();
        if (kept == nullptr || !kept->offer(queue)) std::thread([queue] { queue->work(1); }).detach();
    } catch (...) {
        if (!queue) {
            for (size_t i = 0; i < count; ++i) task(i, 0);
            return;
        }
    }
    queue->work(0);
    queue->waitForAll();
}

}  // namespace lumivex
