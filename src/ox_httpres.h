// The response record, and the one road every reply takes to the wire.
//
// Sends, denials, directories and the library's own status pages only
// *describe* a reply (a status, a body source, a few headers of the
// library's).  ox__httpres_queue() then runs the reply through one ordered
// pass (content coding and Vary, validators and conditionals, ranges,
// HEAD, the headers, close-on-drain, the log's and the deadline's
// accounting), builds libmicrohttpd's response from it and queues it.
// Nothing else creates or queues a libmicrohttpd response.
#ifndef OX_HTTPRES_H
#define OX_HTTPRES_H

#include <microhttpd.h>
#include <sys/stat.h>

#include <cstdint>

#include "ombrix.h"
#include "ox_httpcond.h"
#include "ox_httpfcache.h"

struct ox_httpconn;

// Where a reply's body comes from.
enum class ox__body : uint8_t {
  none,    // no body
  text,    // |data|: static text of the library's own
  bytes,   // |data|: a block of ours (malloc), |length| bytes
  file,    // the open file |fd|: |length| bytes from |offset|
  stream,  // |read_cb| on |handle|: |length| bytes, or UINT64_MAX: unknown
  upgrade, // none: the connection switches to |upgrade_cb| with |handle|
  push,    // the push stream |handle| (the connection's reference)
};

// A reply as it was described, before it is built.
struct ox__reply {
  bool described;       // a send, a denial or the library described it
  ox__body body;
  bool whole_file;      // a whole file answering 200: validators apply
  bool compressible;    // the body may go out gzipped
  bool flush_each;      // gzipped, every piece is flushed (streams)
  bool vary;            // "Vary: Accept-Encoding" whatever is chosen
  uint64_t length;      // body bytes; UINT64_MAX: unknown until its end
  char *data;           // text, bytes
  int fd;               // file; -1 when none
  ox__filebytes *bytes; // file: its bytes in memory (a reference), or NULL
  int gz_fd;            // file: its gzipped sibling, or -1
  uint64_t gz_length;   // the sibling's bytes
  uint64_t offset;      // file
  ox_read_cb read_cb;   // stream
  MHD_UpgradeHandler upgrade_cb;  // upgrade
  void *handle;         // stream, push, upgrade
  ox_free_cb free_cb;
  ox__validators v;     // whole_file
  const char *type;     // Content-Type (static, the server's, |type_buf|,
                        // or |type_own|), or NULL
  char *type_own;       // a long type the program gave, ours
  char type_buf[64];    // a short one, copied here
  const char *coding;   // the Content-Encoding the body has, or NULL
  char *disposition;    // the Content-Disposition value, ours, or NULL
  const char *field;    // one more header of the library's (Allow,
  char *field_value;    // Location), its value ours
};

struct ox_httpres {
  MHD_Connection *con;    // the request's connection
  MHD_Response *handle;   // libmicrohttpd's reply, while it is being queued
  ox_strmap *headers;     // reply headers, added to every reply
  unsigned int status;    // the reply's status
  int ret;                // libmicrohttpd's answer: MHD_YES or MHD_NO
  // What the reply is made for, known from the request's start.
  ox_httpsrv *srv;        // its settings: MIME table, gzip, drain, limits
  ox_httpconn *conn;      // its deadlines while the reply goes out
  const char *method;     // the request's method
  const char *path;       // its decoded path, and the query as sent
  const char *query;
  bool head;              // HEAD: whatever the reply, no body goes out
  bool logged;            // the server keeps an access log: count streams
  bool watched;           // a file goes out by sendfile(), watched
  bool close;             // the connection closes after the reply
  ox__reply reply;        // what was described, until it is queued
  // For the access log: the status that went out (0: none yet), the body
  // bytes of the reply (UINT64_MAX: a stream counted into |streamed|).
  unsigned int sent_status;
  uint64_t size;
  uint64_t streamed;
  ox_str *joined[3];      // Accept-Encoding, If-Match, If-None-Match sent
                          // in several lines, each joined in one
  // What sees the reply before it is built (the request's after hook and
  // CORS), or NULL; |filtering| while it runs.
  void (*filter)(void *cls, ox_httpres *res);
  void *filter_cls;
  bool filtering;
};

// The body bytes the reply carried: what a counted stream produced, else
// the whole body when the request |completed| (none for HEAD and the
// statuses without a body, which the reply road counts as 0).
inline uint64_t ox__httpres_body_bytes(const ox_httpres *res,
                                       bool completed) noexcept {
  if (res->sent_status == 0) return 0;
  if (res->size == UINT64_MAX) return res->streamed;
  return completed ? res->size : 0;
}

