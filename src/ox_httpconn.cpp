// Connections and their watchdog.  The watchdog wakes once a second and
// shuts down the socket of each connection past its deadline; libmicrohttpd
// then sees the connection fail and closes it the usual way.  The list lock
// makes that safe: libmicrohttpd reports a closing connection before it
// closes the socket, and the report waits for the lock, so the watchdog
// never shuts down a descriptor that was closed and reused meanwhile.
#include "ox_httpconn.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "ox_alloc.h"
#include "ox_core.h"

#include "ox_httpfile.h"
#include "ox_httppush.h"
#include "ox_httpsrv.h"
#include "ox_httptls.h"

namespace {

// How long a body may stay incomplete after its client was seen gone.
constexpr int64_t conn_gone_grace_ms = 1000;

// Lingering: a closed connection's input is read and dropped until the
// client closes, for at most this long and this much, so the client reads
// its reply (a 413, say) instead of a reset; the bounds keep a client from
// holding a socket with it.  The watchdog ticks faster meanwhile.
constexpr int64_t conn_linger_ms = 5000;
constexpr uint64_t conn_linger_bytes = 4 * 1024 * 1024;
constexpr auto conn_linger_tick = std::chrono::milliseconds(100);

// The monotonic clock in microseconds.  Deadlines of a second or more
// make do with the time of the kernel's last tick, a few milliseconds old
// at most: on some virtual machines it is the only read of the clock that
// is no system call.  |precise| reads the clock itself, for the durations
// the access log and the metrics report.  Both are the clock
// std::chrono::steady_clock reads.
int64_t conn_now_us(bool precise = false) noexcept {
  timespec ts;
  clock_gettime(precise ? CLOCK_MONOTONIC : CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t conn_now_ms() noexcept { return conn_now_us() / 1000; }

// Whether requests on |srv| are timed: their durations are logged or
// counted.
bool conn_times_requests(const ox_httpsrv *srv) noexcept {
  return srv->log_cb != nullptr || srv->stats.on;
}

void conn_link(ox__httpconns *conns, ox_httpconn *conn) noexcept {
  std::lock_guard<std::mutex> lock(conns->mutex);
  ox__list_push(&conns->list, conn);
}

void conn_unlink(ox__httpconns *conns, ox_httpconn *conn) noexcept {
  std::lock_guard<std::mutex> lock(conns->mutex);
  ox__list_remove(&conns->list, conn);
}

// Whether |conn| spent longer in its phase than it may, and the cause to
// cut it for: the head has a fixed time, the body and the reply times that
// grow with their bytes.
bool conn_overdue(const ox_httpsrv *srv, const ox_httpconn *conn, int64_t now,
                  ox__closecause *cause) noexcept {
  // The phase first: its release store publishes the time it began.
  ox__connphase phase = conn->phase.load(std::memory_order_acquire);
  int64_t spent = now - conn->since.load(std::memory_order_relaxed);
  switch (phase) {
    case ox__connphase::head:
      *cause = ox__closecause::head_deadline;
      return srv->head_timeout != 0 &&
             spent > static_cast<int64_t>(srv->head_timeout) * 1000;
    case ox__connphase::body: {
      *cause = ox__closecause::body_deadline;
      int64_t gone = conn->gone_at.load(std::memory_order_relaxed);
      if (gone != 0 && now - gone >= conn_gone_grace_ms) return true;
      if (srv->body_timeout == 0) return false;
      uint64_t allowed = static_cast<uint64_t>(srv->body_timeout) * 1000;
      if (srv->body_min_rate != 0) {
        allowed += conn->body_bytes.load(std::memory_order_relaxed) * 1000 /
                   srv->body_min_rate;
      }
      return spent > 0 && static_cast<uint64_t>(spent) > allowed;
    }
    case ox__connphase::sending: {
      *cause = ox__closecause::send_deadline;
      if (srv->send_timeout == 0) return false;
      uint64_t allowed = static_cast<uint64_t>(srv->send_timeout) * 1000;
      if (srv->send_min_rate != 0) {
        allowed += conn->send_bytes.load(std::memory_order_relaxed) * 1000 /
                   srv->send_min_rate;
      }
      return spent > 0 && static_cast<uint64_t>(spent) > allowed;
    }
    case ox__connphase::upgraded: {
      *cause = ox__closecause::done;
      int64_t released = conn->released_at.load(std::memory_order_relaxed);
      return released != 0 && now - released >= 1000;
    }
    default:
      return false;
  }
}

// A file that went shorter than the reply announced, while it goes out by
// sendfile(); told to the error callback.  Called with the list lock held,
// which keeps the file open.
bool conn_file_cut_short(ox_httpsrv *srv, const ox_httpconn *conn) noexcept {
  if (conn->file_fd < 0) return false;
  struct stat st;
  int saved = errno;
  bool short_now = fstat(conn->file_fd, &st) == 0 &&
                   static_cast<uint64_t>(st.st_size) < conn->file_end;
  errno = saved;
  if (short_now) {
    ox__httpfile_report_short(srv, conn->file_fd,
                              static_cast<uint64_t>(st.st_size),
                              conn->file_end);
  }
  return short_now;
}

// Reads and drops what a lingering socket has; true once it is done with
// (the client closed, or a bound is reached).
bool conn_drain(ox__linger *l, int64_t now) noexcept {
  char scratch[16384];
  for (int i = 0; i < 8; i++) {
    ssize_t n = recv(l->fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) return true;
      break;
    }
    if (static_cast<uint64_t>(n) >= l->left) return true;
    l->left -= static_cast<uint64_t>(n);
  }
  return now >= l->until_ms;
}

// Drains the lingering sockets; called with the list lock held.
void conn_drain_lingering(ox__httpconns *conns, int64_t now) noexcept {
  int saved = errno;
  for (ox__linger **at = &conns->lingering; *at != nullptr;) {
    ox__linger *l = *at;
    if (!conn_drain(l, now)) {
      at = &l->next;
      continue;
    }
    *at = l->next;
    close(l->fd);
    ox_free(l);
    conns->nlingering--;
  }
  errno = saved;
}

// Keeps reading the socket |fd| that libmicrohttpd is about to close, when
// its client may still be sending.
void conn_linger(ox_httpsrv *srv, int fd) noexcept {
  ox__httpconns *conns = &srv->conns;
  auto *l = static_cast<ox__linger *>(ox_alloc(sizeof(ox__linger)));
  int saved = errno;
  int dup = l != nullptr ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  errno = saved;
  if (dup < 0) {
    ox_free(l);
    return;
  }
  *l = {nullptr, dup, conn_now_ms() + conn_linger_ms, conn_linger_bytes};
  {
    std::lock_guard<std::mutex> lock(conns->mutex);
    // As many as connections may be open, no more: beyond, a reset it is.
    if (!conns->stop && conns->nlingering < srv->con_limit) {
      l->next = conns->lingering;
      conns->lingering = l;
      conns->nlingering++;
      l = nullptr;
    }
  }
  if (l != nullptr) {
    close(l->fd);
    ox_free(l);
    return;
  }
  conns->wake.notify_all();
}

// True when the client sent bytes that nothing read.
bool conn_has_input(int fd) noexcept {
  char byte;
  int saved = errno;
  ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  errno = saved;
  return n > 0;
}

void conn_watch(ox_httpsrv *srv) noexcept {
  ox__httpconns *conns = &srv->conns;
  std::unique_lock<std::mutex> lock(conns->mutex);
  int64_t last_check = 0;
  while (!conns->stop) {
    if (conns->lingering != nullptr) {
      conns->wake.wait_for(lock, conn_linger_tick);
    } else {
      conns->wake.wait_for(lock, std::chrono::seconds(1));
    }
    int64_t now = conn_now_ms();
    conn_drain_lingering(conns, now);
    // Deadlines are checked once a second, lingering or not.
    if (now - last_check < 1000) continue;
    last_check = now;
    for (ox_httpconn *c = conns->list; c != nullptr; c = c->next) {
      if (c->cut) continue;
      ox__closecause cause;
      if (conn_file_cut_short(srv, c)) {
        cause = ox__closecause::file_short;
      } else if (!conn_overdue(srv, c, now, &cause)) {
        continue;
      }
      ox__httpconn_abort(c, cause);
    }
    // Outside the lock: the error callback may be slow, and a ping takes
    // the locks of the push streams.
    lock.unlock();
    ox__httpsrv_flush_errors(srv);
    ox__httppushes_ping(srv);
    lock.lock();
  }
}

}  // namespace

void ox__httpconn_notify(void *cls, MHD_Connection *con, void **socket_context,
                         MHD_ConnectionNotificationCode code) noexcept {
  auto *srv = static_cast<ox_httpsrv *>(cls);
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(con, MHD_CONNECTION_INFO_CONNECTION_FD);
  ox__httplistener_count(srv, info != nullptr ? info->connect_fd : -1,
                         code == MHD_CONNECTION_NOTIFY_STARTED ? 1 : -1);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto *conn = new (std::nothrow) ox_httpconn;
    if (conn == nullptr || info == nullptr) {
      // A connection no deadline would cover is not served at all.
      if (info != nullptr) shutdown(info->connect_fd, SHUT_RDWR);
      delete conn;
      return;
    }
    conn->fd = info->connect_fd;
    conn->srv = srv;
    conn->tls = srv->tls.on;
    if (conn->tls) ox__httptls_watch(con, srv->tls);
    ox__httpconn_enter(conn, ox__connphase::head);
    conn_link(&srv->conns, conn);
    *socket_context = conn;
    return;
  }
  auto *conn = static_cast<ox_httpconn *>(*socket_context);
  if (conn == nullptr) return;
  // libmicrohttpd has completed the connection's last request by now, and
  // closes the socket once this returns.
  if (!conn->cut.load(std::memory_order_relaxed) &&
      (conn->body_unread || conn_has_input(conn->fd))) {
    conn_linger(srv, conn->fd);
  }
  ox__httpstats_closed(&srv->stats,
                       conn->cause.load(std::memory_order_relaxed));
  if (conn->tls && !conn->tls_done) ox__httpstats_tls(&srv->stats, false);
  conn_unlink(&srv->conns, conn);
  *socket_context = nullptr;
  delete conn;
}

