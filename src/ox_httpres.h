// The response record: what a request's reply is built from.
#ifndef OX_HTTPRES_H
#define OX_HTTPRES_H

#include <microhttpd.h>

#include <cstdint>

#include "ombrix.h"

struct ox_httpres {
  MHD_Connection *con;    // the request's connection
  MHD_Response *handle;   // the reply built by a send or a denial; NULL until then
  ox_strmap *headers;     // reply headers, copied onto |handle| when queued
  unsigned int status;    // the reply's status
  int ret;                // libmicrohttpd's answer: MHD_YES or MHD_NO
  // For the access log: the status that went out (0: none yet), the body
  // size of the reply built (UINT64_MAX: a stream of unknown length), and
  // how much of such a stream was produced.
  unsigned int sent_status;
  uint64_t size;
  uint64_t streamed;
  bool logged;            // the server keeps an access log: count streams
};

// The response owns what goes out: each request's reply is queued by one
// of these, on the thread that serves the connection.

// True when a send (or a denial) has built the reply.
inline bool ox__httpres_prepared(const ox_httpres *res) noexcept {
  return res->handle != nullptr;
}

// Readies the reply that was built to go out: the reply headers go onto
// it, "Connection: close" too while the server drains, and its status is
// noted for the access log.  The reply must have been prepared.
void ox__httpres_seal(ox_httpres *res) noexcept;

// Queues the reply that was built, sealed, with its status.  The reply must
// have been prepared.
MHD_Result ox__httpres_queue(ox_httpres *res) noexcept;

// Queues a short plain-text reply of the library's own for |status| (400,
// 404, 405, 413, 500, 501, 503, ...), dropping any reply that was built;
// |allow| (may be NULL) becomes the Allow header of a 405.  Queued while
// the body is unread, it closes the connection after the reply.
MHD_Result ox__httpres_queue_status(ox_httpres *res, unsigned int status,
                                    const char *allow = nullptr) noexcept;


// Writes a short plain-text reply of the library's own for |status|, with
// "Connection: close", straight to the connection's socket |fd| (through
// TLS when |tls|): libmicrohttpd cannot queue a reply while a body still
// arrives, and a client that sends on and on past a limit must still learn
// why it is cut off.  The connection must then be closed.
void ox__httpres_write_early(ox_httpres *res, unsigned int status, int fd,
                             bool tls) noexcept;

// Drops a reply that was built, and brings the status back to 200.
void ox__httpres_discard(ox_httpres *res) noexcept;

// The checks every send shares: 0, EINVAL (no |res|, status out of range)
// or EALREADY (a reply was built).
int ox__httpres_sendable(const ox_httpres *res, unsigned int status) noexcept;

// Takes |response| (may be NULL: ENOMEM) as the reply, with its content
// type (NULL or "" for none).  On failure |response| is destroyed.
// |size| is the body's length for the access log (UINT64_MAX: a stream that
// counts itself into |streamed|).
int ox__httpres_commit(ox_httpres *res, MHD_Response *response,
                       const char *content_type, unsigned int status,
                       uint64_t size) noexcept;

// The request header |name| of the request |res| answers, or NULL.
const char *ox__httpres_request_header(const ox_httpres *res,
                                       const char *name) noexcept;

// The gzip level to send a body of |type| and |size| bytes (UINT64_MAX when
// unknown) with: 0 for identity.  |*vary| tells whether the choice depended
// on Accept-Encoding, so the reply must say "Vary: Accept-Encoding".
int ox__httpres_gzip_level(const ox_httpres *res, const char *type,
                           uint64_t size, bool *vary) noexcept;

// Adds "Content-Disposition: <disposition>; filename=..." to |response|,
// with the base name of |path| quoted.  Returns 0, ENOMEM or EINVAL.
int ox__httpres_add_disposition(MHD_Response *response, const char *path,
                                const char *disposition) noexcept;

#endif  // OX_HTTPRES_H
