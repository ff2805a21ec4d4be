// Body intake of one request: the payload held in memory, the fields of a
// form, the files of a multipart form streamed to disk, or the whole body
// handed to a callback of the program, each within the server's limits.
#ifndef OX_HTTPBODY_H
#define OX_HTTPBODY_H

#include <cstdint>

#include "ombrix.h"
#include "ox_httpform.h"

// What the part being received is.
enum class ox__bodypart : uint8_t { none, field, file, skipped };

// Plain data: a request record is zero-filled and reused between requests.
struct ox_httpbody {
  const ox_httpsrv *srv;   // limits and the upload directory
  ox_str *payload;         // the body as sent (not for multipart)
  ox_strmap *fields;       // form fields
  ox_httpupld *uplds;      // uploaded files in arrival order
  ox_httpupld *upld_last;  // the last of them
  ox_httpform *form;       // the form parser while the body arrives
  ox_str *field_val;       // the value of the field being received
  const char *field_name;  // its name; the parser's until the part ends
  uint64_t received;       // body bytes so far
  uint64_t allowed;        // the most a body of its kind may have
  uint64_t held;           // payload and multipart field bytes in memory
  uint64_t file_bytes;     // uploaded bytes so far
  unsigned int nfields;    // fields so far
  unsigned int nfiles;     // files so far
  unsigned int status;     // 0, or the reply the body earned
  int failure;             // the errno behind a 500, for the error log
  ox__bodypart part;       // the part being received
  bool multipart;          // parsed as multipart, held nowhere whole
  ox_httpbody_cb sink_cb;  // set: the body goes here alone, piece by piece
  void *sink_cls;
  ox_free_cb sink_free;    // receives sink_cls when the request ends
  ox_httpreq *sink_req;    // the request handed to sink_cb
};

// Hands the body to |cb| instead of holding or parsing it; the body's
// limit is then the upload limit.  Before ox__httpbody_begin() only.
// Returns 0, or EALREADY (set already, or the body begun); then |free_cb|
// is not called, and the caller hands |cls| back.
int ox__httpbody_sink(ox_httpbody *body, ox_httpreq *req, ox_httpbody_cb cb,
                      void *cls, ox_free_cb free_cb) noexcept;

// Looks at the head.  |content_type| may be NULL; |length| is the
// Content-Length, or UINT64_MAX for a chunked body.  Returns 0, or the
// status to answer at once: 413 for a length over the limits, 400 for a
// multipart type without a usable boundary, 500 when memory is short.
unsigned int ox__httpbody_begin(ox_httpbody *body, const ox_httpsrv *srv,
                                const char *content_type,
                                uint64_t length) noexcept;

// Takes the next piece of the body.  Past a limit the rest is counted and
// dropped, so a client still gets its reply; returns false once the
// connection is better closed, with |status| the reply: the body runs so
// far past what it could have been allowed, or the callback it goes to
// refused it.
bool ox__httpbody_feed(ox_httpbody *body, const char *data,
                       size_t size) noexcept;

// The body is complete: ends the form and closes the upload files.
// Returns 0, or the status the body earned (400, 413, 500).
unsigned int ox__httpbody_finish(ox_httpbody *body) noexcept;

// Releases what the body holds; uploads not saved are removed, and the
// closure of a body callback handed back.
void ox__httpbody_free(ox_httpbody *body) noexcept;

#endif  // OX_HTTPBODY_H
