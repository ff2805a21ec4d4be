// The isolation pool.  Jobs are requests, linked through their
// isolated_next field, so queueing one allocates nothing.
#include "ox_httppool.h"

#include <cerrno>
#include <cstdint>
#include <thread>

#include "ox_httpreq.h"

namespace {

// A worker: takes jobs until the pool stops and its queue is empty.
void pool_work(ox__httppool *pool) noexcept {
  std::unique_lock<std::mutex> lock(pool->mutex);
  for (;;) {
    if (pool->head == nullptr) {
      if (pool->stopping) break;
      pool->idle++;
      pool->work.wait(lock);
      pool->idle--;
      continue;
    }
    ox_httpreq *req = pool->head;
    pool->head = req->isolated_next;
    if (pool->head == nullptr) pool->tail = nullptr;
    pool->queued--;
    lock.unlock();
    ox__httpreq_run_isolated(req);
    lock.lock();
  }
  // Notify under the lock: once the lock is released the waiter may free
  // the server, and this thread touches it no more.
  pool->threads--;
  pool->done.notify_all();
}

// Starts one more worker when none is idle and the limit allows.  Called
// with the pool's lock held.
void pool_grow(ox__httppool *pool) noexcept {
  if (pool->idle >= pool->queued || pool->threads >= pool->max_threads) {
    return;
  }
  try {
    std::thread(pool_work, pool).detach();
    pool->threads++;
  } catch (...) {
    // Fewer workers: the queue waits for the ones there are.
  }
}

}  // namespace

int ox__httppool_add(ox__httppool *pool, ox_httpreq *req) noexcept {
  std::lock_guard<std::mutex> lock(pool->mutex);
  if (pool->stopping) return ESHUTDOWN;
  // Jobs running and jobs waiting, against the threads and the queue.
  uint64_t jobs = pool->threads - pool->idle + pool->queued;
  if (jobs >= static_cast<uint64_t>(pool->max_threads) + pool->max_queue) {
    return EAGAIN;
  }
  req->isolated_next = nullptr;
  if (pool->tail != nullptr) {
    pool->tail->isolated_next = req;
  } else {
    pool->head = req;
  }
  pool->tail = req;
  pool->queued++;
  pool_grow(pool);
  if (pool->threads == 0) {
    // Not a single worker: the caller runs the job itself.
    pool->head = pool->tail = nullptr;
    pool->queued = 0;
    return ENOMEM;
  }
  pool->work.notify_one();
  return 0;
}

void ox__httppool_stop(ox__httppool *pool) noexcept {
  std::unique_lock<std::mutex> lock(pool->mutex);
  pool->stopping = true;
  pool->work.notify_all();
  pool->done.wait(lock, [pool] { return pool->threads == 0; });
}
