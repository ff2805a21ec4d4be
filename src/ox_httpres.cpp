// Responses.  Every send only describes its reply (copying what it is
// given); ox__httpres_queue() runs the described reply through the filters
// in order, each a small function with one job, then builds libmicrohttpd's
// response and queues it:
//
//   res_read_fields      the request fields the filters read, in one pass
//   reply_negotiate      content coding (gzip) and Vary
//   reply_validate       validators, conditionals (304, 412), ranges (206,
//                        416) of a whole file
//   reply_drop_body      HEAD, 1xx, 204 and 304 carry no body
//   reply_build          libmicrohttpd's response from the body source
//                        (a push stream's chunked, never gzipped)
//   reply_add_headers    the library's headers, the program's, and
//                        "Connection: close" while the server drains
//   reply_account        the access log's counts, the send deadline, the
//                        watch on a file that goes out by sendfile()
#include "ox_httpres.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_extra.h"
#include "ox_httpcond.h"
#include "ox_httpconn.h"
#include "ox_httpdir.h"
#include "ox_httpenc.h"
#include "ox_httpfile.h"
#include "ox_httppush.h"
#include "ox_httpsrv.h"
#include "ox_httptls.h"
#include "ox_mime.h"

namespace {

constexpr char res_text_type[] = "text/plain; charset=utf-8";

// The library's own replies: the reason phrase as a one-line body.
const char *res_status_text(unsigned int status) noexcept {
  switch (status) {
    case 301: return "Moved Permanently\n";
    case 400: return "Bad Request\n";
    case 403: return "Forbidden\n";
    case 404: return "Not Found\n";
    case 405: return "Method Not Allowed\n";
    case 412: return "Precondition Failed\n";
    case 413: return "Payload Too Large\n";
    case 416: return "Range Not Satisfiable\n";
    case 501: return "Not Implemented\n";
    case 503: return "Service Unavailable\n";
    default: return "Internal Server Error\n";
  }
}

// Takes |type| as the reply's Content-Type: copied into the reply (NULL or
// "": none).  Returns 0, EINVAL or ENOMEM.
int res_set_type(ox__reply *r, const char *type) noexcept {
  r->type = nullptr;
  if (type == nullptr || *type == '\0') return 0;
  if (!ox__header_safe(type)) return EINVAL;
  size_t n = strlen(type);
  if (n < sizeof r->type_buf) {
    memcpy(r->type_buf, type, n + 1);
    r->type = r->type_buf;
    return 0;
  }
  r->type_own = ox__strdup(type);
  if (r->type_own == nullptr) return ENOMEM;
  r->type = r->type_own;
  return 0;
}

// Releases what the reply holds and forgets it.
void res_release(ox__reply *r) noexcept {
  switch (r->body) {
    case ox__body::bytes:
      free(r->data);
      break;
    case ox__body::file:
      if (r->fd >= 0) close(r->fd);
      if (r->gz_fd >= 0) close(r->gz_fd);
      ox__filebytes_unref(r->bytes);
      break;
    case ox__body::stream:
      if (r->free_cb != nullptr) r->free_cb(r->handle);
      break;
    case ox__body::push:
      // A reply never built (HEAD, a refusal, a body replaced): the
      // connection lets go of the stream at once.
      ox__httppush_detach(r->handle);
      break;
    default:
      break;
  }
  ox_free(r->type_own);
  ox_free(r->disposition);
  ox_free(r->field_value);
  *r = ox__reply{};
  r->fd = -1;
  r->gz_fd = -1;
}

// Begins a new description; the caller has checked nothing was described.
ox__reply *res_describe(ox_httpres *res, unsigned int status,
                        ox__body body) noexcept {
  ox__reply *r = &res->reply;
  r->described = true;
  r->body = body;
  res->status = status;
  return r;
}

// Content-Disposition with the base name of |path| as a quoted string:
// quotes and backslashes escaped, control bytes replaced.  A new block, or
// NULL when memory runs out.
char *res_disposition(const char *path, const char *disposition) noexcept {
  const char *base = strrchr(path, '/');
  base = base != nullptr ? base + 1 : path;
  ox_str *value = ox_str_new();
  if (value == nullptr) return nullptr;
  int rc = ox_str_printf(value, "%s; filename=\"", disposition);
  for (const char *p = base; rc == 0 && *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') rc = ox_str_write(value, "\\", 1);
    char out = (c < 0x20 || c == 0x7f) ? '_' : *p;
    if (rc == 0) rc = ox_str_write(value, &out, 1);
  }
  if (rc == 0) rc = ox_str_write(value, "\"", 1);
  char *text = rc == 0 ? ox__strdup(ox_str_content(value)) : nullptr;
  ox_str_free(value);
  return text;
}

// ---------------------------------------------------------------------
// The request fields the filters read, gathered in one pass over the
// request's headers.  A list field a client sent in several lines is read
// as one (RFC 9110 §5.3); a field that must be single and came twice is
// taken as absent.

struct res_fields {
  const char *accept_encoding;
  const char *if_match;
  const char *if_none_match;
  const char *if_modified_since;
  const char *if_unmodified_since;
  const char *range;
  const char *if_range;
  bool range_twice;  // Range or If-Range came twice: no range is served
};

// Which field a header is, by its name.
enum class res_field : uint8_t {
  other, accept_encoding, if_match, if_none_match, if_modified_since,
  if_unmodified_since, range, if_range,
};

res_field res_field_of(const char *name) noexcept {
  switch (name[0] | 0x20) {
    case 'a':
      return strcasecmp(name, MHD_HTTP_HEADER_ACCEPT_ENCODING) == 0
                 ? res_field::accept_encoding
                 : res_field::other;
    case 'r':
      return strcasecmp(name, MHD_HTTP_HEADER_RANGE) == 0 ? res_field::range
                                                          : res_field::other;
    case 'i':
      break;
    default:
      return res_field::other;
  }
  if (strcasecmp(name, MHD_HTTP_HEADER_IF_NONE_MATCH) == 0) {
    return res_field::if_none_match;
  }
  if (strcasecmp(name, MHD_HTTP_HEADER_IF_MODIFIED_SINCE) == 0) {
    return res_field::if_modified_since;
  }
  if (strcasecmp(name, MHD_HTTP_HEADER_IF_MATCH) == 0) {
    return res_field::if_match;
  }
  if (strcasecmp(name, MHD_HTTP_HEADER_IF_UNMODIFIED_SINCE) == 0) {
    return res_field::if_unmodified_since;
  }
  return strcasecmp(name, MHD_HTTP_HEADER_IF_RANGE) == 0 ? res_field::if_range
                                                        : res_field::other;
}

// A further line of the list field kept in |*joined|: the lines joined
// there with ", ", the buffer made on first use and living as long as the
// response.  Out of memory, the lines after the first are not read.
const char *res_join(ox_str **joined, const char *first,
                     const char *next) noexcept {
  if (*joined == nullptr) *joined = ox_str_new();
  ox_str *s = *joined;
  if (s == nullptr) return first;
  int rc = ox_str_length(s) == 0 ? ox_str_printf(s, "%s, %s", first, next)
                                 : ox_str_printf(s, ", %s", next);
  return rc == 0 ? ox_str_content(s) : first;
}

struct res_field_walk {
  ox_httpres *res;
  res_fields *f;
};

MHD_Result res_field_iter(void *cls, MHD_ValueKind kind, const char *name,
                          const char *value) noexcept {
  (void)kind;
  auto *walk = static_cast<res_field_walk *>(cls);
  ox_httpres *res = walk->res;
  res_fields *f = walk->f;
  if (value == nullptr) return MHD_YES;
  const char **slot = nullptr;
  ox_str **joined = nullptr;  // where a list field's lines are joined
  switch (res_field_of(name)) {
    case res_field::accept_encoding:
      slot = &f->accept_encoding, joined = &res->joined[0];
      break;
    case res_field::if_match:
      slot = &f->if_match, joined = &res->joined[1];
      break;
    case res_field::if_none_match:
      slot = &f->if_none_match, joined = &res->joined[2];
      break;
    case res_field::if_modified_since:
      slot = &f->if_modified_since;
      break;
    case res_field::if_unmodified_since:
      slot = &f->if_unmodified_since;
      break;
    case res_field::range:
      slot = &f->range;
      break;
    case res_field::if_range:
      slot = &f->if_range;
      break;
    default:
      return MHD_YES;
  }
  if (*slot == nullptr) {
    *slot = value;
  } else if (joined != nullptr) {
    *slot = res_join(joined, *slot, value);
  } else if (slot == &f->range || slot == &f->if_range) {
    f->range_twice = true;
  } else {
    // A date given twice is no date (RFC 9110 §13.1.3, §13.1.4).
    *slot = "";
  }
  return MHD_YES;
}

void res_read_fields(ox_httpres *res, res_fields *f) noexcept {
  *f = res_fields{};
  res_field_walk walk{res, f};
  MHD_get_connection_values(res->con, MHD_HEADER_KIND, res_field_iter, &walk);
  if (f->range_twice) f->range = nullptr;
}

// ---------------------------------------------------------------------
// The filters.  What they decide for the reply at hand:

struct res_plan {
  int level;          // gzip at this level; 0: the body goes as it is
  bool vary;          // the choice depended on Accept-Encoding
  const char *etag;   // the tag of the representation that goes out
  char gzip_etag[sizeof(ox__validators::etag) + 4];
  char content_range[80];  // a 206's or 416's Content-Range, or ""
  bool validators;    // ETag and Last-Modified go on the reply
  bool ranges;        // "Accept-Ranges: bytes" goes on the reply
  uint64_t length;    // the body's bytes as they go out; UINT64_MAX:
                      // unknown until the end
  bool bodiless;      // no body goes out, but |length| tells its size
  int sendfile_fd;    // the file that goes out by sendfile(), or -1
  bool sibling;       // the file's gzipped sibling goes out as it is
};

// The reply's Content-Type as set in the reply headers (whose names
// compare as written, so the usual spellings are tried).
const char *res_header_type(const ox_httpres *res) noexcept {
  for (const char *name : {"Content-Type", "content-type", "Content-type"}) {
    if (const char *type = ox_strmap_get(res->headers, name)) return type;
  }
  return nullptr;
}

// Content coding: gzip when the server compresses, the type gains from it,
// the body is worth it, and the client accepts it.  Whenever the choice
// could depend on Accept-Encoding the reply says so in Vary.
void reply_negotiate(const ox_httpres *res, const res_fields &f,
                     res_plan *plan) noexcept {
  const ox__reply *r = &res->reply;
  plan->vary = r->vary;
  int level = res->srv->gzip_level;
  if (level == 0 || !r->compressible || r->coding != nullptr) return;
  const char *type = r->type != nullptr ? r->type : res_header_type(res);
  if (!ox__mime_compressible(type)) return;
  // A program that coded the body itself says so; it is left alone.
  if (ox_strmap_get(res->headers, MHD_HTTP_HEADER_CONTENT_ENCODING) !=
      nullptr) {
    return;
  }
  plan->vary = true;
  if (r->length < ox__gzip_min_size) return;
  if (ox__accept_gzip(f.accept_encoding)) plan->level = level;
}

// Replaces the reply's body with the library's text for |status| (412,
// 416), keeping its other fields.
void reply_become_status(ox_httpres *res, unsigned int status) noexcept {
  ox__reply *r = &res->reply;
  if (r->body == ox__body::file) {
    if (r->fd >= 0) close(r->fd);
    if (r->gz_fd >= 0) close(r->gz_fd);
    ox__filebytes_unref(r->bytes);
  }
  r->fd = -1;
  r->gz_fd = -1;
  r->bytes = nullptr;
  r->body = ox__body::text;
  r->data = const_cast<char *>(res_status_text(status));
  r->length = strlen(r->data);
  r->type = res_text_type;
  r->compressible = false;
  ox_free(r->disposition);
  r->disposition = nullptr;
  res->status = status;
}

// A whole file: its validators, then HTTP's conditionals and ranges, as
// the order of RFC 9110 §13.2.2 has them.  The conditionals weigh the tag
// of the representation that would go out (the gzip one has its own).
void reply_validate(ox_httpres *res, const res_fields &f,
                    res_plan *plan) noexcept {
  ox__reply *r = &res->reply;
  if (!r->whole_file) return;
  const ox__validators &v = r->v;
  plan->etag = v.etag;
  if (plan->level != 0) {
    ox__etag_gzip(v.etag, plan->gzip_etag);
    plan->etag = plan->gzip_etag;
  }
  plan->validators = true;
  plan->ranges = true;
  bool head = res->head;
  bool get = strcmp(res->method, MHD_HTTP_METHOD_GET) == 0;
  ox__cond_request q{head || get,         head,
                     f.if_match,          f.if_unmodified_since,
                     f.if_none_match,     f.if_modified_since,
                     f.range,             f.if_range};
  ox__range range{};
  switch (ox__cond_evaluate(q, v, plan->etag, &range)) {
    case ox__cond::not_modified:
      res->status = MHD_HTTP_NOT_MODIFIED;
      plan->ranges = false;
      break;
    case ox__cond::precondition_failed:
      reply_become_status(res, MHD_HTTP_PRECONDITION_FAILED);
      plan->validators = plan->ranges = false;
      plan->level = 0;
      break;
    case ox__cond::unsatisfiable:
      reply_become_status(res, MHD_HTTP_RANGE_NOT_SATISFIABLE);
      snprintf(plan->content_range, sizeof plan->content_range,
               "bytes */%" PRIu64, v.size);
      plan->validators = plan->ranges = false;
      plan->level = 0;
      break;
    case ox__cond::partial:
      // A range is of the identity bytes: never compressed.
      res->status = MHD_HTTP_PARTIAL_CONTENT;
      r->offset = range.first;
      r->length = range.last - range.first + 1;
      plan->etag = v.etag;
      plan->level = 0;
      snprintf(plan->content_range, sizeof plan->content_range,
               "bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, range.first,
               range.last, v.size);
      break;
    default:
      break;
  }
}

// Gzipped bytes are gzipped now, so that their length is known.
int reply_compress_bytes(ox__reply *r, res_plan *plan) noexcept {
  if (plan->level == 0 ||
      (r->body != ox__body::bytes && r->body != ox__body::text)) {
    return 0;
  }
  char *gz = nullptr;
  size_t gz_size = 0;
  if (ox__gzip_bytes(r->data, r->length, plan->level, &gz, &gz_size) != 0) {
    // Out of memory: the identity body goes out, still correct.
    plan->level = 0;
    return ENOMEM;
  }
  if (r->body == ox__body::bytes) free(r->data);
  r->body = ox__body::bytes;
  r->data = gz;
  r->length = gz_size;
  return 0;
}

// A file whose gzip form is at hand goes out as that, its length known:
// the bytes of a file in memory, gzipped once for every reply of it, or the
// file's gzipped sibling on disk.  True, with |r->length| that of the gzip
// form; false when the file is to be gzipped as it goes out.
bool reply_gzip_ready(ox__reply *r, int level) noexcept {
  if (r->gz_fd >= 0 && r->bytes == nullptr) {
    r->offset = 0;
    r->length = r->gz_length;
    return true;
  }
  if (r->bytes == nullptr) return false;
  const ox__filebytes *gz = ox__filebytes_gzip(r->bytes, level);
  if (gz == nullptr) return false;
  r->offset = 0;
  r->length = gz->size;
  return true;
}

// What goes out of the body: its length, and none of it for HEAD, 1xx,
// 204 and 304, whose length still tells that of the 200 (RFC 9110 §8.6);
// a gzip stream's length is not known before it ends.
void reply_drop_body(ox_httpres *res, res_plan *plan) noexcept {
  ox__reply *r = &res->reply;
  reply_compress_bytes(r, plan);
  bool file_gzip_ready = false;
  if (plan->level != 0 && r->body == ox__body::file) {
    file_gzip_ready = reply_gzip_ready(r, plan->level);
    // Out of memory for a kept file's gzip form: the file goes out as it
    // is, still correct.
    if (!file_gzip_ready && r->bytes != nullptr) {
      plan->level = 0;
      plan->etag = r->v.etag;
    }
  }
  bool gzip_stream =
      plan->level != 0 && ((r->body == ox__body::file && !file_gzip_ready) ||
                           r->body == ox__body::stream);
  plan->length = gzip_stream ? UINT64_MAX : r->length;
  unsigned int s = res->status;
  plan->bodiless = res->head || s < 200 || s == 204 || s == 304;
}

// ---------------------------------------------------------------------
// Building libmicrohttpd's response.

// Counts what a stream hands out, for the access log, and keeps the send
// deadline per piece: the time the program takes to make a piece does not
// count against the client, the time the client takes to read it does.
struct res_stream {
  ox_read_cb read_cb;    // the source: the program's stream, a gzip
  void *handle;          // stream, a file reader
  ox_free_cb free_cb;
  ox_httpconn *conn;
  uint64_t *streamed;    // the response's count; read only while it sends
  bool producer_waits;   // the source may block (a program's stream)
};

ssize_t res_stream_read(void *cls, uint64_t pos, char *buf,
                        size_t size) noexcept {
  auto *s = static_cast<res_stream *>(cls);
  ssize_t n;
  if (s->producer_waits) {
    ox__httpconn_enter(s->conn, ox__connphase::busy);
    // Counted, so that a drain knows when a serving thread is held by the
    // program past its deadline.
    std::atomic<unsigned int> &producing = s->conn->srv->producing;
    producing.fetch_add(1, std::memory_order_relaxed);
    n = s->read_cb(s->handle, pos, buf, size);
    producing.fetch_sub(1, std::memory_order_release);
  } else {
    n = s->read_cb(s->handle, pos, buf, size);
  }
  if (n > 0) {
    if (s->streamed != nullptr) *s->streamed += static_cast<uint64_t>(n);
    ox__httpconn_sending(s->conn, static_cast<uint64_t>(n));
  }
  return n;
}

void res_stream_free(void *cls) noexcept {
  auto *s = static_cast<res_stream *>(cls);
  if (s->free_cb != nullptr) s->free_cb(s->handle);
  ox_free(s);
}

// A reader that is never called: the body of a reply that goes without.
ssize_t res_no_read(void *, uint64_t, char *, size_t) noexcept {
  return MHD_CONTENT_READER_END_OF_STREAM;
}

// A response without a body whose Content-Length says |length|, that of
// the 200 it stands for, or, when that length is not known, with neither
// Content-Length nor chunked framing, which libmicrohttpd gives only by
// closing the connection after it.
MHD_Response *res_bodiless(uint64_t length) noexcept {
  if (length == 0) {
    return MHD_create_response_from_buffer(0, const_cast<char *>(""),
                                           MHD_RESPMEM_PERSISTENT);
  }
  MHD_Response *response = MHD_create_response_from_callback(
      length != UINT64_MAX ? length : MHD_SIZE_UNKNOWN, 1024, res_no_read,
      nullptr, nullptr);
  if (response != nullptr && length == UINT64_MAX &&
      MHD_set_response_options(response, MHD_RF_HTTP_1_0_COMPATIBLE_STRICT,
                               MHD_RO_END) != MHD_YES) {
    MHD_destroy_response(response);
    response = nullptr;
  }
  return response;
}

// The source of a file or stream body, wrapped for counting and deadlines;
// it owns the source's handle once made (NULL: the caller still does).
MHD_Response *res_stream_response(ox_httpres *res, ox_read_cb read_cb,
                                  void *handle, ox_free_cb free_cb,
                                  uint64_t length, size_t block,
                                  bool producer_waits) noexcept {
  auto *s = static_cast<res_stream *>(ox_alloc(sizeof(res_stream)));
  if (s == nullptr) return nullptr;
  res->streamed = 0;
  *s = {read_cb, handle, free_cb, res->conn,
        res->logged ? &res->streamed : nullptr, producer_waits};
  MHD_Response *response = MHD_create_response_from_callback(
      length != UINT64_MAX ? length : MHD_SIZE_UNKNOWN, block,
      res_stream_read, s, res_stream_free);
  if (response == nullptr) ox_free(s);
  return response;
}

void res_bytes_release(void *cls) noexcept {
  ox__filebytes_unref(static_cast<ox__filebytes *>(cls));
}

// A small file's bytes from memory, as they are or gzipped (made by
// reply_drop_body()); the response takes the reply's reference.
MHD_Response *reply_build_bytes(ox_httpres *res, const res_plan &plan) noexcept {
  ox__reply *r = &res->reply;
  const ox__filebytes *from =
      plan.level != 0 ? r->bytes->gz.load(std::memory_order_acquire)
                      : r->bytes;
  MHD_Response *response = MHD_create_response_from_buffer_with_free_callback_cls(
      r->length, from->data + r->offset, res_bytes_release, r->bytes);
  if (response != nullptr) r->bytes = nullptr;  // the response's now
  return response;
}

// A file's bytes: from memory when the file cache holds them; else by
// sendfile() straight from the descriptor on a plain connection, or read
// piece by piece when gzipped or through TLS.
MHD_Response *reply_build_file(ox_httpres *res, res_plan *plan) noexcept {
  ox__reply *r = &res->reply;
  if (r->bytes != nullptr) return reply_build_bytes(res, *plan);
  // The gzipped sibling goes out as it is, in the file's place.
  bool sibling = plan->level != 0 && r->gz_fd >= 0;
  if (sibling) {
    close(r->fd);
    r->fd = std::exchange(r->gz_fd, -1);
    plan->sibling = true;
  }
  bool tls = res->srv->tls.on;
  int level = sibling ? 0 : plan->level;
  if (level == 0 && !tls) {
    MHD_Response *response =
        MHD_create_response_from_fd_at_offset64(r->length, r->fd, r->offset);
    if (response != nullptr) {
      plan->sendfile_fd = r->fd;
      r->fd = -1;  // the response's now
    }
    return response;
  }
  void *reader = ox__httpfile_reader(r->fd, r->offset, r->length, res->srv);
  if (reader == nullptr) return nullptr;
  r->fd = -1;  // the reader's now
  ox_read_cb read_cb = ox__httpfile_read;
  ox_free_cb free_cb = ox__httpfile_close;
  if (level != 0) {
    void *gz = ox__gzip_new(read_cb, reader, free_cb, level, false);
    if (gz == nullptr) {
      ox__httpfile_close(reader);
      return nullptr;
    }
    reader = gz;
    read_cb = ox__gzip_read;
    free_cb = ox__gzip_free;
  }
  MHD_Response *response =
      res_stream_response(res, read_cb, reader, free_cb, plan->length,
                          ox__gzip_piece, false);
  if (response == nullptr) free_cb(reader);
  return response;
}

// A program's stream, gzipped piece by piece when chosen.
MHD_Response *reply_build_stream(ox_httpres *res,
                                 const res_plan &plan) noexcept {
  ox__reply *r = &res->reply;
  ox_read_cb read_cb = r->read_cb;
  void *handle = r->handle;
  ox_free_cb free_cb = r->free_cb;
  size_t block = 32 * 1024;
  if (plan.level != 0) {
    void *gz = ox__gzip_new(read_cb, handle, free_cb, plan.level,
                            r->flush_each);
    if (gz == nullptr) return nullptr;
    handle = gz;
    read_cb = ox__gzip_read;
    free_cb = ox__gzip_free;
    block = ox__gzip_piece;
  }
  // From here the handle is the response's (or the gzip stream's).
  r->free_cb = nullptr;
  r->body = ox__body::none;
  MHD_Response *response = res_stream_response(res, read_cb, handle, free_cb,
                                               plan.length, block, true);
  if (response == nullptr && free_cb != nullptr) free_cb(handle);
  return response;
}

// A push stream: chunked, each piece as the program wrote it.  The
// connection's reference passes to the response, whose release lets go of
// the stream.
MHD_Response *reply_build_push(ox_httpres *res) noexcept {
  ox__reply *r = &res->reply;
  MHD_Response *response =
      res_stream_response(res, ox__httppush_read, r->handle,
                          ox__httppush_detach, UINT64_MAX,
                          ox__httppush_block, false);
  if (response != nullptr) r->body = ox__body::none;
  return response;
}

// libmicrohttpd's response for the described reply; NULL when memory ran
// out.  What the body held passes to the response.
MHD_Response *reply_build(ox_httpres *res, res_plan *plan) noexcept {
  ox__reply *r = &res->reply;
  if (r->body == ox__body::upgrade && res->status == 101) {
    return MHD_create_response_for_upgrade(r->upgrade_cb, r->handle);
  }
  if (plan->bodiless) return res_bodiless(plan->length);
  MHD_Response *response = nullptr;
  switch (r->body) {
    case ox__body::none:
    case ox__body::upgrade:  // the after hook changed the status
      return res_bodiless(0);
    case ox__body::text:
      return MHD_create_response_from_buffer(r->length, r->data,
                                             MHD_RESPMEM_PERSISTENT);
    case ox__body::bytes:
      response = MHD_create_response_from_buffer(r->length, r->data,
                                                 MHD_RESPMEM_MUST_FREE);
      if (response != nullptr) r->body = ox__body::none;  // freed with it
      return response;
    case ox__body::file:
      return reply_build_file(res, plan);
    case ox__body::stream:
      return reply_build_stream(res, *plan);
    case ox__body::push:
      return reply_build_push(res);
  }
  return nullptr;
}

// A Basic challenge naming |realm|, the realm as a quoted string: its
// quotes and backslashes escaped (RFC 9110 §5.6.4).
bool res_add_challenge(MHD_Response *response, const char *realm) noexcept {
  char value[1100] = "Basic realm=\"";
  size_t n = strlen(value);
  for (const char *p = realm; *p != '\0'; p++) {
    if (n + 4 >= sizeof value) return false;
    if (*p == '"' || *p == '\\') value[n++] = '\\';
    value[n++] = *p;
  }
  value[n++] = '"';
  value[n] = '\0';
  return MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE,
                                 value) == MHD_YES;
}

