// The data-parallel pool: OpenMP's, created by the runtime on first use and
// sized by the number of logical CPUs unless OMP_NUM_THREADS says otherwise.
// The calling thread takes part in every loop and returns when it is done.
//
// Results never depend on the number of threads: each output element is
// produced by exactly one worker, and a body must compute an element the same
// way whichever worker runs it. Bodies must not throw and must not touch
// interpreter objects.
//
// In a process created by fork() after the parent had used the pool, OpenMP's
// runtime would wait forever for worker threads that were not copied; there
// every loop runs on the calling thread instead (same results).
#pragma once

#include <algorithm>
#include <cstddef>

namespace qor::parallel {

// False in a child forked after this process used the pool.
bool available() noexcept;

// Marks the pool as used (so that forked children fall back to sequential
// loops); called by the loops below before they start a parallel region.
void note_pool_use() noexcept;

// Workers a parallel region started now would use.
int max_threads() noexcept;

// Calls body(begin, end) for consecutive chunks [begin, end) of `chunk`
// indices covering [0, n). When n >= min_parallel (and the pool is
// available) the chunks are spread over the pool; otherwise they run in
// order on the calling thread. Pass min_parallel = 0 for loops that always
// use the pool.
template <class Body>
void for_chunks(std::size_t n, std::size_t chunk, std::size_t min_parallel, Body&& body) {
    if (n == 0) return;
    if (chunk == 0) chunk = 1;
    const std::size_t n_chunks = (n + chunk - 1) / chunk;
    if (n_chunks > 1 && n >= min_parallel && available() && max_threads() > 1) {
        note_pool_use();
        const long long count = static_cast<long long>(n_chunks);
#pragma omp parallel for schedule(dynamic, 1)
        for (long long c = 0; c < count; ++c) {
            const std::size_t begin = static_cast<std::size_t>(c) * chunk;
            body(begin, std::min(n, begin + chunk));
        }
        return;
    }
    for (std::size_t begin = 0; begin < n; begin += chunk) body(begin, std::min(n, begin + chunk));
}

// Calls body(i) for every i in [0, n); parallel under the same rule, in
// static blocks of contiguous indices.
template <class Body>
void for_each(std::size_t n, std::size_t min_parallel, Body&& body) {
    if (n == 0) return;
    if (n > 1 && n >= min_parallel && available() && max_threads() > 1) {
        note_pool_use();
        const long long count = static_cast<long long>(n);
#pragma omp parallel for schedule(static)
        for (long long i = 0; i < count; ++i) body(static_cast<std::size_t>(i));
        return;
    }
    for (std::size_t i = 0; i < n; ++i) body(i);
}

}  // namespace qor::parallel
