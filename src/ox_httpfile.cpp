// File readers: pread() at the position asked, so that one reader serves a
// reply however libmicrohttpd asks for its pieces.
#include "ox_httpfile.h"

#include <microhttpd.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>

#include "ox_alloc.h"
#include "ox_error.h"
#include "ox_httpsrv.h"

namespace {

struct file_reader {
  int fd;
  uint64_t offset;   // where the body starts in the file
  uint64_t length;   // bytes the reply announced
  ox_httpsrv *srv;   // told when the file ends early
};

}  // namespace

void *ox__httpfile_reader(int fd, uint64_t offset, uint64_t length,
                          ox_httpsrv *srv) noexcept {
  auto *r = static_cast<file_reader *>(ox_alloc(sizeof(file_reader)));
  if (r != nullptr) *r = {fd, offset, length, srv};
  return r;
}

ssize_t ox__httpfile_read(void *reader, uint64_t pos, char *buf,
                          size_t max) noexcept {
  auto *r = static_cast<file_reader *>(reader);
  if (pos >= r->length) return MHD_CONTENT_READER_END_OF_STREAM;
  uint64_t left = r->length - pos;
  if (max > left) max = static_cast<size_t>(left);
  if (max > SSIZE_MAX) max = SSIZE_MAX;
  ssize_t n = pread(r->fd, buf, max, static_cast<off_t>(r->offset + pos));
  if (n > 0) return n;
  if (n < 0 && errno == EINTR) return 0;
  // Shorter than announced: the client must see a broken reply, not a
  // complete one that lacks the end.
  ox__httpfile_report_short(r->srv, r->fd, pos, r->length);
  return MHD_CONTENT_READER_END_WITH_ERROR;
}

void ox__httpfile_close(void *reader) noexcept {
  auto *r = static_cast<file_reader *>(reader);
  close(r->fd);
  ox_free(r);
}

void ox__httpfile_report_short(ox_httpsrv *srv, int fd, uint64_t at,
                               uint64_t length) noexcept {
  int saved = errno;
  char link[64], name[PATH_MAX], shown[512];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, name, sizeof name - 1);
  name[n > 0 ? n : 0] = '\0';
  ox__httpsrv_error(srv,
                    "file %s ended at byte %" PRIu64 " of the %" PRIu64
                    " its reply announced; the reply is cut off",
                    ox__escape(n > 0 ? name : "(unknown)", shown, sizeof shown),
                    at, length);
  errno = saved;
}