// The headers: the library's first (a reply missing one of them would be
// wrong, so a failure fails the reply), then the program's (each added as
// it can be), then "Connection: close" while the server drains or when the
// request asked for it, so that no further request starts on the
// connection.
bool reply_add_headers(const ox_httpres *res, MHD_Response *response,
                       const res_plan &plan, const char *realm) noexcept {
  const ox__reply *r = &res->reply;
  // A 304 carries what updates a cache's stored reply: validators and
  // Vary, not what describes a body (RFC 9110 §15.4.5).
  bool body = res->status != MHD_HTTP_NOT_MODIFIED;
  struct {
    const char *name, *value;
  } fields[] = {
      {MHD_HTTP_HEADER_CONTENT_TYPE, body ? r->type : nullptr},
      {MHD_HTTP_HEADER_CONTENT_ENCODING,
       !body ? nullptr : plan.level != 0 ? "gzip" : r->coding},
      {MHD_HTTP_HEADER_CONTENT_RANGE,
       plan.content_range[0] != '\0' ? plan.content_range : nullptr},
      {MHD_HTTP_HEADER_ACCEPT_RANGES, plan.ranges ? "bytes" : nullptr},
      {MHD_HTTP_HEADER_ETAG, plan.validators ? plan.etag : nullptr},
      {MHD_HTTP_HEADER_LAST_MODIFIED,
       plan.validators ? r->v.last_modified : nullptr},
      {MHD_HTTP_HEADER_VARY,
       plan.vary ? MHD_HTTP_HEADER_ACCEPT_ENCODING : nullptr},
      {MHD_HTTP_HEADER_CONTENT_DISPOSITION, body ? r->disposition : nullptr},
      {r->field, r->field_value},
  };
  for (const auto &field : fields) {
    if (field.name == nullptr || field.value == nullptr) continue;
    if (MHD_add_response_header(response, field.name, field.value) !=
        MHD_YES) {
      return false;
    }
  }
  if (realm != nullptr && res->status == MHD_HTTP_UNAUTHORIZED &&
      !res_add_challenge(response, realm)) {
    return false;
  }
  ox_strmap_iter(res->headers, ox__strmap_iter, response);
  if (res->close || res->srv->draining.load(std::memory_order_relaxed)) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  }
  return true;
}

