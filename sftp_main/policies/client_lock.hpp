// The lock that lets one call at a time reach an SFTP client.
//
// Re-entrant on one thread, and fair: a thread that finds it taken joins a
// queue, and the release hands it straight to the thread that has waited
// longest. Without the hand-off the releasing thread, which still holds the
// interpreter lock, would take it back before any waiter could run, and a
// thread calling in a loop would shut the others out for good.
//
// The state lives under the interpreter lock: every caller holds that, so
// taking a free lock costs a few plain reads and writes. A waiting thread
// releases the interpreter lock, wakes when the lock is handed to it, and
// also every few tens of milliseconds to run signal handlers, so that
// Ctrl-C reaches it.
#pragma once

#include "sftp_main/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

namespace sftp::clients {

class ClientLock {
public:
    // Raises (PyErrorRaised) only what a signal handler raises while waiting,
    // or MemoryError; the lock is then not held.
    void lock() {
        const std::uintptr_t me = this_thread();
        if (owner_ == me) {
            ++depth_;
        } else if (owner_ == 0) {  // free, so nobody waits
            owner_ = me;
            depth_ = 1;
        } else {
            wait_for(me);
        }
    }
    void unlock() noexcept {
        if (--depth_ == 0) {
            if (first_ == nullptr) {
                owner_ = 0;
            } else {
                hand_over();
            }
        }
    }

    // In the child of a fork, where only the forking thread lives on: the
    // lock stays held only if that thread held it, and nobody waits.
    void reset_after_fork() noexcept;

private:
    struct Waiter;

    // Unique among live threads, cheaper than the interpreter's ident, and
    // the same for the forking thread in a child.
    static std::uintptr_t this_thread() noexcept { return static_cast<std::uintptr_t>(pthread_self()); }
    void wait_for(std::uintptr_t me);
    bool settle(Waiter& waiter) noexcept;
    void enqueue(Waiter& waiter) noexcept;
    void unlink(Waiter& waiter) noexcept;
    void hand_over() noexcept;
    void abandon(Waiter* waiter) noexcept;

    std::uintptr_t owner_ = 0;
    std::size_t depth_ = 0;
    // The waiting threads, longest-waiting first; each entry lives on its
    // thread's stack for the duration of the wait.
    Waiter* first_ = nullptr;
    Waiter* last_ = nullptr;
    // Changed by each fork: a waiter queued before it is no longer linked.
    std::uint64_t queue_generation_ = 0;
};

}  // namespace sftp::clients
