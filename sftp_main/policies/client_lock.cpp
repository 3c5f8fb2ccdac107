#include "sftp_main/policies/client_lock.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace sftp::clients {

// One waiting thread. `granted` is written by the thread that hands the
// lock over, holding both the interpreter lock and `mutex`; the waiter reads
// it under either. Each waiter has a mutex of its own, so that a fork never
// finds one held by a thread the child does not have.
//
// A waiter lives on the heap: a daemon thread that asks for the interpreter
// lock once the interpreter is shutting down is ended there (pthread_exit
// unwinds it), without the interpreter lock, so it cannot leave the queue.
// It marks its entry `abandoned` instead, and the next hand-over drops it.
struct ClientLock::Waiter {
    explicit Waiter(std::uintptr_t waiting_thread) noexcept : thread(waiting_thread) {}

    const std::uintptr_t thread;
    std::uint64_t generation = 0;
    Waiter* previous = nullptr;
    Waiter* next = nullptr;
    bool granted = false;    // see above
    bool abandoned = false;  // under `mutex`
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
    while (Waiter* next = first_) {
        unlink(*next);
        std::unique_lock<std::mutex> hold(next->mutex);
        if (next->abandoned) {
            hold.unlock();
            delete next;
            continue;
        }
        owner_ = next->thread;
        depth_ = 1;
        // Notified under the mutex: the waiter cannot go (and take the mutex
        // and condition with it) until the notification is done.
        next->granted = true;
        next->wake.notify_one();
        return;
    }
    owner_ = 0;
}

// For a waiting thread that is being ended: gives up its place, or the lock
// when it was handed over already.
void ClientLock::abandon(Waiter* waiter) noexcept {
    std::unique_lock<std::mutex> hold(waiter->mutex);
    if (!waiter->granted) {
        waiter->abandoned = true;
        return;
    }
    hold.unlock();
    delete waiter;
    unlock();
}

// True when the lock now belongs to the waiting frame. Besides the plain
// hand-over: a signal handler that ran in this thread during the wait may
// have called in again, so that an outer frame of the same thread was
// handed the lock (the inner frame then holds it re-entrantly), or it may
// have forked, leaving this waiter in a queue that no longer exists. A lock
// that is free while threads wait was let go by a thread ended at exit,
// outside the interpreter lock: whoever looks first takes it.
bool ClientLock::settle(Waiter& waiter) noexcept {
    if (waiter.granted) {
        return true;
    }
    const bool queued = waiter.generation == queue_generation_;
    if (owner_ == waiter.thread || owner_ == 0) {
        if (queued) {
            unlink(waiter);
        }
        if (owner_ == 0) {
            owner_ = waiter.thread;
            depth_ = 0;
        }
        ++depth_;
        return true;
    }
    if (!queued) {
        enqueue(waiter);
    }
    return false;
}

void ClientLock::wait_for(std::uintptr_t me) {
    constexpr auto kSignalCheck = std::chrono::milliseconds(50);
    auto owned = std::make_unique<Waiter>(me);
    Waiter& waiter = *owned;
    enqueue(waiter);
    for (;;) {
        try {
            Py_BEGIN_ALLOW_THREADS
            {
                std::unique_lock<std::mutex> hold(waiter.mutex);
                waiter.wake.wait_for(hold, kSignalCheck, [&] { return waiter.granted; });
            }
            Py_END_ALLOW_THREADS
        } catch (...) {
            // The thread is being ended at interpreter exit (a forced
            // unwind): its place in the queue is left for the next hand-over.
            // Caught as anything, because the unwind carries no object to bind.
            abandon(owned.release());
            throw;
        }
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