// For the access log: the status and the body bytes that go out (a stream
// counts its own); for the watchdog: the time the client gets to take the
// reply, and the file that goes out by sendfile(), whose shrinking would
// stall it.
void reply_account(ox_httpres *res, const res_plan &plan) noexcept {
  const ox__reply *r = &res->reply;
  res->sent_status = res->status;
  bool counted = !plan.bodiless && (r->body == ox__body::stream ||
                                    (r->body == ox__body::file &&
                                     r->bytes == nullptr &&
                                     ((plan.level != 0 && !plan.sibling) ||
                                      res->srv->tls.on)));
  res->size = plan.bodiless ? 0 : counted ? UINT64_MAX : plan.length;
  ox__httpconn_sending(res->conn, counted ? 0 : res->size);
  if (plan.sendfile_fd >= 0) {
    ox__httpconn_watch_file(res->srv, res->conn, plan.sendfile_fd,
                            r->offset + r->length);
    res->watched = true;
  }
}

}  // namespace

void ox__httpres_start(ox_httpres *res, MHD_Connection *con,
                       ox_httpsrv *srv, ox_httpconn *conn,
                       const char *method) noexcept {
  res->con = con;
  res->status = MHD_HTTP_OK;
  res->srv = srv;
  res->conn = conn;
  res->method = method;
  res->head = strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  res->logged = srv->log_cb != nullptr;
  res->reply.fd = -1;
  res->reply.gz_fd = -1;
}

