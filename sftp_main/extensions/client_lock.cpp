#include "sftp_main/extensions/client_lock.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace sftp::clients {

// One waiting thread. `granted` is written by the thread that hands the
// lock over, holding both the interpreter lock and `mutex`; the waiter reads
// it under either. Each waiter has a mutex of its own, so that a fork never
// finds one held by a thread the child does not have.
struct ClientLock::Waiter {
    explicit Waiter(std::uintptr_t waiting_thread) noexcept : thread(waiting_thread) {}

    const std::uintptr_t thread;
    std::uint64_t generation = 0;
    Waiter* previous = nullptr;
    Waiter* next = nullptr;
    bool granted = false;
    std::mutex mutex;
    std::condition_variable wake;
};

void ClientLock::enqueue(Waiter& waiter) noexcept {
    waiter.generation = queue_generation_;
    waiter.previous = last_;
    waiter.next = nullptr;
    (last_ != nullptr ? last_->next : first_) = &waiter;
    last_ = &waiter;
}

void ClientLock::unlink(Waiter& waiter) noexcept {
    (waiter.previous != nullptr ? waiter.previous->next : first_) = waiter.next;
    (waiter.next != nullptr ? waiter.next->previous : last_) = waiter.previous;
    waiter.previous = waiter.next = nullptr;
}

void ClientLock::hand_over() noexcept {
    Waiter& next = *first_;
    unlink(next);
    owner_ = next.thread;
    depth_ = 1;
    // Notified under the mutex: the waiter cannot go (and take the mutex
    // and condition with it) until the notification is done.
    std::lock_guard<std::mutex> hold(next.mutex);
    next.granted = true;
    next.wake.notify_one();
}

// True when the lock now belongs to the waiting frame. Besides the plain
// hand-over: a signal handler that ran in this thread during the wait may
// have called in again, so that an outer frame of the same thread was
// handed the lock (the inner frame then holds it re-entrantly), or it may
// have forked, leaving this waiter in a queue that no longer exists.
bool ClientLock::settle(Waiter& waiter) noexcept {
    if (waiter.granted) {
        return true;
    }
    const bool queued = waiter.generation == queue_generation_;
    if (owner_ == waiter.thread) {
        if (queued) {
            unlink(waiter);
        }
        ++depth_;
        return true;
    }
    if (!queued) {
        if (owner_ == 0) {
            owner_ = waiter.thread;
            depth_ = 1;
            return true;
        }
        enqueue(waiter);
    }
    return false;
}

void ClientLock::wait_for(std::uintptr_t me) {
    constexpr auto kSignalCheck = std::chrono::milliseconds(50);
    Waiter waiter(me);
    enqueue(waiter);
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> hold(waiter.mutex);
            waiter.wake.wait_for(hold, kSignalCheck, [&] { return waiter.granted; });
        }
        Py_END_ALLOW_THREADS
        if (settle(waiter)) {
            return;
        }
        if (PyErr_CheckSignals() < 0) {
            // The handler may have let other threads run, and one may have
            // handed the lock over meanwhile: it goes on to the next waiter.
            if (waiter.granted) {
                unlock();
            } else if (waiter.generation == queue_generation_) {
                unlink(waiter);
            }
            throw PyErrorRaised{};
        }
    }
}

void ClientLock::reset_after_fork() noexcept {
    if (owner_ != this_thread()) {
        owner_ = 0;
        depth_ = 0;
    }
    first_ = last_ = nullptr;
    ++queue_generation_;
}

}  // namespace sftp::clients
