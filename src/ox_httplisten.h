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

#include <atomic>
#include <cstdint>
#include <thread>

#include "ombrix.h"

struct ox__httplistener {
  int fd = -1;                        // the listening socket
  int wake = -1;                      // eventfd: room again, or stop
  std::thread thread;                 // accepts while the server listens
  std::atomic<unsigned int> open{0};  // connections libmicrohttpd holds
  std::atomic<bool> waiting{false};   // at the limit: wake on a close
  std::atomic<bool> stop{false};      // set once accepting ends
};

// Makes the listening socket of |srv| on |port| (0: any free port) at its
// bind address.  Returns 0 or an errno value; |*bound| is the port in use.
int ox__httplistener_open(ox_httpsrv *srv, uint16_t port,
                          uint16_t *bound) noexcept;

// Starts accepting into the server's daemon.  Returns 0, or an errno value
// (no thread, no eventfd) with the socket closed.
int ox__httplistener_start(ox_httpsrv *srv) noexcept;

// Stops accepting for good: the thread ends and the socket closes, so new
// clients are refused at once, those in the backlog are reset, and a port
// shared through SO_REUSEPORT sends them to the other listeners.  Safe to
// call again, or before a start.
void ox__httplistener_stop(ox_httpsrv *srv) noexcept;

// Stops accepting and releases what is left, once libmicrohttpd holds no
// connection (a closing one may still wake the listener until then).
void ox__httplistener_release(ox_httpsrv *srv) noexcept;

// Counts a connection libmicrohttpd started (+1) or closed (-1).
void ox__httplistener_count(ox_httpsrv *srv, int delta) noexcept;

#endif  // OX_HTTPLISTEN_H