int ox__httpres_sendable(const ox_httpres *res, unsigned int status) noexcept {
  if (res == nullptr || status < 100 || status > 599) return EINVAL;
  return ox__httpres_prepared(res) ? EALREADY : 0;
}

int ox__httpres_describe_upgrade(ox_httpres *res, MHD_UpgradeHandler cb,
                                 void *cls) noexcept {
  ox__reply *r = res_describe(res, MHD_HTTP_SWITCHING_PROTOCOLS,
                              ox__body::upgrade);
  r->upgrade_cb = cb;
  r->handle = cls;
  return 0;
}

int ox__httpres_describe_bytes(ox_httpres *res, const void *text, size_t size,
                               const char *content_type,
                               unsigned int status) noexcept {
  ox__reply *r = &res->reply;
  if (int rc = res_set_type(r, content_type); rc != 0) {
    res_release(r);
    return rc;
  }
  // One byte more, so that an empty body is a block too.
  auto *copy = static_cast<char *>(ox__std_malloc(size + 1));
  if (copy == nullptr) {
    res_release(r);
    return ENOMEM;
  }
  if (size != 0) memcpy(copy, text, size);
  res_describe(res, status, ox__body::bytes);
  r->data = copy;
  r->length = size;
  r->compressible = true;
  return 0;
}

