// Responses: each send builds the reply (copying what it is given), and the
// reply is queued from here once the request is done with, as are the
// library's own short replies.
#include "ox_httpres.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_extra.h"
#include "ox_httpcond.h"
#include "ox_httpenc.h"
#include "ox_httpfile.h"
#include "ox_httpreq.h"
#include "ox_httpsrv.h"
#include "ox_httptls.h"
#include "ox_mime.h"

namespace {

constexpr char res_cookie_attrs[] = "; Path=/; HttpOnly; SameSite=Lax";

// Marks |response| as varying with Accept-Encoding; false when the header
// could not be added.
bool res_add_vary(MHD_Response *response) noexcept {
  return MHD_add_response_header(response, MHD_HTTP_HEADER_VARY,
                                 MHD_HTTP_HEADER_ACCEPT_ENCODING) == MHD_YES;
}

// |response| marked gzip; destroyed (NULL) when the header cannot be added.
MHD_Response *res_gzip_marked(MHD_Response *response) noexcept {
  if (response != nullptr &&
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING,
                              "gzip") != MHD_YES) {
    MHD_destroy_response(response);
    return nullptr;
  }
  return response;
}

// The reply's Content-Type as the program set it in the reply headers
// (whose names compare as written, so the usual spellings are tried).
const char *res_header_type(ox_httpres *res) noexcept {
  for (const char *name : {"Content-Type", "content-type", "Content-type"}) {
    if (const char *type = ox_strmap_get(res->headers, name)) return type;
  }
  return nullptr;
}

// A reply queued while the server drains asks libmicrohttpd to close the
// connection after it, so no further request starts on it.
void res_mark_close(const ox_httpres *res, MHD_Response *response) noexcept {
  if (ox__httpres_req(res)->srv->draining.load(std::memory_order_relaxed)) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  }
}

// A stream of unknown length, counted for the access log: the library's
// reader in front of the program's.
struct res_counted_stream {
  ox_read_cb read_cb;
  ox_free_cb free_cb;
  void *handle;
  uint64_t *streamed;  // the response's count; read only while it sends
};

ssize_t res_counted_read(void *cls, uint64_t offset, char *buf,
                         size_t size) noexcept {
  auto *s = static_cast<res_counted_stream *>(cls);
  ssize_t n = s->read_cb(s->handle, offset, buf, size);
  if (n > 0) *s->streamed = offset + static_cast<uint64_t>(n);
  return n;
}

void res_counted_free(void *cls) noexcept {
  auto *s = static_cast<res_counted_stream *>(cls);
  if (s->free_cb != nullptr) s->free_cb(s->handle);
  ox_free(s);
}

// A chunked stream whose length the access log learns as it goes out;
// NULL (and |free_cb| not called) when memory runs out.
MHD_Response *res_counted_stream_of(ox_httpres *res, ox_read_cb read_cb,
                                    void *handle, ox_free_cb free_cb) noexcept {
  auto *s = static_cast<res_counted_stream *>(
      ox_alloc(sizeof(res_counted_stream)));
  if (s == nullptr) return nullptr;
  *s = {read_cb, free_cb, handle, &res->streamed};
  MHD_Response *response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, 32 * 1024, res_counted_read, s, res_counted_free);
  if (response == nullptr) ox_free(s);
  return response;
}

// The checks of the sends that take a body: NULL only with size 0.
int res_body_sendable(const ox_httpres *res, const void *buf, size_t size,
                      unsigned int status) noexcept {
  if (int rc = ox__httpres_sendable(res, status); rc != 0) return rc;
  return buf == nullptr && size != 0 ? EINVAL : 0;
}

MHD_Response *res_copy_of(const void *buf, size_t size) noexcept {
  return MHD_create_response_from_buffer(size, const_cast<void *>(buf),
                                         MHD_RESPMEM_MUST_COPY);
}

// The body raw-deflated, or NULL when compression failed; |*out| is its
// size.
MHD_Response *res_deflated(const void *buf, size_t size,
                           uint64_t *out) noexcept {
  uLongf zsize = compressBound(size);
  auto *zbuf = static_cast<Bytef *>(ox__std_malloc(zsize));
  if (zbuf == nullptr) return nullptr;
  int rc = ox__zcompress(static_cast<Bytef *>(const_cast<void *>(buf)), size,
                         zbuf, &zsize, Z_DEFAULT_COMPRESSION);
  MHD_Response *response =
      rc == 0 ? MHD_create_response_from_buffer(zsize, zbuf,
                                                MHD_RESPMEM_MUST_FREE)
              : nullptr;
  if (response == nullptr) {
    free(zbuf);
    return nullptr;
  }
  if (MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING,
                              "deflate") != MHD_YES) {
    MHD_destroy_response(response);
    return nullptr;
  }
  *out = zsize;
  return response;
}

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