ox_httpconn *ox__httpconn_of(MHD_Connection *con) noexcept {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(con, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? static_cast<ox_httpconn *>(info->socket_context)
                         : nullptr;
}

void ox__httpconn_tls_done(MHD_Connection *con) noexcept {
  ox_httpconn *conn = ox__httpconn_of(con);
  if (conn == nullptr || conn->tls_done) return;
  conn->tls_done = true;
  ox__httpstats_tls(&conn->srv->stats, true);
}

void *ox__httpconn_target(void *cls, const char *uri,
                          MHD_Connection *con) noexcept {
  (void)cls;
  ox_httpconn *conn = ox__httpconn_of(con);
  if (conn == nullptr) return nullptr;
  conn->target_nul = false;
  conn->target_at = uri;
  size_t len = uri != nullptr ? strlen(uri) : 0;
  if (len + 1 > conn->target_room) {
    // Grown to the longest target seen on the connection, and no further:
    // the connection's memory limit bounds the request line.
    auto *room = static_cast<char *>(ox_realloc(conn->target, len + 1));
    if (room == nullptr) {
      // The request then shows an empty target; its path stays whole.
      if (conn->target != nullptr) conn->target[0] = '\0';
      return nullptr;
    }
    conn->target = room;
    conn->target_room = len + 1;
  }
  if (len != 0) memcpy(conn->target, uri, len);
  conn->target[len] = '\0';
  // libmicrohttpd hands the result to the access handler as its first
  // context: none, so that the first call still sees a new request.
  return nullptr;
}

size_t ox__httpconn_unescape(void *cls, MHD_Connection *con,
                             char *text) noexcept {
  (void)cls;
  size_t len = MHD_http_unescape(text);
  if (strlen(text) != len) {
    if (ox_httpconn *conn = ox__httpconn_of(con)) conn->target_nul = true;
  }
  return len;
}

int64_t ox__httpconn_enter(ox_httpconn *conn, ox__connphase phase) noexcept {
  int64_t now_us = conn_now_us(conn_times_requests(conn->srv));
  conn->body_bytes.store(0, std::memory_order_relaxed);
  conn->gone_at.store(0, std::memory_order_relaxed);
  conn->since.store(now_us / 1000, std::memory_order_relaxed);
  conn->phase.store(phase, std::memory_order_release);
  return now_us;
}

void ox__httpconn_sending(ox_httpconn *conn, uint64_t bytes) noexcept {
  conn->send_bytes.store(bytes, std::memory_order_relaxed);
  conn->since.store(conn_now_ms(), std::memory_order_relaxed);
  conn->phase.store(ox__connphase::sending, std::memory_order_release);
}

void ox__httpconn_released(ox_httpconn *conn) noexcept {
  conn->released_at.store(conn_now_ms(), std::memory_order_relaxed);
}

void ox__httpconn_abort(ox_httpconn *conn, ox__closecause cause) noexcept {
  conn->cut = true;
  conn->cause.store(cause, std::memory_order_relaxed);
  linger now{1, 0};
  int saved = errno;
  setsockopt(conn->fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  shutdown(conn->fd, SHUT_RDWR);
  errno = saved;
}

void ox__httpconn_watch_file(ox_httpsrv *srv, ox_httpconn *conn, int fd,
                             uint64_t end) noexcept {
  std::lock_guard<std::mutex> lock(srv->conns.mutex);
  conn->file_fd = fd;
  conn->file_end = end;
}

void ox__httpconn_unwatch_file(ox_httpsrv *srv, ox_httpconn *conn) noexcept {
  std::lock_guard<std::mutex> lock(srv->conns.mutex);
  conn->file_fd = -1;
}

void ox__httpconn_check_peer(ox_httpconn *conn) noexcept {
  if (conn->gone_at.load(std::memory_order_relaxed) != 0) return;
  char byte;
  int saved = errno;
  ssize_t n = recv(conn->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  errno = saved;
  if (n == 0) conn->gone_at.store(conn_now_ms(), std::memory_order_relaxed);
}

const char *ox__httpconn_peer(ox_httpconn *conn, MHD_Connection *con) noexcept {
  if (conn->peer[0] != '\0') return conn->peer;
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(con, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return conn->peer;
  int saved = errno;
  const sockaddr *sa = info->client_addr;
  if (sa->sa_family == AF_INET) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    inet_ntop(AF_INET, &in->sin_addr, conn->peer, sizeof conn->peer);
  } else if (sa->sa_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      // An IPv4 client of a dual-stack socket: ::ffff:a.b.c.d is a.b.c.d.
      inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], conn->peer,
                sizeof conn->peer);
    } else {
      inet_ntop(AF_INET6, &in6->sin6_addr, conn->peer, sizeof conn->peer);
    }
  }
  errno = saved;
  return conn->peer;
}

