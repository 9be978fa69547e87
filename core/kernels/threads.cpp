// SPDX-License-Identifier: BSD-3-Clause
//
// The core's one thread policy: how many threads a region gets (the
// estimator's regions by their work, each step of the fixed path by its own
// rule), the guard that keeps a forked child on one thread, the helper thread
// that opens the center update's fixed team, and every change to OpenBLAS's
// thread count. Nothing else in the core sizes a team or calls
// openblas_set_num_threads.
#include <pthread.h>
#include <signal.h>

#include <omp.h>

#include <atomic>
#include <new>

#include "kernels/blas.h"
#include "common.h"

using namespace tavrine;

namespace {

// Set from any calling thread, so atomic; relaxed order suffices, fork
// itself orders the child's read.
std::atomic<bool> pool_started{false};  // this process has run a region of several threads
std::atomic<bool> pool_lost{false};     // ... and then forked: this is the child
// A team larger than the processor count has run: libgomp keeps its threads,
// and while they exist every team's idle threads sleep almost at once
// instead of spinning, so each region pays to wake them.
std::atomic<bool> pool_crowded{false};

struct fork_watch {
    fork_watch() {
        pthread_atfork(nullptr, nullptr, [] {
            pool_lost.store(pool_started.load(std::memory_order_relaxed),
                            std::memory_order_relaxed);
        });
    }
} watch;

}  // namespace

int tavrine::team_cap(int threads) {
    if (pool_lost.load(std::memory_order_relaxed)) return 1;
    if (threads > 1) pool_started.store(true, std::memory_order_relaxed);
    return threads;
}

int tavrine::team_size(int limit) {
    const int runtime = omp_get_max_threads();
    return team_cap(runtime < limit ? runtime : (limit > 0 ? limit : 1));
}

int tavrine::team_for_work(int n_threads, int64_t work, int64_t per_thread) {
    if (pool_crowded.load(std::memory_order_relaxed) && per_thread < kWorkPerThread)
        per_thread = kWorkPerThread;
    const int asked = n_threads > 0 ? n_threads : omp_get_max_threads();
    const int64_t by_work = work / per_thread;
    return team_cap(int(by_work < 1 ? 1 : by_work < asked ? by_work : asked));
}

int tavrine::team_for_blocks(int n_threads, int64_t work, int n_blocks) {
    const int team = team_for_work(n_threads, work);
    return n_blocks < team ? n_blocks : team;
}

int tavrine::assign_team(int n_chunks) {
    return team_size(n_chunks < kSlices ? n_chunks : kSlices);
}

int tavrine::center_team() {
    if (kSlices > omp_get_num_procs()) pool_crowded.store(true, std::memory_order_relaxed);
    return team_cap(kSlices);
}

int tavrine::refresh_team(int center_chunks) { return team_size(center_chunks); }

void tavrine::set_blas_threads(int n) { openblas_set_num_threads(n); }

namespace {

// Never freed: it must outlive every static destructor that might still run
// a clustering, and its thread sleeps in it until the process ends.
struct team_master {
    pthread_mutex_t callers = PTHREAD_MUTEX_INITIALIZER;  // one job at a time
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
    void (*fn)(void *) = nullptr;
    void *arg = nullptr;
    bool pending = false;
};

team_master *master = nullptr;
pthread_once_t master_once = PTHREAD_ONCE_INIT;

void *serve(void *) {
    pthread_mutex_lock(&master->lock);
    for (;;) {
        while (!master->pending) pthread_cond_wait(&master->wake, &master->lock);
        pthread_mutex_unlock(&master->lock);
        master->fn(master->arg);
        pthread_mutex_lock(&master->lock);
        master->pending = false;
        pthread_cond_broadcast(&master->wake);
    }
    return nullptr;
}

void start_master() {
    auto *m = new (std::nothrow) team_master;
    if (m == nullptr) return;
    master = m;
    // The master and the team it starts block every signal, so signals keep
    // reaching the threads of the program that expect them.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    const int failed = pthread_create(&thread, nullptr, serve, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (failed) {
        master = nullptr;
        delete m;
        return;
    }
    pthread_detach(thread);
}

}  // namespace

void tavrine::on_team_master(void (*fn)(void *), void *arg) {
    const bool lost = pool_lost.load(std::memory_order_relaxed);
    if (!lost) pthread_once(&master_once, start_master);
    if (lost || master == nullptr) {
        fn(arg);
        return;
    }
    pool_started.store(true, std::memory_order_relaxed);
    pthread_mutex_lock(&master->callers);
    pthread_mutex_lock(&master->lock);
    master->fn = fn;
    master->arg = arg;
    master->pending = true;
    pthread_cond_broadcast(&master->wake);
    while (master->pending) pthread_cond_wait(&master->wake, &master->lock);
    pthread_mutex_unlock(&master->lock);
    pthread_mutex_unlock(&master->callers);
}
