// File replies: the validators go on every reply about the file, the
// conditional headers are answered before any byte is read, and the body
// leaves by sendfile() unless it is gzipped on its way out.
#include "ox_httpfile.h"

#include <microhttpd.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ox_httpcond.h"
#include "ox_httpenc.h"
#include "ox_httpreq.h"
#include "ox_httpres.h"

namespace {

// The descriptor rides in the stream handle itself: no record to allocate.
void *file_handle(int fd) noexcept {
  return reinterpret_cast<void *>(static_cast<intptr_t>(fd));
}

int file_fd(void *handle) noexcept {
  return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

// The file's bytes for the gzip stream, read at |pos|.
ssize_t file_read(void *cls, uint64_t pos, char *buf, size_t max) noexcept {
  ssize_t n = pread(file_fd(cls), buf, max, static_cast<off_t>(pos));
  if (n > 0) return n;
  if (n == 0) return MHD_CONTENT_READER_END_OF_STREAM;
  return errno == EINTR ? 0 : MHD_CONTENT_READER_END_WITH_ERROR;
}

void file_close(void *cls) noexcept { close(file_fd(cls)); }

// A reply under construction: each header that cannot be added makes it
// fail as a whole, since a reply without its validators would be wrong.
class file_reply {
 public:
  explicit file_reply(MHD_Response *response) noexcept : response_(response) {}
  ~file_reply() {
    if (response_ != nullptr) MHD_destroy_response(response_);
  }
  file_reply(const file_reply &) = delete;
  file_reply &operator=(const file_reply &) = delete;

  void add(const char *name, const char *value) noexcept {
    if (response_ != nullptr &&
        MHD_add_response_header(response_, name, value) != MHD_YES) {
      MHD_destroy_response(response_);
      response_ = nullptr;
    }
  }

  void add_disposition(const char *name, const char *disposition) noexcept {
    if (response_ != nullptr && disposition != nullptr &&
        ox__httpres_add_disposition(response_, name, disposition) != 0) {
      MHD_destroy_response(response_);
      response_ = nullptr;
    }
  }

  // Hands the reply over (NULL when something failed).
  MHD_Response *release() noexcept {
    MHD_Response *response = response_;
    response_ = nullptr;
    return response;
  }

 private:
  MHD_Response *response_;
};

bool file_method_is(const ox_httpreq *req, const char *method) noexcept {
  return req->method != nullptr && strcmp(req->method, method) == 0;
}

ox__cond_request file_request(const ox_httpres *res) noexcept {
  const ox_httpreq *req = ox__httpres_req(res);
  bool head = file_method_is(req, MHD_HTTP_METHOD_HEAD);
  return {
      head || file_method_is(req, MHD_HTTP_METHOD_GET),
      head,
      ox__httpres_request_header(res, MHD_HTTP_HEADER_IF_MATCH),
      ox__httpres_request_header(res, MHD_HTTP_HEADER_IF_UNMODIFIED_SINCE),
      ox__httpres_request_header(res, MHD_HTTP_HEADER_IF_NONE_MATCH),
      ox__httpres_request_header(res, MHD_HTTP_HEADER_IF_MODIFIED_SINCE),
      ox__httpres_request_header(res, MHD_HTTP_HEADER_RANGE),
      ox__httpres_request_header(res, MHD_HTTP_HEADER_IF_RANGE),
  };
}

// The headers that describe the file on every reply about it.
void file_add_validators(file_reply &reply, const ox__validators &v,
                         const char *etag, bool vary) noexcept {
  reply.add(MHD_HTTP_HEADER_ETAG, etag);
  reply.add(MHD_HTTP_HEADER_LAST_MODIFIED, v.last_modified);
  if (vary) {
    reply.add(MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING);
  }
}

int file_not_modified(ox_httpres *res, int fd, const ox__validators &v,
                      const char *etag, bool vary) noexcept {
  close(fd);
  file_reply reply(MHD_create_response_from_buffer(
      0, const_cast<char *>(""), MHD_RESPMEM_PERSISTENT));
  file_add_validators(reply, v, etag, vary);
  return ox__httpres_commit(res, reply.release(), nullptr,
                            MHD_HTTP_NOT_MODIFIED, 0);
}

int file_unsatisfiable(ox_httpres *res, int fd,
                       const ox__validators &v) noexcept {
  close(fd);
  static const char text[] = "Range Not Satisfiable\n";
  file_reply reply(MHD_create_response_from_buffer(
      sizeof(text) - 1, const_cast<char *>(text), MHD_RESPMEM_PERSISTENT));
  char range[48];
  snprintf(range, sizeof(range), "bytes */%" PRIu64, v.size);
  reply.add(MHD_HTTP_HEADER_CONTENT_RANGE, range);
  return ox__httpres_commit(res, reply.release(), "text/plain; charset=utf-8",
                            MHD_HTTP_RANGE_NOT_SATISFIABLE, sizeof(text) - 1);
}

int file_precondition_failed(ox_httpres *res, int fd) noexcept {
  close(fd);
  static const char text[] = "Precondition Failed\n";
  file_reply reply(MHD_create_response_from_buffer(
      sizeof(text) - 1, const_cast<char *>(text), MHD_RESPMEM_PERSISTENT));
  return ox__httpres_commit(res, reply.release(), "text/plain; charset=utf-8",
                            MHD_HTTP_PRECONDITION_FAILED, sizeof(text) - 1);
}

int file_partial(ox_httpres *res, int fd, const ox__validators &v,
                 const ox__range &range, const char *type, const char *name,
                 const char *disposition, bool vary) noexcept {
  MHD_Response *response = MHD_create_response_from_fd_at_offset64(
      range.last - range.first + 1, fd, range.first);
  if (response == nullptr) {
    close(fd);
    return ENOMEM;
  }
  file_reply reply(response);
  char content_range[80];
  snprintf(content_range, sizeof(content_range),
           "bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, range.first, range.last,
           v.size);
  reply.add(MHD_HTTP_HEADER_CONTENT_RANGE, content_range);
  reply.add(MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
  file_add_validators(reply, v, v.etag, vary);
  reply.add_disposition(name, disposition);
  return ox__httpres_commit(res, reply.release(), type,
                            MHD_HTTP_PARTIAL_CONTENT,
                            range.last - range.first + 1);
}

int file_full(ox_httpres *res, int fd, const ox__validators &v,
              const char *etag, const char *type, const char *name,
              const char *disposition, int level, bool vary) noexcept {
  // Identity goes out by sendfile(); gzip through the stream, which counts
  // what it sends for the access log.
  res->streamed = 0;
  MHD_Response *response =
      level == 0
          ? MHD_create_response_from_fd64(v.size, fd)
          : ox__gzip_stream(file_read, file_handle(fd), file_close, level,
                            false, res->logged ? &res->streamed : nullptr);
  if (response == nullptr) {
    close(fd);
    return ENOMEM;
  }
  file_reply reply(response);
  if (level != 0) reply.add(MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
  reply.add(MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
  file_add_validators(reply, v, etag, vary);
  reply.add_disposition(name, disposition);
  return ox__httpres_commit(res, reply.release(), type, MHD_HTTP_OK,
                            level == 0 ? v.size : UINT64_MAX);
}

}  // namespace

int ox__httpfile_send(ox_httpres *res, int fd, const struct stat &st,
                      const char *type, const char *name,
                      const char *disposition) noexcept {
  ox__validators v;
  ox__validators_of(st, &v);
  bool vary;
  int level = ox__httpres_gzip_level(res, type, v.size, &vary);
  // A gzipped body is other bytes than the file's, so it has a tag of its
  // own, and the conditional headers are weighed against the tag this
  // reply would carry.
  char gzip_etag[sizeof(v.etag) + 4];
  const char *etag = v.etag;
  if (level != 0) {
    ox__etag_gzip(v.etag, gzip_etag);
    etag = gzip_etag;
  }
  ox__range range{};
  ox__cond cond = ox__cond_evaluate(file_request(res), v, etag, &range);
  switch (cond) {
    case ox__cond::not_modified:
      return file_not_modified(res, fd, v, etag, vary);
    case ox__cond::unsatisfiable:
      return file_unsatisfiable(res, fd, v);
    case ox__cond::precondition_failed:
      return file_precondition_failed(res, fd);
    case ox__cond::partial:
      // A range is of the identity bytes: never compressed.
      return file_partial(res, fd, v, range, type, name, disposition, vary);
    default:
      return file_full(res, fd, v, etag, type, name, disposition, level,
                       vary);
  }
}
