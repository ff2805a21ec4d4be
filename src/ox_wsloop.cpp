// WebSocket event loops: epoll, edge-triggered, one thread each.
#include "ox_wsloop.h"

#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>

#include "ox_core.h"
#include "ox_httpsrv.h"
#include "ox_ws.h"

namespace {

// Bytes read from a socket at a time, into the loop's one buffer: the
// connections themselves hold nothing while idle.
constexpr size_t loop_scratch_size = 64 * 1024;

void loop_wake(ox__wsloop *loop) noexcept {
  uint64_t one = 1;
  ssize_t n = write(loop->wakefd, &one, sizeof one);
  (void)n;  // a full counter wakes the loop all the same
}

void loop_link(ox__wsloop *loop, ox_ws *ws) noexcept {
  ox__list_push(&loop->list, ws);
  ws->listed = true;
  loop->count++;
}

}  // namespace

void ox__wsloop_unlink(ox__wsloop *loop, ox_ws *ws) noexcept {
  if (!ws->listed) return;
  epoll_ctl(loop->epfd, EPOLL_CTL_DEL, ws->fd, nullptr);
  ox__list_remove(&loop->list, ws);
  ws->listed = false;
  loop->count--;
}

namespace {

void loop_bury(ox__wsloop *loop) noexcept {
  std::vector<ox_ws *> dead;
  dead.swap(loop->dead);
  for (ox_ws *ws : dead) ox_ws_unref(ws);
}

// Takes the connections handed over since the last turn.
void loop_take_incoming(ox__wsloop *loop, uint8_t *scratch, bool *draining,
                        bool *stopping) noexcept {
  std::vector<ox_ws *> incoming;
  {
    std::lock_guard<std::mutex> lock(loop->mutex);
    incoming.swap(loop->incoming);
    *draining = loop->draining;
    *stopping = loop->stopping;
  }
  int64_t now = ox__ws_now_ms();
  for (ox_ws *ws : incoming) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.ptr = ws;
    loop_link(loop, ws);
    if (epoll_ctl(loop->epfd, EPOLL_CTL_ADD, ws->fd, &ev) != 0) {
      ox__wsloop_unlink(loop, ws);
      ox__ws_finish(ws);
      continue;
    }
    ox__ws_started(ws, scratch, loop_scratch_size, now);
  }
}

// Connections whose turn ended with input left, served again before the
// loop sleeps (edge-triggered: no new edge would come for it).
void loop_serve_again(std::vector<ox_ws *> *again, uint8_t *scratch) noexcept {
  std::vector<ox_ws *> now_again;
  now_again.swap(*again);
  int64_t now = ox__ws_now_ms();
  for (ox_ws *ws : now_again) {
    if (!ws->listed) continue;
    ws->again = false;
    ox__ws_readable(ws, scratch, loop_scratch_size, now);
    if (ws->again) again->push_back(ws);
  }
}

void loop_tick(ox__wsloop *loop, int64_t now) noexcept {
  for (ox_ws *ws = loop->list; ws != nullptr;) {
    ox_ws *next = ws->next;
    ox__ws_tick(ws, now);
    ws = next;
  }
}

void loop_close_all(ox__wsloop *loop) noexcept {
  while (loop->list != nullptr) ox__ws_finish(loop->list);
  std::vector<ox_ws *> incoming;
  {
    std::lock_guard<std::mutex> lock(loop->mutex);
    incoming.swap(loop->incoming);
  }
  for (ox_ws *ws : incoming) ox__ws_finish(ws);
  loop_bury(loop);
}

void loop_run(ox__wsloop *loop) noexcept {
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow)
                                         uint8_t[loop_scratch_size]);
  if (scratch == nullptr) return;
  constexpr int batch = 256;
  epoll_event events[batch];
  std::vector<ox_ws *> again;
  bool drained = false;
  int64_t next_tick = ox__ws_now_ms() + 1000;
  for (;;) {
    int64_t now = ox__ws_now_ms();
    int timeout = again.empty() ? static_cast<int>(std::max<int64_t>(
                                      0, next_tick - now))
                                : 0;
    int n = epoll_wait(loop->epfd, events, batch, timeout);
    if (n < 0 && errno != EINTR) break;
    now = ox__ws_now_ms();
    for (int i = 0; i < n; i++) {
      if (events[i].data.ptr == nullptr) {
        uint64_t count;
        ssize_t r = read(loop->wakefd, &count, sizeof count);
        (void)r;
        bool draining = false, stopping = false;
        loop_take_incoming(loop, scratch.get(), &draining, &stopping);
        if (stopping) {
          loop_close_all(loop);
          return;
        }
        if (draining && !drained) {
          drained = true;
          // A drain may close, and unlink, the connection at hand.
          for (ox_ws *ws = loop->list; ws != nullptr;) {
            ox_ws *next = ws->next;
            ox__ws_drain(ws);
            ws = next;
          }
        }
        continue;
      }
      auto *ws = static_cast<ox_ws *>(events[i].data.ptr);
      if (!ws->listed) continue;
      if (events[i].events & EPOLLOUT) ox__ws_writable(ws);
      if (!ws->listed) continue;
      if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        if (events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
          ws->hangup = true;
        }
        ox__ws_readable(ws, scratch.get(), loop_scratch_size, now);
        if (ws->listed && ws->again) again.push_back(ws);
      }
    }
    // A connection finished in this turn may still be in |again|; the
    // listed flag is only read for records still alive: finishing keeps
    // the record until the loop's turn is over.
    loop_serve_again(&again, scratch.get());
    if (now >= next_tick) {
      loop_tick(loop, now);
      next_tick = now + 1000;
    }
    loop_bury(loop);
  }
  loop_close_all(loop);
}

}  // namespace

