// The isolation pool: threads that finish isolated requests
// (ox_httpreq_isolate()), where a callback may block.  Threads start as
// jobs need them, up to a limit, with a bounded queue of jobs waiting.
#ifndef OX_HTTPPOOL_H
#define OX_HTTPPOOL_H

#include <condition_variable>
#include <mutex>

#include "ombrix.h"

struct ox__httppool {
  std::mutex mutex;
  std::condition_variable work;  // a job was queued, or the pool stops
  std::condition_variable done;  // a worker ended
  ox_httpreq *head = nullptr;    // jobs waiting, oldest first
  ox_httpreq *tail = nullptr;
  unsigned int queued = 0;       // jobs waiting
  unsigned int threads = 0;      // workers alive
  unsigned int idle = 0;         // workers waiting for a job
  bool stopping = false;         // no job is taken in once set
  unsigned int max_threads = 64; // set before serving
  unsigned int max_queue = 256;
};

// Hands |req| to the pool, whose worker runs its isolated callback and
// resumes its connection.  Returns 0, EAGAIN when the workers and the
// queue are full, or ESHUTDOWN (the pool stops) or ENOMEM (no worker could
// be started), when the caller runs it itself.
int ox__httppool_add(ox__httppool *pool, ox_httpreq *req) noexcept;

// Lets the workers finish every job and waits until they are gone.
void ox__httppool_stop(ox__httppool *pool) noexcept;

#endif  // OX_HTTPPOOL_H
