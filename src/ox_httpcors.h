// Cross-origin resource sharing: which origins a browser may let call the
// server, the answer to their preflight requests, and the headers every
// reply to an allowed origin carries (the library's own refusals too, so a
// page sees a 404 as a 404 rather than as a failed cross-origin call).
#ifndef OX_HTTPCORS_H
#define OX_HTTPCORS_H

#include <cstddef>

#include "ombrix.h"

// The server's copy of what ox_httpsrv_set_cors() was given.
struct ox__cors {
  char **origins = nullptr;  // exact origins, |norigins| of them
  size_t norigins = 0;
  bool any = false;          // "*": every origin
  bool (*origin_cb)(void *cls, const char *origin) = nullptr;
  void *origin_cls = nullptr;
  char *methods = nullptr;   // Access-Control-Allow-Methods
  char *headers = nullptr;   // ...-Allow-Headers; NULL: what is asked for
  char *expose = nullptr;    // ...-Expose-Headers; NULL: none
  bool credentials = false;  // ...-Allow-Credentials: true
  unsigned int max_age = 0;  // ...-Max-Age in seconds; 0: none
};

// Checks |in| and copies it into a new record.  Returns 0, EINVAL (no
// origin and no predicate, or a text that cannot be a header value), or
// ENOMEM.
int ox__cors_make(const ox_cors *in, ox__cors **out) noexcept;

void ox__cors_free(ox__cors *cors) noexcept;

// True when a browser at |origin| (the Origin header; NULL: none) may read
// the server's replies.
bool ox__cors_allowed(const ox__cors *cors, const char *origin) noexcept;

// Describes the answer to the preflight of |origin| (allowed), asking for
// the headers |asked| (Access-Control-Request-Headers; may be NULL): 204
// with what the browser may send.  Returns 0 or ENOMEM.
int ox__cors_preflight(const ox__cors *cors, const char *origin,
                       const char *asked, ox_httpres *res) noexcept;

// Adds to the reply |res| the headers that let the page at |origin|
// (allowed) read it.
void ox__cors_decorate(const ox__cors *cors, const char *origin,
                       ox_httpres *res) noexcept;

#endif  // OX_HTTPCORS_H