int64_t ox__ws_now_ms() noexcept {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int ox__wsloops_start(ox_httpsrv *srv) noexcept {
  ox__wsloops *loops = &srv->wsloops;
  // The CPUs the process may run on, not those of the machine: a server
  // pinned to one CPU gains nothing from loops that take turns on it.
  cpu_set_t set;
  unsigned int cpus = sched_getaffinity(0, sizeof set, &set) == 0
                          ? static_cast<unsigned int>(CPU_COUNT(&set))
                          : std::thread::hardware_concurrency();
  unsigned int count = std::clamp(cpus, 1u, ox__wsloops_max);
  loops->loops = new (std::nothrow) ox__wsloop[count];
  if (loops->loops == nullptr) return ENOMEM;
  for (unsigned int i = 0; i < count; i++) {
    ox__wsloop *loop = &loops->loops[i];
    loop->srv = srv;
    loop->epfd = epoll_create1(EPOLL_CLOEXEC);
    loop->wakefd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int rc = 0;
    if (loop->epfd < 0 || loop->wakefd < 0) {
      rc = errno;
    } else {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = nullptr;
      if (epoll_ctl(loop->epfd, EPOLL_CTL_ADD, loop->wakefd, &ev) != 0) {
        rc = errno;
      }
    }
    if (rc == 0) {
      try {
        loop->thread = std::thread(loop_run, loop);
      } catch (...) {
        rc = EAGAIN;
      }
    }
    loops->count = i + 1;
    if (rc != 0) {
      ox__wsloops_stop(srv);
      ox__wsloops_free(srv);
      return rc;
    }
  }
  return 0;
}

bool ox__wsloops_add(ox_httpsrv *srv, ox_ws *ws) noexcept {
  ox__wsloops *loops = &srv->wsloops;
  if (loops->count == 0) return false;
  unsigned int i =
      loops->next.fetch_add(1, std::memory_order_relaxed) % loops->count;
  ox__wsloop *loop = &loops->loops[i];
  ws->loop = loop;
  try {
    std::lock_guard<std::mutex> lock(loop->mutex);
    if (loop->stopping) return false;
    loop->incoming.push_back(ws);
  } catch (...) {
    return false;
  }
  loop_wake(loop);
  return true;
}

void ox__wsloops_drain(ox_httpsrv *srv) noexcept {
  ox__wsloops *loops = &srv->wsloops;
  for (unsigned int i = 0; i < loops->count; i++) {
    ox__wsloop *loop = &loops->loops[i];
    {
      std::lock_guard<std::mutex> lock(loop->mutex);
      loop->draining = true;
    }
    loop_wake(loop);
  }
}

void ox__wsloops_stop(ox_httpsrv *srv) noexcept {
  ox__wsloops *loops = &srv->wsloops;
  for (unsigned int i = 0; i < loops->count; i++) {
    ox__wsloop *loop = &loops->loops[i];
    {
      std::lock_guard<std::mutex> lock(loop->mutex);
      loop->stopping = true;
    }
    if (loop->wakefd >= 0) loop_wake(loop);
    if (loop->thread.joinable()) {
      loop->thread.join();
    } else {
      loop_close_all(loop);
    }
  }
}

void ox__wsloops_free(ox_httpsrv *srv) noexcept {
  ox__wsloops *loops = &srv->wsloops;
  for (unsigned int i = 0; i < loops->count; i++) {
    ox__wsloop *loop = &loops->loops[i];
    if (loop->epfd >= 0) close(loop->epfd);
    if (loop->wakefd >= 0) close(loop->wakefd);
  }
  delete[] loops->loops;
  loops->loops = nullptr;
  loops->count = 0;
}
