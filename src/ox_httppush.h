// Push streams: a chunked body the program writes from any thread
// (ox_httpres_sendpush()), with no serving thread waiting for it.
//
// The bytes written wait in a bounded queue.  libmicrohttpd pulls them
// through ox__httppush_read(); finding the queue empty, the reader sets the
// connection aside (MHD_suspend_connection()) and a write brings it back
// (MHD_resume_connection()), so that one polling thread serves any number
// of quiet streams.  With a thread per connection libmicrohttpd cannot set
// a connection aside: the reader waits on the stream's condition there,
// on the connection's own thread.
//
// Two parties hold a stream, each with a reference: the program, from
// ox_httpres_sendpush() until ox_push_end(), and the connection, from the
// same call until the reply is over (ox__httppush_detach(), libmicrohttpd's
// release of the response, or the release of a reply never built).  The
// server lists the streams its connections hold, so that the watchdog can
// ping them and a drain or a stop can end them.
#ifndef OX_HTTPPUSH_H
#define OX_HTTPPUSH_H

#include <microhttpd.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "ombrix.h"

struct ox_httpconn;

// Where a stream stands.
enum class ox__pushstate : uint8_t {
  open,      // the program writes
  ending,    // ended by the program, a drain or a stop: what is queued
             // goes out, then the body's last chunk
  cut,       // cut by the queue's policy: the body breaks off
  detached,  // the connection let go of it: the reply is over
};

struct ox_push {
  std::mutex mutex;               // guards what follows but |refs|
  std::condition_variable wake;   // a write, an end or a cut, for a reader
                                  // waiting on a thread per connection
  std::condition_variable told;   // a gone callback returned
  std::atomic<int> refs{2};       // the program's and the connection's
  ox_httpsrv *srv = nullptr;      // while the connection holds the stream:
  MHD_Connection *con = nullptr;  // its server, connection and record
  ox_httpconn *conn = nullptr;
  ox_push *prev = nullptr;  // the server's list, under its lock
  ox_push *next = nullptr;
  ox__pushstate state = ox__pushstate::open;
  bool threaded = false;        // a thread per connection: no suspending
  bool suspended = false;       // set aside by the reader, until a wake
  bool untimed = false;         // libmicrohttpd's idle timeout lifted
  bool released = false;        // the program called ox_push_end()
  bool gone = false;            // the connection let go of it first
  bool gone_told = false;       // ...and the gone callback ran, or runs
  std::thread::id gone_thread;  // the thread running it; none otherwise
  // The callback of ox_push_on_gone(), and its argument.
  void (*gone_cb)(void *) = nullptr;
  void *gone_cls = nullptr;
  char *queue = nullptr;  // bytes written and not yet handed to
  size_t queue_at = 0;    // libmicrohttpd: |queue_len| of them
  size_t queue_len = 0;   // from |queue_at|, in a block of
  size_t queue_room = 0;  // |queue_room|
  size_t queue_max = 0;   // the server's limit and its policy
  ox_wsfull when_full = OX_WSFULL_REFUSE;
  char *ping = nullptr;  // written after |ping_ms| of silence
  size_t ping_len = 0;   // (NULL: nothing)
  int64_t ping_ms = 0;
  int64_t written_ms = 0;  // when bytes were last queued
};

// The streams the connections of a server hold.
struct ox__httppushes {
  std::mutex mutex;  // guards the list and |closed|
  ox_push *list = nullptr;
  bool closed = false;  // drained or stopped: streams made now are ended
};

// The block size of a push stream's response: libmicrohttpd allocates it
// with each response, and fills it only for an HTTP/1.0 client (a chunked
// body is written into the connection's own buffer).
constexpr size_t ox__httppush_block = 4096;

// A new stream for the connection |con| (|conn| its record) of |srv|,
// listed on the server, with the server's queue limit, its policy and its
// ping interval, and a copy of |ping| (NULL: none).  Made during a drain or
// a stop it is ended already.  Returns 0 or ENOMEM.
int ox__httppush_new(ox_httpsrv *srv, MHD_Connection *con, ox_httpconn *conn,
                     const char *ping, ox_push **out) noexcept;

// libmicrohttpd's reader of a stream (|cls|): the queued bytes, the end
// once an ended stream's queue is empty, a break once it was cut; with
// nothing queued it sets the connection aside and returns 0.
ssize_t ox__httppush_read(void *cls, uint64_t pos, char *buf,
                          size_t size) noexcept;

// The connection lets go of the stream |cls|: the reply is over, or was
// never built.  Before the program ended it, that is the stream gone: its
// gone callback runs here.  Drops the connection's reference.
void ox__httppush_detach(void *cls) noexcept;

// The watchdog's second: writes the ping of each stream of |srv| that was
// silent for its ping interval.
void ox__httppushes_ping(ox_httpsrv *srv) noexcept;

// Ends every stream of |srv|, and those made from now on, for a drain or
// a stop, and brings back every connection set aside: none is suspended
// from here, as libmicrohttpd's stop requires.  An end rather than a cut:
// a stream that would never finish by itself is over, not broken, and
// libmicrohttpd then logs nothing of it.
void ox__httppushes_close(ox_httpsrv *srv) noexcept;

#endif  // OX_HTTPPUSH_H
