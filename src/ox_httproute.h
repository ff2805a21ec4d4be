// The server's route table: (method, pattern, callback) in the order they
// were added.  It is only read once the server listens, and each thread
// matches with match data of its own, so every serving thread dispatches
// at once without a lock and without allocating.
#ifndef OX_HTTPROUTE_H
#define OX_HTTPROUTE_H

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstddef>
#include <cstdint>

#include "ombrix.h"

// Capture groups a server route may have: a request keeps the offsets of
// all of them in its own record, so that captures need no allocation and
// outlive the dispatch (an isolated callback reads them on another thread).
constexpr uint32_t ox__httproute_groups_max = 16;

// Methods a 405's Allow header can list from one pass over the routes;
// more distinct methods on one path make a second pass.
constexpr uint32_t ox__httproute_allow_max = 8;

// The matcher's budget for one pattern against one path, by default: far
// above what ordinary patterns need on any path (a few thousand steps at
// most), while a pattern that backtracks without end stops within a
// millisecond or so instead of taking a second of CPU per request.
constexpr uint32_t ox__httproute_match_limit = 100000;

struct ox__httproute {
  char *method;       // compared exactly; "*" takes any method
  char *pattern;      // the pattern as added, for error messages
  pcre2_code_8 *re;   // anchored to the whole path and JIT-compiled
  ox_httpreq_cb cb;   // answers the requests the route takes
  void *cls;          // handed to |cb|
};

// The table: an array that grows while routes are added.
struct ox__httproutes {
  ox__httproute *list;
  size_t count;
};

// Where a request's method and path led.
struct ox__httproutematch {
  const ox__httproute *route;  // the route that takes the request, or NULL
  const ox__httproute *spent;  // the route whose pattern ran out of its
                               // matching budget on the path, or NULL
  bool path_matched;           // a route matched the path, whatever method
  uint8_t nallow;              // methods in |allow|; more than fit: the max
                               // plus one, and the Allow header is made anew
  uint32_t pairs;              // pairs of |ovector| the match set
  // The methods of the routes that matched the path but not the method, in
  // route order, each once: the Allow header of a 405.
  const char *allow[ox__httproute_allow_max];
  // Start and end of each group, group 0 (the whole path) first; UINT32_MAX
  // for a group that took no part in the match.
  uint32_t ovector[2 * (ox__httproute_groups_max + 1)];
};

// Appends a route.  Returns 0, EINVAL (a pattern that does not compile or
// has too many groups), ENOTSUP (no JIT) or ENOMEM; on failure nothing is
// added, and |why| (|why_size| bytes, unless NULL) says why.
int ox__httproutes_add(ox__httproutes *routes, const char *method,
                       const char *pattern, ox_httpreq_cb cb, void *cls,
                       char *why = nullptr, size_t why_size = 0) noexcept;

// Releases every route.
void ox__httproutes_free(ox__httproutes *routes) noexcept;

// Finds the first route that matches |path| whole and takes |method| (GET
// routes take HEAD too), each pattern matched within |limit| steps.  When
// none takes it, |out| lists the methods of the routes that matched.
// Returns 0; ENOMEM when this thread's match data could not be made (once
// per thread); E2BIG when a pattern ran out of its budget on |path|
// (|out->spent| is the route whose pattern did), so
// that such a path is answered the same way whatever the other routes do.
int ox__httproutes_find(const ox__httproutes *routes, const char *method,
                        const char *path, uint32_t limit,
                        ox__httproutematch *out) noexcept;

// The value of the Allow header of a 405 for |path|, which |match| (made
// by ox__httproutes_find() for it) found routes for: their methods in
// route order, HEAD after GET.  A new block (ox_free it), or NULL when
// memory runs out.  Only a 405 reply asks, so it may allocate.
char *ox__httproutes_allow(const ox__httproutes *routes,
                           const ox__httproutematch *match, const char *path,
                           uint32_t limit) noexcept;

// The text group |group| of |match| captured of |path|, or NULL.
const char *ox__httproutematch_group(const ox__httproutematch *match,
                                     const char *path, uint32_t group,
                                     size_t *len) noexcept;

// The text the group named |name| captured, or NULL.
const char *ox__httproutematch_var(const ox__httproutematch *match,
                                   const char *path, const char *name,
                                   size_t *len) noexcept;

#endif  // OX_HTTPROUTE_H
