// The listener: one socket, one thread that accepts and hands each client
// to libmicrohttpd, which then serves it on its own threads.
#include "ox_httplisten.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// The address to bind: the one set, or every address of both families on
// one socket (IPv4 alone without IPv6).  |*dual| tells whether the socket
// takes IPv4 clients as mapped addresses.
socklen_t listen_address(const ox_httpsrv *srv, uint16_t port,
                         sockaddr_storage *ss, bool *dual) noexcept {
  *ss = srv->bind_addr;
  *dual = false;
  if (ss->ss_family == AF_UNSPEC) {
    if (listen_has_ipv6()) {
      ss->ss_family = AF_INET6;
      *dual = true;
    } else {
      ss->ss_family = AF_INET;
    }
  }
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

uint16_t listen_port_of(int fd) noexcept {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
}

bool listen_has_room(const ox_httpsrv *srv) noexcept {
  return srv->listener.open.load() < srv->con_limit;
}

// Accepts the clients waiting, as long as there is room for them.  Returns
// false when accepting should pause a while (no descriptor, no memory).
bool listen_accept_some(ox_httpsrv *srv) noexcept {
  ox__httplistener *l = &srv->listener;
  for (int i = 0; i < listen_burst && listen_has_room(srv); i++) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    int fd = accept4(l->fd, reinterpret_cast<sockaddr *>(&addr), &len,
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
  while (!l->stop.load()) {
    // At the limit, clients wait in the backlog until a connection closes;
    // the closer wakes us when it sees |waiting| (both sides use
    // sequentially consistent order, so one of them sees the other).
    l->waiting.store(true);
    bool room = listen_has_room(srv);
    if (room) l->waiting.store(false);
    pollfd p[2] = {{l->wake, POLLIN, 0},
                   {l->fd, static_cast<short>(room && !pause ? POLLIN : 0),
                    0}};
    int n = poll(p, 2, pause ? listen_backoff_ms : -1);
    pause = false;
    if (n < 0) continue;
    if ((p[0].revents & POLLIN) != 0) {
      uint64_t count;
      (void)read(l->wake, &count, sizeof count);
    }
    if ((p[1].revents & POLLIN) != 0 && !l->stop.load()) {
      pause = !listen_accept_some(srv);
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

}  // namespace

int ox__httplistener_open(ox_httpsrv *srv, uint16_t port,
                          uint16_t *bound) noexcept {
  ox__httplistener *l = &srv->listener;
  sockaddr_storage ss;
  bool dual;
  socklen_t len = listen_address(srv, port, &ss, &dual);
  int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int rc = listen_setopt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  if (rc == 0 && srv->reuse_port) {
    rc = listen_setopt(fd, SOL_SOCKET, SO_REUSEPORT, 1);
  }
  // An IPv6 address set on purpose takes IPv6 clients alone.
  if (rc == 0 && ss.ss_family == AF_INET6) {
    rc = listen_setopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, dual ? 0 : 1);
  }
  if (rc == 0 && (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 ||
                  listen(fd, SOMAXCONN) != 0)) {
    rc = errno;
  }
  if (rc != 0) {
    close(fd);
    return rc;
  }
  l->fd = fd;
  *bound = listen_port_of(fd);
  return 0;
}

int ox__httplistener_start(ox_httpsrv *srv) noexcept {
  ox__httplistener *l = &srv->listener;
  l->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int rc = l->wake < 0 ? errno : 0;
  if (rc == 0) {
    try {
      l->thread = std::thread(listen_loop, srv);
    } catch (...) {
      rc = EAGAIN;
    }
  }
  if (rc != 0) {
    listen_close(&l->wake);
    listen_close(&l->fd);
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
  listen_close(&l->fd);
}

void ox__httplistener_release(ox_httpsrv *srv) noexcept {
  ox__httplistener_stop(srv);
  listen_close(&srv->listener.wake);
}

void ox__httplistener_count(ox_httpsrv *srv, int delta) noexcept {
  ox__httplistener *l = &srv->listener;
  if (delta > 0) {
    l->open.fetch_add(1);
    return;
  }
  l->open.fetch_sub(1);
  if (l->waiting.load()) listen_wake(l);
}