void ox__httpconn_endpoint(MHD_Connection *con, char *out,
                           size_t size) noexcept {
  out[0] = '\0';
  ox_httpconn *conn = ox__httpconn_of(con);
  if (conn == nullptr) return;
  const char *addr = ox__httpconn_peer(conn, con);
  if (*addr == '\0') return;
  // ox__httpconn_peer() found the address, so libmicrohttpd has it.
  const sockaddr *sa =
      MHD_get_connection_info(con, MHD_CONNECTION_INFO_CLIENT_ADDRESS)
          ->client_addr;
  unsigned int port =
      ntohs(sa->sa_family == AF_INET
                ? reinterpret_cast<const sockaddr_in *>(sa)->sin_port
                : reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_port);
  bool v6 = strchr(addr, ':') != nullptr;  // brackets keep its port apart
  snprintf(out, size, v6 ? "[%s]:%u" : "%s:%u", addr, port);
}

namespace {

bool conn_in_flight(const ox_httpconn *conn) noexcept {
  return conn->phase.load(std::memory_order_acquire) != ox__connphase::head;
}

void conn_shut(ox_httpconn *conn) noexcept {
  conn->cut = true;
  conn->cause.store(ox__closecause::drain, std::memory_order_relaxed);
  shutdown(conn->fd, SHUT_RDWR);
}

}  // namespace

