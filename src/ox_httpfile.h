// File bodies that cannot leave by sendfile() (gzipped, or through TLS):
// read piece by piece, and broken off when the file turns out shorter than
// it was when the reply began.  A truncated file must never pass for a
// complete, shorter reply.
#ifndef OX_HTTPFILE_H
#define OX_HTTPFILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "ombrix.h"

// A reader of |length| bytes of the file |fd| from |offset|, in
// libmicrohttpd's reader shape (ox__httpfile_read, ox__httpfile_close).  It
// owns |fd| once made; NULL when memory runs out (|fd| is then the
// caller's).  A file that ends early is told to |srv|'s error callback.
void *ox__httpfile_reader(int fd, uint64_t offset, uint64_t length,
                          ox_httpsrv *srv) noexcept;
ssize_t ox__httpfile_read(void *reader, uint64_t pos, char *buf,
                          size_t max) noexcept;
void ox__httpfile_close(void *reader) noexcept;

// Tells |srv|'s error callback that the file open as |fd| ended at |at| of
// the |length| bytes its reply announced, naming the file.
void ox__httpfile_report_short(ox_httpsrv *srv, int fd, uint64_t at,
                               uint64_t length) noexcept;

#endif  // OX_HTTPFILE_H
