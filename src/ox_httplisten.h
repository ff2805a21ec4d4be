// The listening socket of a server and the thread that accepts on it.
// Connections are handed to libmicrohttpd one by one, so the library, not
// libmicrohttpd, decides when to stop taking them: at the connection limit
// (they then wait in the kernel's backlog) and for good when the server
// drains or stops.  libmicrohttpd never touches a listening socket, which
// is what made stopping it racy: its threads take a listening socket out
// of their epoll sets when they reach their share of the limit, and abort
// the process when it is gone already.
#ifndef OX_HTTPLISTEN_H
#define OX_HTTPLISTEN_H

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "ombrix.h"

// The listening sockets a server may have: one per address its bind name
// resolved to.
constexpr unsigned int ox__httplistener_max = 8;

struct ox__httplistener {
  int fds[ox__httplistener_max];      // the listening sockets...
  unsigned int count = 0;             // ...so many of them
  sockaddr_storage addrs[ox__httplistener_max];  // where each is bound
  // Connections each pool thread serves, by socket number modulo the pool
  // size; NULL without a pool.
  std::unique_ptr<std::atomic<unsigned int>[]> per_thread;
  unsigned int threads = 0;           // the pool's size, with |per_thread|
  int wake = -1;                      // eventfd: room again, or stop
  std::thread thread;                 // accepts while the server listens
  std::atomic<unsigned int> open{0};  // connections libmicrohttpd holds
  std::atomic<bool> waiting{false};   // at the limit: wake on a close
  std::atomic<bool> stop{false};      // set once accepting ends
};

// Makes the listening sockets of |srv| on |port| (0: a free port, the same
// on every address) at its bind addresses.  Returns 0 or an errno value;
// |*bound| is the port in use.  On failure |*failed| is the address that
// failed (the wildcard one by default) and no socket is left open.  Of a
// name's several addresses, one this machine cannot bind (no IPv6, an
// address of another host) is left out as long as one other is bound.
int ox__httplistener_open(ox_httpsrv *srv, uint16_t port, uint16_t *bound,
                          sockaddr_storage *failed) noexcept;

// Writes |addr| as "127.0.0.1:8080" or "[::1]:8080" (port left out when
// 0, brackets too) into |out|, NUL-terminated.  False when it does not
// fit or |addr| is of no IP family.
bool ox__httplistener_addr_text(const sockaddr_storage *addr, char *out,
                                size_t size) noexcept;

// Starts accepting into the server's daemon.  Returns 0, or an errno value
// (no thread, no eventfd, no memory) with the sockets closed.
int ox__httplistener_start(ox_httpsrv *srv) noexcept;

// Stops accepting for good: the thread ends and the sockets close, so new
// clients are refused at once, those in the backlog are reset, and a port
// shared through SO_REUSEPORT sends them to the other listeners.  Safe to
// call again, or before a start.
void ox__httplistener_stop(ox_httpsrv *srv) noexcept;

// Stops accepting and releases what is left, once libmicrohttpd holds no
// connection (a closing one may still wake the listener until then).
void ox__httplistener_release(ox_httpsrv *srv) noexcept;

// Counts a connection on socket |fd| (-1: unknown) libmicrohttpd started
// (+1) or closed (-1).
void ox__httplistener_count(ox_httpsrv *srv, int fd, int delta) noexcept;

#endif  // OX_HTTPLISTEN_H
