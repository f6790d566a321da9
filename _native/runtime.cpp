#include "runtime.hpp"

#include <pthread.h>

namespace zelk {

namespace {

std::atomic<bool> forked{false};
std::atomic<InterruptHook> hook{nullptr};

void after_fork_in_child() { forked.store(true, std::memory_order_relaxed); }

// Registered when the core is loaded, before any fork can concern it.
const bool registered = [] { return pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0; }();

}  // namespace

bool threads_allowed() noexcept {
    (void)registered;
    return !forked.load(std::memory_order_relaxed);
}

void set_interrupt_hook(InterruptHook h) noexcept { hook.store(h, std::memory_order_relaxed); }

void poll_interrupt() {
    if (const InterruptHook h = hook.load(std::memory_order_relaxed)) h();
}

bool StopFlag::poll() noexcept {
    if (stopped()) return true;
    if (std::this_thread::get_id() == owner_) {
        try {
            poll_interrupt();
        } catch (...) {
            reason_ = std::current_exception();
            stop_.store(true, std::memory_order_relaxed);
        }
    }
    return stopped();
}

}  // namespace zelk
