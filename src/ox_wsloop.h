// The event loops that serve WebSocket connections once upgraded: each an
// epoll set and one thread, with no thread per connection.  A connection
// stays on the loop it was given; everything the loop does to it runs on
// the loop's thread.
#ifndef OX_WSLOOP_H
#define OX_WSLOOP_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "ombrix.h"

struct ox_ws;

// The most loops a server runs, whatever the CPUs.
constexpr unsigned int ox__wsloops_max = 4;

struct ox__wsloop {
  ox_httpsrv *srv = nullptr;
  int epfd = -1;
  int wakefd = -1;  // an eventfd: new connections, a drain, the stop
  std::thread thread;
  std::mutex mutex;                 // guards |incoming| and the flags
  std::vector<ox_ws *> incoming;    // handed over, not yet watched
  bool draining = false;
  bool stopping = false;
  ox_ws *list = nullptr;            // the loop thread's connections
  unsigned int count = 0;
  std::vector<ox_ws *> dead;        // closed in this turn: released at its
                                    // end, as events may still name them
};

struct ox__wsloops {
  ox__wsloop *loops = nullptr;
  unsigned int count = 0;
  std::atomic<unsigned int> next{0};  // the loop the next connection gets
};

// Starts the loops of |srv|; returns 0, or an errno.
int ox__wsloops_start(ox_httpsrv *srv) noexcept;

// Hands |ws| (its socket set) to one of the loops.  False when there is
// none: the caller closes it.
bool ox__wsloops_add(ox_httpsrv *srv, ox_ws *ws) noexcept;

// Starts the close handshake of every connection with 1001.
void ox__wsloops_drain(ox_httpsrv *srv) noexcept;

// Closes every connection left (1006) and stops the loops; later
// connections are refused.  Their records stay for ox__wsloops_free(),
// once libmicrohttpd has stopped and can hand over no more.
void ox__wsloops_stop(ox_httpsrv *srv) noexcept;
void ox__wsloops_free(ox_httpsrv *srv) noexcept;

// Takes |ws| off its loop's list and epoll set (on the loop's thread).
void ox__wsloop_unlink(ox__wsloop *loop, ox_ws *ws) noexcept;

// Monotonic milliseconds.
int64_t ox__ws_now_ms() noexcept;

#endif  // OX_WSLOOP_H
