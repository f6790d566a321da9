// Work split into independent pieces for OpenMP threads, with Ctrl-C polled between pieces:
// the pattern of the Gram and QR passes of the linear fits and of the robust kernels.
#pragma once

#include "common.hpp"
#include "runtime.hpp"

#include <exception>

#include <omp.h>

namespace zelk {

// Whether work of `madds` multiply-adds pays for a second thread: some 10 ms of it at least, so
// that a second core that is busy elsewhere, and joins late, costs little beside the work.
inline bool worth_threads(double madds) { return madds >= 1.0e8 && omp_get_max_threads() > 1; }

// Runs body(s, flag) for s = 0 .. count-1, on several threads when `parallel` (and threads may
// run here), one piece at a time (dynamic schedule) so that a late core costs little. Every
// piece writes only its own results, so the outcome never depends on which thread ran it. Stops
// early when the host asks for it, and rethrows a piece's failure on the calling thread.
template <typename Body>
void for_each_piece(Index count, bool parallel, Body body) {
    StopFlag flag;
    std::exception_ptr failure;
#pragma omp parallel for schedule(dynamic, 1) if (zelk::threads_allowed() && parallel)
    for (Index s = 0; s < count; ++s) {
        if (flag.poll()) continue;
        try {
            body(s, flag);
        } catch (...) {
#pragma omp critical(zelk_piece_failure)
            if (!failure) failure = std::current_exception();
        }
    }
    flag.rethrow();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace zelk
