#include "runtime.hpp"

#include <immintrin.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <limits>
#include <mutex>
#include <system_error>

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

// --- Helper threads ----------------------------------------------------------------------------

namespace {

// How long a helper that has left a job spins for the next one before it sleeps: long enough to
// catch the next phase of the same call or the next call of a loop, short beside what a busy
// machine's other work needs. While the job it left is still open (the caller finishing its last
// piece) the helper only yields, for up to kHelperLinger, and the spin counts from the job's end.
constexpr auto kHelperSpin = std::chrono::microseconds(100);
constexpr auto kHelperLinger = std::chrono::milliseconds(2);

// The helpers and the job they may join. Made once and never destroyed: helpers sleep in it for
// the life of the process, also through its exit.
struct Pool {
    std::mutex m;
    std::condition_variable posted_cv, left_cv;
    const std::function<void(int)>* job = nullptr;  // the open job, or none
    std::uint64_t job_id = 0;                         // of the last job posted
    int open_slots = 0;                               // helpers that may still join it
    int next_slot = 1;
    int inside = 0;                                   // helpers inside a job's body
    int started = 0;
    std::atomic<std::uint64_t> posted{0};             // job_id, for spinning helpers
    std::atomic<bool> open{false};                    // whether a job is open
};

Pool& pool() {
    static Pool* const p = new Pool;
    return *p;
}

void helper_main(Pool& p) {
    std::uint64_t last = 0;  // the last job this helper joined
    std::unique_lock<std::mutex> lock(p.m);
    for (;;) {
        if (p.job != nullptr && p.open_slots > 0 && p.job_id != last) {
            const auto* job = p.job;
            const int slot = p.next_slot++;
            --p.open_slots;
            ++p.inside;
            last = p.job_id;
            lock.unlock();
            (*job)(slot);
            lock.lock();
            if (--p.inside == 0) p.left_cv.notify_all();
            continue;
        }
        const std::uint64_t seen = p.job_id;
        lock.unlock();
        auto now = std::chrono::steady_clock::now();
        const auto linger_until = now + kHelperLinger;
        while (p.open.load(std::memory_order_acquire) && p.posted.load(std::memory_order_acquire) == seen &&
               (now = std::chrono::steady_clock::now()) < linger_until)
            std::this_thread::yield();
        const auto until = now + kHelperSpin;
        while (p.posted.load(std::memory_order_acquire) == seen) {
            for (int i = 0; i < 64; ++i) _mm_pause();
            if (std::chrono::steady_clock::now() >= until) break;
        }
        lock.lock();
        p.posted_cv.wait(lock, [&] { return p.job_id != seen; });
    }
}

// Starts helpers until `want` run; fewer if the system refuses threads. Signals go to the
// interpreter's threads, never to a helper.
void start_helpers(Pool& p, int want) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    for (; p.started < want; ++p.started) {
        try {
            std::thread(helper_main, std::ref(p)).detach();
        } catch (const std::system_error&) {
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout, nullptr, 0);
}

}  // namespace

void share_work(int helpers, const std::function<void(int)>& body) {
    if (helpers <= 0 || !threads_allowed()) {
        body(0);
        return;
    }
    Pool& p = pool();
    {
        std::unique_lock<std::mutex> lock(p.m);
        if (p.job != nullptr) {  // another caller's job: run alone
            lock.unlock();
            body(0);
            return;
        }
        start_helpers(p, helpers);
        p.job = &body;
        p.open_slots = std::min(helpers, p.started);
        p.next_slot = 1;
        p.open.store(true, std::memory_order_release);
        p.posted.store(++p.job_id, std::memory_order_release);
    }
    p.posted_cv.notify_all();
    body(0);
    std::unique_lock<std::mutex> lock(p.m);
    p.job = nullptr;  // no helper joins from now on
    p.open_slots = 0;
    p.open.store(false, std::memory_order_release);
    p.left_cv.wait(lock, [&] { return p.inside == 0; });
}

void Event::notify() noexcept {
    seq_.fetch_add(1);  // sequentially consistent with the waiter's two steps below
    if (waiters_.load() > 0) futex(seq_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

void Event::wait(std::uint32_t seen, long timeout_us) noexcept {
    for (int i = 0; i < 256; ++i) {
        if (seq_.load(std::memory_order_acquire) != seen) return;
        _mm_pause();
    }
    waiters_.fetch_add(1);
    const timespec timeout{timeout_us / 1000000, (timeout_us % 1000000) * 1000};
    if (seq_.load() == seen) futex(seq_, FUTEX_WAIT_PRIVATE, seen, &timeout);
    waiters_.fetch_sub(1, std::memory_order_acq_rel);
}

// --- Memory ----------------------------------------------------------------------------------

double memory_ceiling() noexcept {
    double bytes = 0.0;
    struct sysinfo info {};
    if (sysinfo(&info) == 0) {
        bytes = (static_cast<double>(info.totalram) + static_cast<double>(info.totalswap)) *
                static_cast<double>(info.mem_unit);
    }
    if (std::FILE* f = std::fopen("/sys/fs/cgroup/memory.max", "r")) {  // "max" when unlimited
        unsigned long long limit = 0;
        if (std::fscanf(f, "%llu", &limit) == 1 && limit > 0) {
            const double cg = static_cast<double>(limit);
            bytes = bytes > 0.0 ? std::min(bytes, cg) : cg;
        }
        std::fclose(f);
    }
    return bytes > 0.0 ? bytes : std::numeric_limits<double>::infinity();
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
