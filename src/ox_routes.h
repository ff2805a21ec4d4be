// The route record: a compiled pattern, its match data, its callback and
// what the router's last attempt on it left.
#ifndef OX_ROUTES_H
#define OX_ROUTES_H

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "ombrix.h"

// What a dispatch reads and writes of every route it tries (next, re,
// match, rc) comes first, and records are cache-line aligned, so a dispatch
// touches one line per route.
struct alignas(64) ox_route {
  ox_route *next;              // next route of the list; NULL in the last
  pcre2_code_8 *re;            // the pattern, compiled anchored and JIT-compiled
  pcre2_match_data_8 *match;   // the route's own match data, reused by dispatches
  int rc;                      // the matcher's result of the last attempt
  PCRE2_SIZE *ovector;         // the output vector of |match|
  ox_route_cb cb;              // run when a dispatched path matches
  void *cls;                   // handed to |cb|
  void *user_data;             // the last matching dispatch's user data
  const char *path;            // the last matching dispatch's path (not a copy)
  char *pattern;               // a copy of the pattern text
};

// Compiles |pattern| as every route is compiled (anchored to the whole
// path, bytes, JIT) into |*out|.  Returns 0, EINVAL (does not compile),
// ENOTSUP (no JIT) or ENOMEM; on failure |why| (|why_size| bytes, unless
// NULL) says why, with PCRE2's message and where in the pattern it stopped.
int ox__routes_compile(const char *pattern, pcre2_code_8 **out,
                       char *why = nullptr, size_t why_size = 0) noexcept;

// Matches the pattern |re| (compiled by ox__routes_compile()) against the
// |len| bytes of |path| into |match|, under the limits of |context| (NULL:
// PCRE2's own): the matching core of the router and of server routes.
// Returns PCRE2's result: the pairs set (0: more than |match| holds),
// PCRE2_ERROR_NOMATCH, or another negative code when the matcher gave up
// (its budget spent, its stack full).
int ox__routes_match(const pcre2_code_8 *re, const char *path, size_t len,
                     pcre2_match_data_8 *match,
                     pcre2_match_context_8 *context) noexcept;

#endif  // OX_ROUTES_H
