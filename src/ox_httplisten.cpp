// The listener: one socket, one thread that accepts and hands each client
// to libmicrohttpd, which then serves it on its own threads.
#include "ox_httplisten.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "ox_httpsrv.h"

namespace {

// Clients taken per wake-up before the stop flag is looked at again.
constexpr int listen_burst = 64;

// How long accepting pauses when the process is out of descriptors or
// memory: a busy loop would not make any come back sooner.
constexpr int listen_backoff_ms = 100;

// True when this machine can make IPv6 sockets at all; a kernel without
// IPv6 refuses them, and the server then listens on IPv4 alone.
bool listen_has_ipv6() noexcept {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// The addresses to bind: those set, or every address of both families on
// one socket (IPv4 alone without IPv6).
unsigned int listen_addresses(const ox_httpsrv *srv,
                              sockaddr_storage *out) noexcept {
  if (srv->bind_count != 0) {
    for (unsigned int i = 0; i < srv->bind_count; i++) {
      out[i] = srv->bind_addrs[i];
    }
    return srv->bind_count;
  }
  out[0] = sockaddr_storage{};
  out[0].ss_family = listen_has_ipv6() ? AF_INET6 : AF_INET;
  return 1;
}

// Sets the port of |ss| and returns its length.
socklen_t listen_with_port(sockaddr_storage *ss, uint16_t port) noexcept {
  if (ss->ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in *>(ss)->sin_port = htons(port);
    return sizeof(sockaddr_in);
  }
  reinterpret_cast<sockaddr_in6 *>(ss)->sin6_port = htons(port);
  return sizeof(sockaddr_in6);
}

int listen_setopt(int fd, int level, int name, int value) noexcept {
  return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

uint16_t listen_port_of(const sockaddr_storage *ss) noexcept {
  if (ss->ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in *>(ss)->sin_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in6 *>(ss)->sin6_port);
}

// Opens a listening socket at |*ss| (its port set); |dual|: IPv4 clients
// too, as mapped addresses.  Returns 0 or an errno value; |*ss| is then
// the address bound, its port the one the system picked for port 0.
int listen_socket(const ox_httpsrv *srv, sockaddr_storage *ss, bool dual,
                  int *out) noexcept {
  socklen_t len =
      ss->ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  int fd = socket(ss->ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int rc = listen_setopt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  if (rc == 0 && srv->reuse_port) {
    rc = listen_setopt(fd, SOL_SOCKET, SO_REUSEPORT, 1);
  }
  // An IPv6 address set on purpose takes IPv6 clients alone.
  if (rc == 0 && ss->ss_family == AF_INET6) {
    rc = listen_setopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, dual ? 0 : 1);
  }
  if (rc == 0 && (bind(fd, reinterpret_cast<sockaddr *>(ss), len) != 0 ||
                  listen(fd, SOMAXCONN) != 0 ||
                  getsockname(fd, reinterpret_cast<sockaddr *>(ss), &len) !=
                      0)) {
    rc = errno;
  }
  if (rc != 0) {
    close(fd);
    return rc;
  }
  *out = fd;
  return 0;
}

// Whether an address of a name's several may be left out: this machine
// has no IPv6, or the address is not one of its own.
bool listen_may_skip(int rc) noexcept {
  return rc == EAFNOSUPPORT || rc == EADDRNOTAVAIL;
}

bool listen_has_room(const ox_httpsrv *srv) noexcept {
  return srv->listener.open.load() < srv->con_limit;
}

// The pool thread with the fewest connections; |first| on a tie.
unsigned int listen_least_busy(const ox__httplistener *l,
                               unsigned int first) noexcept {
  unsigned int best = first, fewest = l->per_thread[first].load();
  for (unsigned int i = 1; i < l->threads && fewest != 0; i++) {
    unsigned int t = (first + i) % l->threads;
    unsigned int n = l->per_thread[t].load();
    if (n < fewest) {
      best = t;
      fewest = n;
    }
  }
  return best;
}

// libmicrohttpd hands a client to the pool thread its socket's number
// picks (number % threads, while that thread has room), so a client may
// join a thread whose handler blocks while another thread idles.  When
// that thread serves more connections than another, the socket is
// renumbered for the least busy one.  Best effort: it stays as it is when
// no such number is free among the next few.
int listen_steer(const ox__httplistener *l, int fd) noexcept {
  if (!l->per_thread) return fd;
  unsigned int threads = l->threads;
  unsigned int want =
      listen_least_busy(l, static_cast<unsigned int>(fd) % threads);
  auto gap = [&](int n) {
    return static_cast<int>(
        (want + threads - static_cast<unsigned int>(n) % threads) % threads);
  };
  int base = fd;
  for (int tries = 0; tries < 4 && gap(base) != 0; tries++) {
    base += gap(base);
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, base);
    if (copy < 0) return fd;
    if (gap(copy) == 0) {
      close(fd);
      return copy;
    }
    close(copy);  // |base| was taken; look above the number it got
    base = copy;
  }
  return fd;
}

// Accepts the clients waiting, as long as there is room for them.  Returns
// false when accepting should pause a while (no descriptor, no memory).
bool listen_accept_some(ox_httpsrv *srv, int listen_fd) noexcept {
  for (int i = 0; i < listen_burst && listen_has_room(srv); i++) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    int fd = accept4(listen_fd, reinterpret_cast<sockaddr *>(&addr), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      switch (errno) {
        case EAGAIN:
          return true;
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
          continue;
        default:
          ox__httpsrv_error(srv, "cannot accept: %s", strerror(errno));
          return false;
      }
    }
    // libmicrohttpd closes the socket itself when it refuses it: its own
    // limit has room above the listener's, so a refusal is the per-address
    // limit's (ENFILE) or a shortage.
    srv->stats.accepted.fetch_add(1, std::memory_order_relaxed);
    fd = listen_steer(&srv->listener, fd);
    if (MHD_add_connection(srv->daemon, fd, reinterpret_cast<sockaddr *>(&addr),
                           len) != MHD_YES &&
        errno == ENFILE) {
      ox__httpstats_refused(&srv->stats, ox__refusal::per_address);
    }
  }
  return true;
}

void listen_loop(ox_httpsrv *srv) noexcept {
  ox__httplistener *l = &srv->listener;
  bool pause = false;
  pollfd p[1 + ox__httplistener_max];
  nfds_t n = 1 + l->count;
  while (!l->stop.load()) {
    // At the limit, clients wait in the backlog until a connection closes;
    // the closer wakes us when it sees |waiting| (both sides use
    // sequentially consistent order, so one of them sees the other).
    l->waiting.store(true);
    bool room = listen_has_room(srv);
    if (room) l->waiting.store(false);
    p[0] = {l->wake, POLLIN, 0};
    for (unsigned int i = 0; i < l->count; i++) {
      p[1 + i] = {l->fds[i], static_cast<short>(room && !pause ? POLLIN : 0),
                  0};
    }
    int ready = poll(p, n, pause ? listen_backoff_ms : -1);
    pause = false;
    if (ready < 0) continue;
    if ((p[0].revents & POLLIN) != 0) {
      uint64_t count;
      (void)read(l->wake, &count, sizeof count);
    }
    for (unsigned int i = 0; i < l->count && !pause; i++) {
      if ((p[1 + i].revents & POLLIN) != 0 && !l->stop.load()) {
        pause = !listen_accept_some(srv, l->fds[i]);
      }
    }
  }
}

void listen_wake(ox__httplistener *l) noexcept {
  uint64_t one = 1;
  int saved = errno;
  (void)write(l->wake, &one, sizeof one);
  errno = saved;
}

void listen_close(int *fd) noexcept {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void listen_close_all(ox__httplistener *l) noexcept {
  for (unsigned int i = 0; i < l->count; i++) listen_close(&l->fds[i]);
  l->count = 0;
}

// Ports tried when a free port picked on the first address is taken on
// another by then.
constexpr int listen_port_tries = 8;

// Opens a socket on each of the |n| addresses |want| at |port|; see
// ox__httplistener_open().
int listen_open_all(ox_httpsrv *srv, const sockaddr_storage *want,
                    unsigned int n, uint16_t port,
                    sockaddr_storage *failed) noexcept {
  ox__httplistener *l = &srv->listener;
  bool dual = srv->bind_count == 0 && want[0].ss_family == AF_INET6;
  int skipped = 0;
  for (unsigned int i = 0; i < n; i++) {
    sockaddr_storage ss = want[i];
    listen_with_port(&ss, port);
    int fd = -1;
    int rc = listen_socket(srv, &ss, dual, &fd);
    if (rc != 0 && n > 1 && listen_may_skip(rc)) {
      char text[INET6_ADDRSTRLEN + 8];
      if (ox__httplistener_addr_text(&want[i], text, sizeof text)) {
        ox__httpsrv_error(srv, "ombrix: not listening on %s: %s\n", text,
                          strerror(rc));
      }
      skipped = rc;
      *failed = want[i];
      continue;
    }
    if (rc != 0) {
      *failed = want[i];
      listen_close_all(l);
      return rc;
    }
    l->fds[l->count] = fd;
    l->addrs[l->count++] = ss;
    port = listen_port_of(&ss);  // port 0: the others take the one picked
  }
  return l->count != 0 ? 0 : skipped;
}

}  // namespace

int ox__httplistener_open(ox_httpsrv *srv, uint16_t port, uint16_t *bound,
                          sockaddr_storage *failed) noexcept {
  sockaddr_storage want[ox__httplistener_max];
  unsigned int n = listen_addresses(srv, want);
  int rc;
  for (int tries = 1;; tries++) {
    rc = listen_open_all(srv, want, n, port, failed);
    if (rc != EADDRINUSE || port != 0 || tries == listen_port_tries) break;
  }
  if (rc == 0) *bound = listen_port_of(&srv->listener.addrs[0]);
  return rc;
}

bool ox__httplistener_addr_text(const sockaddr_storage *addr, char *out,
                                size_t size) noexcept {
  char host[INET6_ADDRSTRLEN];
  const void *a;
  if (addr->ss_family == AF_INET) {
    a = &reinterpret_cast<const sockaddr_in *>(addr)->sin_addr;
  } else if (addr->ss_family == AF_INET6) {
    a = &reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr;
  } else {
    return false;
  }
  if (inet_ntop(addr->ss_family, a, host, sizeof host) == nullptr) {
    return false;
  }
  uint16_t port = listen_port_of(addr);
  bool v6 = addr->ss_family == AF_INET6;
  int len = port == 0 ? snprintf(out, size, "%s", host)
            : v6      ? snprintf(out, size, "[%s]:%u", host, unsigned{port})
                      : snprintf(out, size, "%s:%u", host, unsigned{port});
  return len >= 0 && static_cast<size_t>(len) < size;
}

int ox__httplistener_start(ox_httpsrv *srv) noexcept {
  ox__httplistener *l = &srv->listener;
  unsigned int threads = srv->conn_threads ? 0 : srv->thr_pool_size;
  int rc = 0;
  if (threads > 1) {
    l->per_thread.reset(new (std::nothrow) std::atomic<unsigned int>[threads]);
    l->threads = threads;
    if (!l->per_thread) rc = ENOMEM;
    for (unsigned int i = 0; rc == 0 && i < threads; i++) l->per_thread[i] = 0;
  }
  l->wake = rc == 0 ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
  if (rc == 0 && l->wake < 0) rc = errno;
  if (rc == 0) {
    try {
      l->thread = std::thread(listen_loop, srv);
    } catch (...) {
      rc = EAGAIN;
    }
  }
  if (rc != 0) {
    listen_close(&l->wake);
    listen_close_all(l);
  }
  return rc;
}

void ox__httplistener_stop(ox_httpsrv *srv) noexcept {
  ox__httplistener *l = &srv->listener;
  l->stop.store(true);
  if (l->thread.joinable()) {
    listen_wake(l);
    l->thread.join();
  }
  l->waiting.store(false);
  listen_close_all(l);
}

void ox__httplistener_release(ox_httpsrv *srv) noexcept {
  ox__httplistener_stop(srv);
  listen_close(&srv->listener.wake);
  srv->listener.per_thread.reset();
}

void ox__httplistener_count(ox_httpsrv *srv, int fd, int delta) noexcept {
  ox__httplistener *l = &srv->listener;
  // Counted by the number the thread was picked by, which is the socket's
  // own whichever thread took it, so that each close undoes its start.
  if (l->per_thread && fd >= 0) {
    std::atomic<unsigned int> &n =
        l->per_thread[static_cast<unsigned int>(fd) % l->threads];
    if (delta > 0) {
      n.fetch_add(1);
    } else {
      n.fetch_sub(1);
    }
  }
  if (delta > 0) {
    l->open.fetch_add(1);
    return;
  }
  l->open.fetch_sub(1);
  if (l->waiting.load()) listen_wake(l);
}