unsigned int ox__httpconns_close_idle(ox_httpsrv *srv) noexcept {
  ox__httpconns *conns = &srv->conns;
  std::lock_guard<std::mutex> lock(conns->mutex);
  unsigned int busy = 0;
  for (ox_httpconn *c = conns->list; c != nullptr; c = c->next) {
    if (conn_in_flight(c)) {
      busy++;
    } else if (!c->cut) {
      conn_shut(c);
    }
  }
  return busy;
}

unsigned int ox__httpconns_cut(ox_httpsrv *srv) noexcept {
  ox__httpconns *conns = &srv->conns;
  std::lock_guard<std::mutex> lock(conns->mutex);
  unsigned int cut = 0;
  for (ox_httpconn *c = conns->list; c != nullptr; c = c->next) {
    if (conn_in_flight(c)) cut++;
    if (!c->cut) conn_shut(c);
  }
  return cut;
}

bool ox__httpconns_start(ox_httpsrv *srv) noexcept {
  try {
    srv->conns.watchdog = std::thread(conn_watch, srv);
  } catch (...) {
    return false;
  }
  return true;
}

void ox__httpconns_stop(ox_httpsrv *srv) noexcept {
  ox__httpconns *conns = &srv->conns;
  if (conns->watchdog.joinable()) {
    {
      std::lock_guard<std::mutex> lock(conns->mutex);
      conns->stop = true;
    }
    conns->wake.notify_all();
    conns->watchdog.join();
  }
  // No longer lingering: what is left is closed now.
  std::lock_guard<std::mutex> lock(conns->mutex);
  conns->stop = true;
  while (ox__linger *l = conns->lingering) {
    conns->lingering = l->next;
    close(l->fd);
    ox_free(l);
  }
  conns->nlingering = 0;
}
