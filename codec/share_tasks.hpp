// Work shared out between the calling thread and one helper thread, for the
// compact PNG encoder's large images. Plain C++: no Python objects are touched.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

namespace lumivex {

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
            if (++done_ == count_) allDone_.notify_all();
        }
    }
    // Waits for the tasks the other thread claimed.
    void waitForAll() {
        std::unique_lock<std::mutex> lock(mutex_);
        allDone_.wait(lock, [this] { return done_ == count_; });
    }

private:
    const size_t count_;
    const void* const task_;  // read only after claiming a task, so never once the caller has returned
    const Runner run_;
    std::atomic<size_t> next_{0};
    std::mutex mutex_;
    std::condition_variable allDone_;
    size_t done_ = 0;  // guarded by mutex_
};

// Runs task(i, worker) for every i in [0, count) on this thread (worker 0) and a helper
// thread (worker 1), each claiming the next i as soon as it is free. This thread never
// waits for the helper to start: when another process keeps the other core busy, it
// takes on the tasks the helper has not claimed, and waits only for those it has. If no
// helper can be started (std::thread and the allocations report that by throwing), all
// run here.
template <class Task>
void shareTasks(size_t count, const Task& task) {
    std::shared_ptr<TaskQueue> queue;
    try {
        queue = std::make_shared<TaskQueue>(count, &task, [](const void* t, size_t i, size_t worker) {
            (*static_cast<const Task*>(t))(i, worker);
        });
        std::thread([queue] { queue->work(1); }).detach();
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