// The content type of the file |path| for the server |res| answers for.
const char *res_type_of(const ox_httpres *res, const char *path) noexcept {
  const ox_httpreq *req = ox__httpres_req(res);
  return ox__mime_of(req->srv->mimes, path);
}

}  // namespace

// Content-Disposition with the base name as a quoted string: quotes and
// backslashes escaped, control bytes replaced.
int ox__httpres_add_disposition(MHD_Response *response, const char *path,
                                const char *disposition) noexcept {
  const char *base = strrchr(path, '/');
  base = base != nullptr ? base + 1 : path;
  ox_str *value = ox_str_new();
  if (value == nullptr) return ENOMEM;
  int rc = ox_str_printf(value, "%s; filename=\"", disposition);
  for (const char *p = base; rc == 0 && *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') rc = ox_str_write(value, "\\", 1);
    char out = (c < 0x20 || c == 0x7f) ? '_' : *p;
    if (rc == 0) rc = ox_str_write(value, &out, 1);
  }
  if (rc == 0) rc = ox_str_write(value, "\"", 1);
  if (rc == 0 && MHD_add_response_header(response,
                                         MHD_HTTP_HEADER_CONTENT_DISPOSITION,
                                         ox_str_content(value)) != MHD_YES) {
    rc = EINVAL;
  }
  ox_str_free(value);
  return rc;
}

namespace {

// The library's own replies: the reason phrase as a one-line body.
const char *res_status_text(unsigned int status) noexcept {
  switch (status) {
    case 400: return "Bad Request\n";
    case 403: return "Forbidden\n";
    case 404: return "Not Found\n";
    case 405: return "Method Not Allowed\n";
    case 413: return "Payload Too Large\n";
    case 501: return "Not Implemented\n";
    case 503: return "Service Unavailable\n";
    default: return "Internal Server Error\n";
  }
}

}  // namespace

void ox__httpres_seal(ox_httpres *res) noexcept {
  ox_strmap_iter(res->headers, ox__strmap_iter, res->handle);
  res_mark_close(res, res->handle);
  res->sent_status = res->status;
}

MHD_Result ox__httpres_queue(ox_httpres *res) noexcept {
  ox__httpres_seal(res);
  MHD_Result ret = MHD_queue_response(res->con, res->status, res->handle);
  MHD_destroy_response(res->handle);
  res->handle = nullptr;
  return ret;
}

MHD_Result ox__httpres_queue_status(ox_httpres *res, unsigned int status,
                                    const char *allow) noexcept {
  ox__httpres_discard(res);
  const char *text = res_status_text(status);
  MHD_Response *response = MHD_create_response_from_buffer(
      strlen(text), const_cast<char *>(text), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          "text/plain");
  if (allow != nullptr) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  }
  res_mark_close(res, response);
  res->sent_status = status;
  res->size = strlen(text);
  MHD_Result ret = MHD_queue_response(res->con, status, response);
  MHD_destroy_response(response);
  return ret;
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

void ox__httpres_discard(ox_httpres *res) noexcept {
  if (res->handle != nullptr) MHD_destroy_response(res->handle);
  res->handle = nullptr;
  res->status = MHD_HTTP_OK;
}

int ox__httpres_sendable(const ox_httpres *res, unsigned int status) noexcept {
  if (res == nullptr || status < 100 || status > 599) return EINVAL;
  return res->handle != nullptr ? EALREADY : 0;
}

int ox__httpres_commit(ox_httpres *res, MHD_Response *response,
                       const char *content_type, unsigned int status,
                       uint64_t size) noexcept {
  if (response == nullptr) return ENOMEM;
  if (content_type != nullptr && *content_type != '\0' &&
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                              content_type) != MHD_YES) {
    MHD_destroy_response(response);
    return EINVAL;
  }
  res->handle = response;
  res->status = status;
  res->size = size;
  return 0;
}

const char *ox__httpres_request_header(const ox_httpres *res,
                                       const char *name) noexcept {
  return MHD_lookup_connection_value(res->con, MHD_HEADER_KIND, name);
}

int ox__httpres_gzip_level(const ox_httpres *res, const char *type,
                           uint64_t size, bool *vary) noexcept {
  *vary = false;
  const ox_httpreq *req = ox__httpres_req(res);
  int level = req->srv->gzip_level;
  if (level == 0 || !ox__mime_compressible(type)) return 0;
  // A program that coded the body itself says so; it is left alone.
  if (ox_strmap_get(res->headers, MHD_HTTP_HEADER_CONTENT_ENCODING) != nullptr)
    return 0;
  *vary = true;
  if (size < ox__gzip_min_size) return 0;
  return ox__accept_gzip(ox__httpres_request_header(
             res, MHD_HTTP_HEADER_ACCEPT_ENCODING))
             ? level
             : 0;
}

ox_strmap **ox_httpres_headers(ox_httpres *res) noexcept {
  if (res == nullptr) return ox__einval<ox_strmap **>(nullptr);
  return &res->headers;
}