void ox__httpres_describe_status(ox_httpres *res, unsigned int status,
                                 const char *field, char *value,
                                 const char *type) noexcept {
  ox__httpres_discard(res);
  ox__reply *r = res_describe(res, status, ox__body::text);
  r->data = const_cast<char *>(res_status_text(status));
  r->length = strlen(r->data);
  r->type = type;
  // The program's page for it, if any: the server's copy, as lasting as
  // the library's own text.
  if (const ox__statuspage *page = ox__httpsrv_page(res->srv, status)) {
    r->data = page->body;
    r->length = page->length;
    r->type = page->type;
  }
  r->field = field;
  r->field_value = value;
}

int ox__httpres_describe_file(ox_httpres *res, ox__cachedfile *f,
                              uint64_t offset, uint64_t length,
                              const char *name, const char *disposition,
                              unsigned int status) noexcept {
  ox__reply *r = &res->reply;
  r->fd = std::exchange(f->fd, -1);
  r->bytes = std::exchange(f->bytes, nullptr);
  r->body = ox__body::file;
  if (disposition != nullptr) {
    r->disposition = res_disposition(name, disposition);
    if (r->disposition == nullptr) {
      res_release(r);
      return ENOMEM;
    }
  }
  res_describe(res, status, ox__body::file);
  r->offset = offset;
  r->length = length;
  r->type = f->type;
  // The whole file as a 200 is what HTTP's validators and ranges describe.
  r->whole_file = offset == 0 && status == MHD_HTTP_OK &&
                  length == static_cast<uint64_t>(f->st.st_size);
  r->compressible = r->whole_file;
  if (r->whole_file) r->v = f->v;
  return 0;
}

