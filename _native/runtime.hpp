// How the numerical core behaves inside its host process: when parallel regions may start
// worker threads, and how long computations stop early when the host asks them to (Ctrl-C).
// Plain C++: the host (the Python bindings) installs the one hook it needs.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <thread>

namespace zelk {

// --- Threads ---------------------------------------------------------------------------------

// Whether parallel regions may start worker threads. False in a process forked from the one
// that loaded the core: GNU OpenMP's thread pool does not survive fork, and a region there would
// wait for ever for workers that no longer exist. Results never depend on the number of threads,
// so a forked child runs every region on its calling thread alone, with the same bits. Every
// parallel region carries `if (zelk::threads_allowed() && <worth it>)`.
bool threads_allowed() noexcept;

// Runs body(0) on the calling thread and body(1), body(2), ... on up to `helpers` helper threads,
// which the process keeps for the core (started on first use, never stopped). Unlike an OpenMP
// region, the calling thread never waits for a helper to start: it runs body(0) at once, a helper
// joins if it gets a core while body(0) runs, and the call returns as soon as body(0) has returned
// and every helper that did join has left its body. So a body must leave work that others have
// not taken to whoever comes, and leave when it finds none. A helper that has left yields while
// the caller finishes the job, spins for 0.1 ms after it for the next one (the next phase of a
// call, or the next call of a loop), then sleeps in the kernel: unlike libgomp's workers
// (milliseconds of spinning after every region), it takes no core from whatever the process does
// next, NumPy's BLAS threads for one. Without threads_allowed(), with helpers <= 0, or while
// another caller's job runs, body(0) runs alone. A body must not throw.
void share_work(int helpers, const std::function<void(int)>& body);

// A change counter that the threads of one job wait on, in the kernel after a short spin, when
// they find nothing to do: notify() after every change that may give a waiter something to do.
class Event {
public:
    std::uint32_t seen() const noexcept { return seq_.load(std::memory_order_acquire); }
    void notify() noexcept;
    // Returns when the counter differs from `seen`, or after about `timeout_us` microseconds.
    void wait(std::uint32_t seen, long timeout_us) noexcept;

private:
    std::atomic<std::uint32_t> seq_{0};
    std::atomic<int> waiters_{0};
};

// --- Memory ----------------------------------------------------------------------------------

// Bytes that the process could ever have backed by memory: physical memory and swap, or less
// under a cgroup limit. A request for more would only be granted on paper (Linux overcommits),
// and filling it would end the process.
double memory_ceiling() noexcept;

// --- Interrupts ------------------------------------------------------------------------------

// Installed by the host: runs on the thread that called into the core and throws to stop the
// computation (the Python bindings raise the pending KeyboardInterrupt). It is never run on a
// worker thread. Without a hook, polling does nothing.
using InterruptHook = void (*)();
void set_interrupt_hook(InterruptHook hook) noexcept;

// For serial code on the calling thread, between pieces of work of a few milliseconds at most:
// runs the hook, which may throw.
void poll_interrupt();

// Spreads polls over the work of a loop: spend(w) counts w units of work (multiply-adds or
// the like) and returns true about once per kPollWork of them, some tens of microseconds,
// when the caller polls. Each thread keeps its own.
class PollBudget {
public:
    static constexpr long long kPollWork = 1 << 16;
    bool spend(long long work) noexcept {
        left_ -= work;
        if (left_ > 0) return false;
        left_ = kPollWork;
        return true;
    }

private:
    long long left_ = kPollWork;
};

// The stop flag of one parallel computation, created on the calling thread before the region.
// Inside the region every thread calls poll() between pieces of work; it never throws. On the
// calling thread it runs the hook and keeps what that throws; from then on poll() returns true
// on every thread, which then leaves its work. After the region the calling thread calls
// rethrow(), which throws what the hook threw, if anything.
class StopFlag {
public:
    bool poll() noexcept;
    bool stopped() const noexcept { return stop_.load(std::memory_order_relaxed); }
    void rethrow() const {
        if (reason_) std::rethrow_exception(reason_);
    }

private:
    std::thread::id owner_ = std::this_thread::get_id();
    std::atomic<bool> stop_{false};
    std::exception_ptr reason_;
};

}  // namespace zelk