int ox_httpres_set_cookie(ox_httpres *res, const char *name,
                          const char *val) noexcept {
  if (res == nullptr || name == nullptr || val == nullptr || *name == '\0' ||
      !cookie_valid(name, true) || !cookie_valid(val, false)) {
    return EINVAL;
  }
  ox_str *cookie = ox_str_new();
  if (cookie == nullptr) return ENOMEM;
  int rc = ox_str_printf(cookie, "%s=%s%s", name, val, res_cookie_attrs);
  if (rc == 0) {
    rc = ox_strmap_add(&res->headers, MHD_HTTP_HEADER_SET_COOKIE,
                       ox_str_content(cookie));
  }
  ox_str_free(cookie);
  return rc;
}

int ox_httpres_sendbinary(ox_httpres *res, const void *buf, size_t size,
                          const char *content_type,
                          unsigned int status) noexcept {
  if (int rc = res_body_sendable(res, buf, size, status); rc != 0) return rc;
  ox__errno_guard keep;
  bool vary;
  int level = ox__httpres_gzip_level(res, content_type, size, &vary);
  uint64_t body_size = size;
  MHD_Response *response =
      level != 0
          ? res_gzip_marked(ox__gzip_buffer(buf, size, level, &body_size))
          : res_copy_of(buf, size);
  if (response != nullptr && vary && !res_add_vary(response)) {
    MHD_destroy_response(response);
    response = nullptr;
  }
  return ox__httpres_commit(res, response, content_type, status, body_size);
}

int ox_httpres_zsendbinary(ox_httpres *res, const void *buf, size_t size,
                           const char *content_type,
                           unsigned int status) noexcept {
  if (int rc = res_body_sendable(res, buf, size, status); rc != 0) return rc;
  ox__errno_guard keep;
  uint64_t body_size = size;
  MHD_Response *response =
      res_deflated(buf != nullptr ? buf : "", size, &body_size);
  if (response == nullptr) response = res_copy_of(buf, size);
  if (response != nullptr) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_VARY,
                            MHD_HTTP_HEADER_ACCEPT_ENCODING);
  }
  return ox__httpres_commit(res, response, content_type, status, body_size);
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
  // Non-blocking, so that a FIFO cannot hold the serving thread; regular
  // files ignore the flag.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      offset > static_cast<uint64_t>(st.st_size)) {
    close(fd);
    return EINVAL;
  }
  // The whole file as a 200 is what HTTP's validators and ranges describe.
  if (offset == 0 && max_size == 0 && status == MHD_HTTP_OK) {
    return ox__httpfile_send(res, fd, st, res_type_of(res, path), path,
                             disposition);
  }
  uint64_t left = static_cast<uint64_t>(st.st_size) - offset;
  uint64_t size = max_size != 0 && max_size < left ? max_size : left;
  // From here the response owns |fd|.
  MHD_Response *response =
      MHD_create_response_from_fd_at_offset64(size, fd, offset);
  if (response == nullptr) {
    close(fd);
    return ENOMEM;
  }
  if (disposition != nullptr) {
    if (int rc = ox__httpres_add_disposition(response, path, disposition);
        rc != 0) {
      MHD_destroy_response(response);
      return rc;
    }
  }
  return ox__httpres_commit(res, response, res_type_of(res, path), status,
                            size);
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
  ox__errno_guard keep;
  bool vary;
  int level = ox__httpres_gzip_level(res, res_header_type(res),
                                     size != 0 ? size : UINT64_MAX, &vary);
  // A stream whose length is unknown until its end is counted as it goes
  // out, for the access log (when there is one).
  res->streamed = 0;
  uint64_t *counter = res->logged ? &res->streamed : nullptr;
  // ox_read_cb and ox_free_cb have libmicrohttpd's own reader shapes.
  MHD_Response *response;
  if (level != 0) {
    response = ox__gzip_stream(read_cb, handle, free_cb, level, true, counter);
    // Once built, the reply owns the handle: a failure from here on must
    // not release it a second time.
    if (response != nullptr && res_gzip_marked(response) == nullptr) {
      return ENOMEM;
    }
  } else if (size == 0 && counter != nullptr) {
    response = res_counted_stream_of(res, read_cb, handle, free_cb);
  } else {
    response = MHD_create_response_from_callback(
        size != 0 ? size : MHD_SIZE_UNKNOWN, 32 * 1024, read_cb, handle,
        free_cb);
  }
  if (response == nullptr) {
    if (free_cb != nullptr) free_cb(handle);
    return ENOMEM;
  }
  if (vary && !res_add_vary(response)) {
    // The handle goes with the reply.
    MHD_destroy_response(response);
    return ENOMEM;
  }
  return ox__httpres_commit(res, response, nullptr, status,
                            level == 0 && size != 0 ? size : UINT64_MAX);
}