void ox__httpres_describe_sibling(ox_httpres *res, int rootfd,
                                  const char *name,
                                  const struct stat &st) noexcept {
  ox__reply *r = &res->reply;
  char gz[PATH_MAX];
  if (r->body != ox__body::file || !r->whole_file || r->bytes != nullptr ||
      r->gz_fd >= 0 || res->srv->gzip_level == 0 ||
      r->length < ox__gzip_min_size || r->type == nullptr ||
      !ox__mime_compressible(r->type) ||
      !ox__accept_gzip(ox__httpres_request_header(
          res, MHD_HTTP_HEADER_ACCEPT_ENCODING)) ||
      snprintf(gz, sizeof gz, "%s.gz", name) >= static_cast<int>(sizeof gz)) {
    return;
  }
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  int fd = rootfd >= 0 ? ox__httpdir_open_beneath(rootfd, gz, flags, true)
                       : open(gz, flags);
  if (fd < 0) return;
  // Older than the file, it may be the gzip of what the file was.
  struct stat sib;
  if (fstat(fd, &sib) != 0 || !S_ISREG(sib.st_mode) ||
      sib.st_mtim.tv_sec < st.st_mtim.tv_sec ||
      (sib.st_mtim.tv_sec == st.st_mtim.tv_sec &&
       sib.st_mtim.tv_nsec < st.st_mtim.tv_nsec)) {
    close(fd);
    return;
  }
  r->gz_fd = fd;
  r->gz_length = static_cast<uint64_t>(sib.st_size);
}

MHD_Result ox__httpres_queue(ox_httpres *res, const char *realm) noexcept {
  if (!ox__httpres_prepared(res)) {
    ox__httpres_describe_status(res, MHD_HTTP_INTERNAL_SERVER_ERROR);
  }
  if (res->filter != nullptr) {
    res->filtering = true;
    res->filter(res->filter_cls, res);
    res->filtering = false;
  }
  // Only whole files and bodies the server may gzip read request fields.
  const ox__reply *r = &res->reply;
  res_fields f{};
  if (r->whole_file || (res->srv->gzip_level != 0 && r->compressible)) {
    res_read_fields(res, &f);
  }
  res_plan plan{};
  plan.sendfile_fd = -1;
  reply_negotiate(res, f, &plan);
  reply_validate(res, f, &plan);
  reply_drop_body(res, &plan);
  MHD_Response *response = reply_build(res, &plan);
  if (response != nullptr && !reply_add_headers(res, response, plan, realm)) {
    MHD_destroy_response(response);
    response = nullptr;
  }
  if (response == nullptr) {
    // Out of memory (or a header refused): no half-built reply goes out.
    ox__httpres_discard(res);
    return MHD_NO;
  }
  reply_account(res, plan);
  res->handle = response;
  MHD_Result ret = MHD_queue_response(res->con, res->status, response);
  MHD_destroy_response(response);
  res->handle = nullptr;
  res_release(&res->reply);
  return ret;
}

MHD_Result ox__httpres_queue_status(ox_httpres *res, unsigned int status,
                                    char *allow) noexcept {
  ox__httpres_describe_status(res, status,
                              allow != nullptr ? MHD_HTTP_HEADER_ALLOW : nullptr,
                              allow);
  return ox__httpres_queue(res);
}

void ox__httpres_write_early(ox_httpres *res, unsigned int status, int fd,
                             bool tls) noexcept {
  const char *text = res_status_text(status);
  char date[32];
  ox__httpdate_format(time(nullptr), date);
  char reply[256];
  int n = snprintf(reply, sizeof reply,
                   "HTTP/1.1 %u %s\r\nDate: %s\r\nConnection: close\r\n"
                   "Content-Type: text/plain\r\nContent-Length: %zu\r\n\r\n%s",
                   status, MHD_get_reason_phrase_for(status), date,
                   strlen(text), text);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof reply) return;
  ox__errno_guard keep;
  bool sent = tls ? ox__httptls_send(res->con, reply, static_cast<size_t>(n))
                  : send(fd, reply, static_cast<size_t>(n),
                         MSG_NOSIGNAL | MSG_DONTWAIT) == n;
  if (sent) {
    res->sent_status = status;
    res->size = strlen(text);
  }
}

bool ox__header_safe(const char *value) noexcept {
  for (const char *p = value; *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  }
  return true;
}

void ox__httpres_discard(ox_httpres *res) noexcept {
  res_release(&res->reply);
  res->status = MHD_HTTP_OK;
}

void ox__httpres_free(ox_httpres *res) noexcept {
  ox__httpres_discard(res);
  if (res->watched) ox__httpconn_unwatch_file(res->srv, res->conn);
  res->watched = false;
  if (res->headers != nullptr) ox_strmap_cleanup(&res->headers);
  for (ox_str *&joined : res->joined) {
    ox_str_free(joined);
    joined = nullptr;
  }
}

const char *ox__httpres_request_header(const ox_httpres *res,
                                       const char *name) noexcept {
  return MHD_lookup_connection_value(res->con, MHD_HEADER_KIND, name);
}

ox_strmap **ox_httpres_headers(ox_httpres *res) noexcept {
  if (res == nullptr) return ox__einval<ox_strmap **>(nullptr);
  return &res->headers;
}

namespace {

bool cookie_octet(unsigned char c, bool in_name) noexcept {
  if (c <= 0x20 || c >= 0x7f) return false;
  if (c == '"' || c == ',' || c == ';' || c == '\\') return false;
  return !(in_name && c == '=');
}

bool cookie_valid(const char *text, bool in_name) noexcept {
  for (const char *p = text; *p != '\0'; p++) {
    if (!cookie_octet(static_cast<unsigned char>(*p), in_name)) return false;
  }
  return true;
}

// A Path or Domain value: ASCII without control bytes or ';', each of which
// would end the attribute and start one the program did not write.
bool cookie_attr_valid(const char *text) noexcept {
  for (const char *p = text; *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x7f || c == ';') return false;
  }
  return true;
}

bool cookie_prefixed(const char *name, const char *prefix) noexcept {
  return strncasecmp(name, prefix, strlen(prefix)) == 0;
}

