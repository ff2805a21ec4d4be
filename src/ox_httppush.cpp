// Push streams.  Locks, outermost first: the server's list, a stream's
// mutex, then libmicrohttpd's own (taken by MHD_suspend_connection() and
// MHD_resume_connection()).  The connection is set aside and brought back
// only under the stream's mutex: a resume can then never come before its
// suspend, nor after the connection was let go of.
#include "ox_httppush.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_httpconn.h"
#include "ox_httpsrv.h"

namespace {

// A queue that went this large gives its block back once it is empty, so
// that thousands of quiet streams hold no memory for an old burst.
constexpr size_t push_keep_room = 16 * 1024;

int64_t push_now_ms() noexcept {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  return duration_cast<milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Appends the |size| bytes at |data| to the queue.  Returns 0 or ENOMEM;
// on failure the queue is as it was.
int push_queue_add(ox_push *p, const void *data, size_t size) noexcept {
  if (size > SIZE_MAX / 2 - p->queue_len) return ENOMEM;
  size_t need = p->queue_len + size;
  if (p->queue_at + need > p->queue_room) {
    if (need > p->queue_room) {
      size_t room = std::max({need, p->queue_room * 2, size_t{1024}});
      auto *grown = static_cast<char *>(ox_realloc(p->queue, room));
      if (grown == nullptr) return ENOMEM;
      p->queue = grown;
      p->queue_room = room;
    }
    memmove(p->queue, p->queue + p->queue_at, p->queue_len);
    p->queue_at = 0;
  }
  memcpy(p->queue + p->queue_at + p->queue_len, data, size);
  p->queue_len += size;
  return 0;
}

// True when |size| more bytes would take the queue past its limit.  A
// write on an empty queue is always taken, however large: the limit is on
// what a client leaves untaken, not on what the program writes at once.
bool push_queue_full(const ox_push *p, size_t size) noexcept {
  if (p->queue_len == 0) return false;
  return size > p->queue_max || p->queue_len > p->queue_max - size;
}

// Moves at most |size| queued bytes into |buf|; returns how many.
size_t push_queue_take(ox_push *p, char *buf, size_t size) noexcept {
  size_t n = std::min(size, p->queue_len);
  memcpy(buf, p->queue + p->queue_at, n);
  p->queue_at += n;
  p->queue_len -= n;
  if (p->queue_len == 0) {
    p->queue_at = 0;
    if (p->queue_room > push_keep_room) {
      ox_free(p->queue);
      p->queue = nullptr;
      p->queue_room = 0;
    }
  }
  return n;
}

// Tells the reader there is something to do: a connection set aside is
// brought back, a reader waiting on its thread woken.  Called under the
// stream's mutex, while the connection holds the stream.
void push_wake(ox_push *p) noexcept {
  if (p->threaded) {
    p->wake.notify_all();
  } else if (p->suspended) {
    p->suspended = false;
    MHD_resume_connection(p->con);
  }
}

// Cuts the stream for a client too slow to take what was written: the
// body breaks off, and the socket is shut down with a reset, since the
// reader may not run again while the client takes nothing.
void push_cut_slow(ox_push *p) noexcept {
  p->state = ox__pushstate::cut;
  ox__httpconn_abort(p->conn, ox__closecause::send_deadline);
  push_wake(p);
}

void push_free(ox_push *p) noexcept {
  ox_free(p->queue);
  ox_free(p->ping);
  delete p;
}

void push_unref(ox_push *p) noexcept {
  if (p->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) push_free(p);
}

void push_link(ox__httppushes *pushes, ox_push *p) noexcept {
  ox__list_push(&pushes->list, p);
}

void push_unlink(ox__httppushes *pushes, ox_push *p) noexcept {
  std::lock_guard<std::mutex> lock(pushes->mutex);
  ox__list_remove(&pushes->list, p);
}

// Runs the gone callback of |p| once, outside its mutex (|lock|, held on
// entry and on return), noting the thread, so that ox_push_end() from
// another thread waits for it and one from the callback itself does not.
void push_tell_gone(ox_push *p, std::unique_lock<std::mutex> &lock) noexcept {
  if (!p->gone || p->gone_told || p->released || p->gone_cb == nullptr) {
    return;
  }
  p->gone_told = true;
  p->gone_thread = std::this_thread::get_id();
  void (*cb)(void *) = p->gone_cb;
  void *cls = p->gone_cls;
  lock.unlock();
  cb(cls);
  lock.lock();
  p->gone_thread = std::thread::id();
  p->told.notify_all();
}

// With nothing queued on an open stream: sets the connection aside, or on
// a thread of its own waits for a write until the ping interval is over.
// Returns true when the reader should look at the stream again.
bool push_idle(ox_push *p, std::unique_lock<std::mutex> &lock) noexcept {
  ox__httpconn_enter(p->conn, ox__connphase::busy);
  if (!p->threaded) {
    // Allowed from a reader.  The 0 returned then marks the connection as
    // waiting for the program, which would make the polling thread spin;
    // suspended, it is out of the event loop, and costs one more pass of
    // it at most.
    p->suspended = true;
    MHD_suspend_connection(p->con);
    return false;
  }
  if (!p->untimed) {
    // libmicrohttpd would count a quiet stream as an idle connection; a
    // client that stops reading is the send deadline's.
    p->untimed = true;
    MHD_set_connection_option(p->con, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
  }
  // Bounded, so that libmicrohttpd looks at the socket now and then and
  // sees a client that left even when the stream has no ping.
  return p->wake.wait_for(lock, std::chrono::milliseconds(p->ping_ms), [p] {
    return p->queue_len != 0 || p->state != ox__pushstate::open;
  });
}

}  // namespace

int ox__httppush_new(ox_httpsrv *srv, MHD_Connection *con, ox_httpconn *conn,
                     const char *ping, ox_push **out) noexcept {
  auto *p = new (std::nothrow) ox_push;
  if (p == nullptr) return ENOMEM;
  if (ping != nullptr && *ping != '\0') {
    p->ping = ox__strdup(ping);
    if (p->ping == nullptr) {
      delete p;
      return ENOMEM;
    }
    p->ping_len = strlen(ping);
  }
  p->srv = srv;
  p->con = con;
  p->conn = conn;
  p->threaded = srv->conn_threads;
  p->queue_max = srv->ws.queue_max;
  p->when_full = srv->ws.when_full;
  p->ping_ms = static_cast<int64_t>(srv->ws.ping) * 1000;
  p->written_ms = push_now_ms();
  ox__httppushes *pushes = &srv->pushes;
  std::lock_guard<std::mutex> lock(pushes->mutex);
  if (pushes->closed) p->state = ox__pushstate::ending;
  push_link(pushes, p);
  *out = p;
  return 0;
}

ssize_t ox__httppush_read(void *cls, uint64_t pos, char *buf,
                          size_t size) noexcept {
  (void)pos;
  auto *p = static_cast<ox_push *>(cls);
  std::unique_lock<std::mutex> lock(p->mutex);
  for (;;) {
    if (p->queue_len != 0) {
      return static_cast<ssize_t>(push_queue_take(p, buf, size));
    }
    switch (p->state) {
      case ox__pushstate::open:
        break;
      case ox__pushstate::ending:
        return MHD_CONTENT_READER_END_OF_STREAM;
      default:
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    // Set aside, the reader runs again once the connection is brought
    // back; on a thread of its own, the wait was here, and libmicrohttpd
    // calls again at once.
    if (!push_idle(p, lock)) return 0;
  }
}

void ox__httppush_detach(void *cls) noexcept {
  auto *p = static_cast<ox_push *>(cls);
  push_unlink(&p->srv->pushes, p);
  {
    std::unique_lock<std::mutex> lock(p->mutex);
    p->state = ox__pushstate::detached;
    p->suspended = false;
    p->srv = nullptr;
    p->con = nullptr;
    p->conn = nullptr;
    // Nothing queued goes out any more.
    ox_free(p->queue);
    p->queue = nullptr;
    p->queue_at = p->queue_len = p->queue_room = 0;
    p->gone = !p->released;
    push_tell_gone(p, lock);
  }
  push_unref(p);
}

void ox__httppushes_ping(ox_httpsrv *srv) noexcept {
  ox__httppushes *pushes = &srv->pushes;
  int64_t now = push_now_ms();
  std::lock_guard<std::mutex> list_lock(pushes->mutex);
  for (ox_push *p = pushes->list; p != nullptr; p = p->next) {
    std::lock_guard<std::mutex> lock(p->mutex);
    // A stream with bytes queued has a client yet to take them: a ping
    // would tell nothing more.
    if (p->ping == nullptr || p->state != ox__pushstate::open ||
        p->queue_len != 0 || now - p->written_ms < p->ping_ms) {
      continue;
    }
    if (push_queue_add(p, p->ping, p->ping_len) != 0) continue;
    p->written_ms = now;
    push_wake(p);
  }
}

void ox__httppushes_close(ox_httpsrv *srv) noexcept {
  ox__httppushes *pushes = &srv->pushes;
  std::lock_guard<std::mutex> list_lock(pushes->mutex);
  pushes->closed = true;
  for (ox_push *p = pushes->list; p != nullptr; p = p->next) {
    std::lock_guard<std::mutex> lock(p->mutex);
    if (p->state != ox__pushstate::open) continue;
    p->state = ox__pushstate::ending;
    push_wake(p);
  }
}

int ox_push_write(ox_push *push, const void *data, size_t size) noexcept {
  if (push == nullptr || (data == nullptr && size != 0)) return EINVAL;
  ox__errno_guard keep;
  std::lock_guard<std::mutex> lock(push->mutex);
  if (push->state != ox__pushstate::open) return EPIPE;
  if (size == 0) return 0;
  if (push_queue_full(push, size)) {
    if (push->when_full == OX_WSFULL_REFUSE) return ENOBUFS;
    push_cut_slow(push);
    return EPIPE;
  }
  if (int rc = push_queue_add(push, data, size); rc != 0) return rc;
  push->written_ms = push_now_ms();
  push_wake(push);
  return 0;
}

int ox_push_on_gone(ox_push *push, void (*cb)(void *cls), void *cls) noexcept {
  if (push == nullptr) return EINVAL;
  // A reference of the call's own: a callback run at once may end the
  // stream, whose connection may have let go of it already.
  push->refs.fetch_add(1, std::memory_order_relaxed);
  {
    std::unique_lock<std::mutex> lock(push->mutex);
    push->gone_cb = cb;
    push->gone_cls = cls;
    push_tell_gone(push, lock);
  }
  push_unref(push);
  return 0;
}

void ox_push_end(ox_push *push) noexcept {
  if (push == nullptr) return;
  {
    std::unique_lock<std::mutex> lock(push->mutex);
    push->released = true;
    // The program may release what its gone callback uses once this
    // returns: a callback running on another thread is waited for.
    push->told.wait(lock, [push] {
      return push->gone_thread == std::thread::id() ||
             push->gone_thread == std::this_thread::get_id();
    });
    if (push->state == ox__pushstate::open) {
      push->state = ox__pushstate::ending;
      push_wake(push);
    }
  }
  push_unref(push);
}