// Readies |res| for a new request on |con|.
void ox__httpres_start(ox_httpres *res, MHD_Connection *con,
                       ox_httpsrv *srv, ox_httpconn *conn,
                       const char *method) noexcept;

// True when a reply was described.
inline bool ox__httpres_prepared(const ox_httpres *res) noexcept {
  return res->reply.described;
}

// The checks every send shares: 0, EINVAL (no |res|, status out of range)
// or EALREADY (a reply was described).
int ox__httpres_sendable(const ox_httpres *res, unsigned int status) noexcept;

// Describes the |size| bytes at |text| (copied; may be NULL when |size| is
// 0) with |content_type| (NULL or "": none) and |status|.  The body may go
// out gzipped.  Returns 0, EINVAL (a type that cannot be a header value),
// ENOMEM.
int ox__httpres_describe_bytes(ox_httpres *res, const void *text, size_t size,
                               const char *content_type,
                               unsigned int status) noexcept;

// Describes a reply of the library's own for |status|: its reason phrase
// as a one-line text body of |type|, dropping what was described before.
// |field| (may be NULL) is one more header whose value |value| (a block of
// ox_alloc()) the reply takes over: Allow of a 405, Location of a 301.
void ox__httpres_describe_status(ox_httpres *res, unsigned int status,
                                 const char *field = nullptr,
                                 char *value = nullptr,
                                 const char *type = "text/plain") noexcept;

// Describes |length| bytes of the open regular file |f| (its descriptor
// or its bytes taken, whatever the outcome) from |offset|, of type
// |f->type| (static or the server's, or NULL), with |status|.  The whole
// file with 200 carries its validators |f->v| and is answered as HTTP
// answers a GET or HEAD for it (304, 412, 206, 416, gzip).  |disposition|
// (may be NULL) names the Content-Disposition, with the base name of
// |name| as its file name.  Returns 0, EINVAL or ENOMEM.
int ox__httpres_describe_file(ox_httpres *res, ox__cachedfile *f,
                              uint64_t offset, uint64_t length,
                              const char *name, const char *disposition,
                              unsigned int status) noexcept;

// Gives the file just described (|st| its status) its gzipped sibling,
// |name| with ".gz", to go out in its place when the reply is gzipped:
// opened beneath |rootfd| by the directory rules (-1: |name| is a path of
// its own), and kept when it is a regular file at least as new as the
// file.  Nothing is opened unless the file would be gzipped as it goes out
// otherwise: the server compresses, the client accepts gzip, and the file
// is whole, read from disk, of a type that gains and worth it.
void ox__httpres_describe_sibling(ox_httpres *res, int rootfd,
                                  const char *name,
                                  const struct stat &st) noexcept;

// Describes a 101 that hands the connection to |cb| with |cls| once it is
// sent (a WebSocket).  The program's headers must say what it switches to.
// Returns 0.
int ox__httpres_describe_upgrade(ox_httpres *res, MHD_UpgradeHandler cb,
                                 void *cls) noexcept;

// Builds the reply described (a 500 page when none was) and queues it with
// its status.  |realm| (NULL: none) makes a 401 a Basic challenge naming
// it.  The reply's resources pass to libmicrohttpd, or are released.
MHD_Result ox__httpres_queue(ox_httpres *res,
                             const char *realm = nullptr) noexcept;

// Describes the library's own reply for |status| and queues it: refusals
// (400, 404, 405 with |allow|, 413, 431, 500, 501, 503).  Queued while the
// body is unread, it closes the connection after the reply.
MHD_Result ox__httpres_queue_status(ox_httpres *res, unsigned int status,
                                    char *allow = nullptr) noexcept;

// Writes a short plain-text reply of the library's own for |status|, with
// "Connection: close", straight to the connection's socket |fd| (through
// TLS when |tls|): libmicrohttpd cannot queue a reply while a body still
// arrives, and a client that sends on and on past a limit must still learn
// why it is cut off.  The connection must then be closed.
void ox__httpres_write_early(ox_httpres *res, unsigned int status, int fd,
                             bool tls) noexcept;

// Drops the reply described, releasing what it held, and brings the status
// back to 200.
void ox__httpres_discard(ox_httpres *res) noexcept;

// Releases what |res| holds once its request is over.
void ox__httpres_free(ox_httpres *res) noexcept;

// True for a text that may stand in a header value: no control byte but
// the tab, so that nothing a program passes can end the header.
bool ox__header_safe(const char *value) noexcept;

// The request header |name| of the request |res| answers, or NULL.
const char *ox__httpres_request_header(const ox_httpres *res,
                                       const char *name) noexcept;

#endif  // OX_HTTPRES_H