// The last second an IMF-fixdate can write: 9999-12-31 23:59:59 UTC.
constexpr time_t cookie_expires_max = 253402300799;

// A cookie as it goes out: the options with NULL made explicit, and
// |expire| for a line that ends the cookie.
struct cookie_line {
  const char *name;
  const char *val;
  const char *path;    // "" for no Path
  const char *domain;  // "" for no Domain
  const ox_cookie_opts *opts;
  int same_site;       // opts->same_site as the int the caller stored
  bool expire;
};

// The attributes of ox_httpres_set_cookie(), which a NULL ox_cookie_opts
// stands for.
constexpr ox_cookie_opts cookie_defaults = OX_COOKIE_OPTS_DEFAULT;

// The line of cookie |name| with |opts| (NULL: the defaults); |expire| for
// one that ends it.
cookie_line cookie_of(const char *name, const char *val,
                      const ox_cookie_opts *opts, bool expire) noexcept {
  const ox_cookie_opts *o = opts != nullptr ? opts : &cookie_defaults;
  // C lets any int sit in an enum, and a value out of its range is not one
  // C++ may load as the enum: it is read as the int it is, then checked.
  static_assert(sizeof o->same_site == sizeof(int));
  int same_site;
  memcpy(&same_site, &o->same_site, sizeof same_site);
  return cookie_line{name, val, o->path != nullptr ? o->path : "/",
                     o->domain != nullptr ? o->domain : "", o, same_site,
                     expire};
}

// The checks of ox_httpres_set_cookie2(): bytes that could forge the
// header or another attribute, and the combinations browsers drop.
bool cookie_line_valid(const cookie_line &c) noexcept {
  const ox_cookie_opts &o = *c.opts;
  if (*c.name == '\0' || !cookie_valid(c.name, true) ||
      !cookie_valid(c.val, false) || !cookie_attr_valid(c.path) ||
      !cookie_attr_valid(c.domain)) {
    return false;
  }
  if (o.max_age < 0 || o.expires < 0 || o.expires > cookie_expires_max) {
    return false;
  }
  switch (c.same_site) {
    case OX_SAMESITE_LAX:
    case OX_SAMESITE_STRICT:
    case OX_SAMESITE_OMIT:
      break;
    case OX_SAMESITE_NONE:
      if (!o.secure) return false;
      break;
    default:
      return false;
  }
  if (cookie_prefixed(c.name, "__Secure-") && !o.secure) return false;
  if (cookie_prefixed(c.name, "__Host-") &&
      (!o.secure || *c.domain != '\0' || strcmp(c.path, "/") != 0)) {
    return false;
  }
  return true;
}

// Writes "; Expires=" and the IMF-fixdate of |t| at |at|; returns the end.
char *cookie_put_expires(char *at, time_t t) noexcept {
  at = stpcpy(at, "; Expires=");
  ox__httpdate_format(t, at);
  return at + strlen(at);
}

// The attributes after Path and Domain, which are short: at most "; Max-Age=
// <19 digits>; Expires=<date>; Secure; HttpOnly; SameSite=Strict", or a
// deletion's "; Max-Age=0; Expires=<date>" with those after it.
void cookie_tail(const cookie_line &c, char (&out)[160]) noexcept {
  const ox_cookie_opts &o = *c.opts;
  char *at = out;
  *at = '\0';
  if (c.expire) at = cookie_put_expires(stpcpy(at, "; Max-Age=0"), 0);
  if (o.max_age > 0) {
    at += snprintf(at, 32, "; Max-Age=%" PRId64, o.max_age);
  }
  if (o.expires > 0) at = cookie_put_expires(at, o.expires);
  if (o.secure) at = stpcpy(at, "; Secure");
  if (o.http_only) at = stpcpy(at, "; HttpOnly");
  switch (c.same_site) {
    case OX_SAMESITE_STRICT: stpcpy(at, "; SameSite=Strict"); break;
    case OX_SAMESITE_NONE: stpcpy(at, "; SameSite=None"); break;
    case OX_SAMESITE_OMIT: break;
    default: stpcpy(at, "; SameSite=Lax"); break;
  }
}

// Checks |c| and adds its Set-Cookie header.  Returns 0, EINVAL or ENOMEM;
// on failure no header is added.
int cookie_add(ox_httpres *res, const cookie_line &c) noexcept {
  if (!cookie_line_valid(c)) return EINVAL;
  ox__errno_guard keep;
  char tail[160];
  cookie_tail(c, tail);
  ox_str *line = ox_str_new();
  if (line == nullptr) return ENOMEM;
  const char *path_attr = *c.path != '\0' ? "; Path=" : "";
  const char *domain_attr = *c.domain != '\0' ? "; Domain=" : "";
  int rc = ox_str_printf(line, "%s=%s%s%s%s%s%s", c.name, c.val, path_attr,
                         c.path, domain_attr, c.domain, tail);
  if (rc == 0) {
    rc = ox_strmap_add(&res->headers, MHD_HTTP_HEADER_SET_COOKIE,
                       ox_str_content(line));
  }
  ox_str_free(line);
  return rc;
}

// Opens |path| for ox_httpres_sendfile2(): |f| gets the descriptor (the
// caller's), its status, and for a regular file its validators and type.
// An absolute path goes through the server's file cache; a relative one
// follows the working directory, which may change, and is opened each
// time.  Returns 0, the error of open(), or EINVAL.
int res_open_file(ox_httpres *res, const char *path,
                  ox__cachedfile *f) noexcept {
  bool cacheable = path[0] == '/';
  if (cacheable && ox__httpfcache_get(&res->srv->files, path, f)) return 0;
  // Non-blocking, so that a FIFO cannot hold the serving thread; regular
  // files ignore the flag.
  f->fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (f->fd < 0) return errno;
  if (fstat(f->fd, &f->st) != 0) {
    close(f->fd);
    return EINVAL;
  }
  if (!S_ISREG(f->st.st_mode)) return 0;
  ox__validators_of(f->st, &f->v);
  f->type = ox__mime_of(res->srv->mimes, path);
  if (cacheable) ox__httpfcache_put(&res->srv->files, path, *f);
  return 0;
}

// The checks of the sends that take a body: NULL only with size 0.
int res_body_sendable(const ox_httpres *res, const void *buf, size_t size,
                      unsigned int status) noexcept {
  if (int rc = ox__httpres_sendable(res, status); rc != 0) return rc;
  return buf == nullptr && size != 0 ? EINVAL : 0;
}

}  // namespace

