#include "qor/engine/parallel.hpp"

#include <omp.h>
#include <pthread.h>

#include <atomic>

namespace qor::parallel {
namespace {

std::atomic<bool> g_in_forked_child{false};

void on_fork_child() noexcept { g_in_forked_child.store(true, std::memory_order_relaxed); }

}  // namespace

bool available() noexcept { return !g_in_forked_child.load(std::memory_order_relaxed); }

void note_pool_use() noexcept {
    // Registered once, on the first parallel loop: a child forked before the
    // pool ever ran keeps full use of OpenMP.
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, &on_fork_child);
        return true;
    }();
    (void)registered;
}

int max_threads() noexcept { return available() ? omp_get_max_threads() : 1; }

}  // namespace qor::parallel
