// Files as replies: validators, conditional requests, single byte ranges,
// HEAD, and gzip when the server compresses; identity bodies go out by
// sendfile() straight from the descriptor.
#ifndef OX_HTTPFILE_H
#define OX_HTTPFILE_H

#include <sys/stat.h>

#include "ombrix.h"

// Builds the reply of |res| from the open regular file |fd| (|st| its
// status) of content type |type|, as HTTP answers a GET or HEAD for it:
// 200 (gzipped when the server compresses and the client accepts it), 304,
// 206 or 416.  |disposition| (may be NULL) names the Content-Disposition,
// with the base name of |name| as its file name.  Takes |fd| whatever the
// outcome.  Returns 0, or ENOMEM.
int ox__httpfile_send(ox_httpres *res, int fd, const struct stat &st,
                      const char *type, const char *name,
                      const char *disposition) noexcept;

#endif  // OX_HTTPFILE_H