int ox_httpres_set_cookie(ox_httpres *res, const char *name,
                          const char *val) noexcept {
  return ox_httpres_set_cookie2(res, name, val, nullptr);
}

int ox_httpres_set_cookie2(ox_httpres *res, const char *name, const char *val,
                           const ox_cookie_opts *opts) noexcept {
  if (res == nullptr || name == nullptr || val == nullptr) return EINVAL;
  return cookie_add(res, cookie_of(name, val, opts, false));
}

int ox_httpres_delete_cookie(ox_httpres *res, const char *name,
                             const ox_cookie_opts *opts) noexcept {
  if (res == nullptr || name == nullptr) return EINVAL;
  // The cookie's own attributes, so that the browser matches it; only its
  // lifetime changes, to one already over.
  ox_cookie_opts ended = opts != nullptr ? *opts : cookie_defaults;
  ended.max_age = 0;
  ended.expires = 0;
  return cookie_add(res, cookie_of(name, "", &ended, true));
}

unsigned int ox_httpres_status(ox_httpres *res) noexcept {
  if (res == nullptr) return ox__einval<unsigned int>(0);
  return ox__httpres_prepared(res) ? res->status : 0;
}

int ox_httpres_replace_body(ox_httpres *res, const void *buf, size_t size,
                            const char *content_type) noexcept {
  if (res == nullptr || (buf == nullptr && size != 0)) return EINVAL;
  if (!res->filtering) return EALREADY;
  if (content_type != nullptr && !ox__header_safe(content_type)) return EINVAL;
  ox__errno_guard keep;
  // The library's own header (Allow, Location) stays with the status.
  ox__reply *r = &res->reply;
  const char *field = r->field;
  char *field_value = std::exchange(r->field_value, nullptr);
  unsigned int status = res->status;
  res_release(r);
  int rc = ox__httpres_describe_bytes(res, buf, size, content_type, status);
  if (rc != 0) {
    ox_free(field_value);
    // The reply is gone with its body: the library answers 500 instead.
    ox__httpres_describe_status(res, MHD_HTTP_INTERNAL_SERVER_ERROR);
    return rc;
  }
  r->field = field;
  r->field_value = field_value;
  return 0;
}

int ox_httpres_sendbinary(ox_httpres *res, const void *buf, size_t size,
                          const char *content_type,
                          unsigned int status) noexcept {
  if (int rc = res_body_sendable(res, buf, size, status); rc != 0) return rc;
  ox__errno_guard keep;
  return ox__httpres_describe_bytes(res, buf, size, content_type, status);
}

int ox_httpres_zsendbinary(ox_httpres *res, const void *buf, size_t size,
                           const char *content_type,
                           unsigned int status) noexcept {
  if (int rc = res_body_sendable(res, buf, size, status); rc != 0) return rc;
  ox__errno_guard keep;
  uLongf zsize = compressBound(size);
  auto *zbuf = static_cast<Bytef *>(ox__std_malloc(zsize));
  bool deflated =
      zbuf != nullptr &&
      ox__zcompress(static_cast<Bytef *>(const_cast<void *>(
                        buf != nullptr ? buf : "")),
                    size, zbuf, &zsize, Z_DEFAULT_COMPRESSION) == 0;
  // When compression fails, the plain body goes out.
  int rc = deflated ? ox__httpres_describe_bytes(res, zbuf, zsize,
                                                 content_type, status)
                    : ox__httpres_describe_bytes(res, buf, size, content_type,
                                                 status);
  free(zbuf);
  if (rc == 0) {
    ox__reply *r = &res->reply;
    r->coding = deflated ? "deflate" : nullptr;
    r->vary = true;
    r->compressible = false;
  }
  return rc;
}

int ox_httpres_sendfile2(ox_httpres *res, uint64_t block_size,
                         uint64_t max_size, uint64_t offset, const char *path,
                         const char *disposition,
                         unsigned int status) noexcept {
  // The file goes out by sendfile(), which reads no blocks of ours.
  (void)block_size;
  if (int rc = ox__httpres_sendable(res, status); rc != 0) return rc;
  if (path == nullptr) return EINVAL;
  ox__errno_guard keep;
  ox__cachedfile f;
  if (int rc = res_open_file(res, path, &f); rc != 0) return rc;
  if (!S_ISREG(f.st.st_mode) || offset > static_cast<uint64_t>(f.st.st_size)) {
    ox__cachedfile_release(&f);
    return EINVAL;
  }
  uint64_t left = static_cast<uint64_t>(f.st.st_size) - offset;
  uint64_t size = max_size != 0 && max_size < left ? max_size : left;
  struct stat st = f.st;
  int rc = ox__httpres_describe_file(res, &f, offset, size, path, disposition,
                                     status);
  if (rc == 0) ox__httpres_describe_sibling(res, -1, path, st);
  return rc;
}

int ox_httpres_sendfile(ox_httpres *res, const char *path,
                        unsigned int status) noexcept {
  return ox_httpres_sendfile2(res, 0, 0, 0, path, nullptr, status);
}

int ox_httpres_sendstream(ox_httpres *res, uint64_t size, ox_read_cb read_cb,
                          void *handle, ox_free_cb free_cb,
                          unsigned int status) noexcept {
  int rc = ox__httpres_sendable(res, status);
  if (rc == 0 && read_cb == nullptr) rc = EINVAL;
  if (rc != 0) {
    // The handle is the stream's from the call on, whatever its outcome.
    if (free_cb != nullptr) free_cb(handle);
    return rc;
  }
  ox__reply *r = res_describe(res, status, ox__body::stream);
  r->read_cb = read_cb;
  r->handle = handle;
  r->free_cb = free_cb;
  r->length = size != 0 ? size : UINT64_MAX;
  r->compressible = true;
  r->flush_each = true;
  return 0;
}

int ox_httpres_sendpush(ox_httpres *res, const char *content_type,
                        const char *ping, unsigned int status,
                        ox_push **push) noexcept {
  if (push != nullptr) *push = nullptr;
  if (int rc = ox__httpres_sendable(res, status); rc != 0) return rc;
  if (push == nullptr) return EINVAL;
  ox__errno_guard keep;
  ox__reply *r = &res->reply;
  ox_push *made = nullptr;
  int rc = res_set_type(r, content_type);
  if (rc == 0) {
    rc = ox__httppush_new(res->srv, res->con, res->conn, ping, &made);
  }
  if (rc != 0) {
    res_release(r);
    return rc;
  }
  res_describe(res, status, ox__body::push);
  r->handle = made;
  r->length = UINT64_MAX;
  *push = made;
  return 0;
}
