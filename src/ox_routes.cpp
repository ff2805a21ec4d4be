// Route list: compiles each pattern once, anchored to the whole path; the
// getters and capture iterators read what the router's last match left.
#include "ox_routes.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_error.h"

namespace {

struct code_free {
  void operator()(pcre2_code_8 *c) const noexcept { pcre2_code_free_8(c); }
};
struct match_data_free {
  void operator()(pcre2_match_data_8 *m) const noexcept {
    pcre2_match_data_free_8(m);
  }
};
using code_ptr = std::unique_ptr<pcre2_code_8, code_free>;
using match_data_ptr = std::unique_ptr<pcre2_match_data_8, match_data_free>;
using route_ptr = std::unique_ptr<ox_route, ox__free_deleter>;
using text_ptr = std::unique_ptr<char, ox__free_deleter>;

// Compile options: the pattern must cover the whole path, which the anchor
// options do without rewriting the pattern text (a wrapper such as
// "^(?:...)$" would let "a)|(b" escape it).  Paths are bytes from the
// network and the JIT fast path skips UTF checks, so UTF mode stays off
// even when the pattern asks for it.
constexpr uint32_t route_compile_options =
    PCRE2_ANCHORED | PCRE2_ENDANCHORED | PCRE2_NEVER_UTF;

// Writes into |why| (unless NULL) what PCRE2 said of |pattern|: its
// message for |error|, and |offset| when it is where the pattern failed.
void route_explain(const char *pattern, int error, PCRE2_SIZE offset, bool at,
                   char *why, size_t why_size) noexcept {
  if (why == nullptr || why_size == 0) return;
  char message[160], shown[256];
  auto *text = reinterpret_cast<PCRE2_UCHAR8 *>(message);
  if (pcre2_get_error_message_8(error, text, sizeof message) < 0) {
    snprintf(message, sizeof message, "PCRE2 error %d", error);
  }
  ox__escape(pattern, shown, sizeof shown);
  if (at) {
    snprintf(why, why_size,
             "the pattern \"%s\" does not compile at offset %zu: %s", shown,
             static_cast<size_t>(offset), message);
  } else {
    snprintf(why, why_size, "the pattern \"%s\" cannot be JIT-compiled: %s",
             shown, message);
  }
}

int route_compile(const char *pattern, code_ptr &out, char *why = nullptr,
                  size_t why_size = 0) noexcept {
  int error = 0;
  PCRE2_SIZE offset = 0;
  code_ptr code{pcre2_compile_8(reinterpret_cast<PCRE2_SPTR8>(pattern),
                                PCRE2_ZERO_TERMINATED, route_compile_options,
                                &error, &offset, nullptr)};
  if (!code) {
    route_explain(pattern, error, offset, true, why, why_size);
    return error == PCRE2_ERROR_NOMEMORY ? ENOMEM : EINVAL;
  }
  if (int rc = pcre2_jit_compile_8(code.get(), PCRE2_JIT_COMPLETE); rc != 0) {
    route_explain(pattern, rc, 0, false, why, why_size);
    return ox__from_pcre2(rc);
  }
  out = std::move(code);
  return 0;
}

void route_free(ox_route *route) noexcept {
  pcre2_match_data_free_8(route->match);
  pcre2_code_free_8(route->re);
  ox_free(route->pattern);
  ox_free(route);
}

// Whether group |n| (1-based) took part in the route's last match.
bool route_group_set(const ox_route *route, uint32_t n) noexcept {
  if (route->rc <= 0 || n >= static_cast<uint32_t>(route->rc)) return false;
  return route->ovector[2 * n] != PCRE2_UNSET;
}

// Calls |fn| with the NUL-terminated text of group |n|.  Short captures are
// copied to the stack; longer ones to the heap.
template <typename Fn>
int route_with_group(const ox_route *route, uint32_t n, Fn fn) noexcept {
  PCRE2_SIZE start = route->ovector[2 * n];
  PCRE2_SIZE end = route->ovector[2 * n + 1];
  size_t len = end > start ? end - start : 0;
  char small[256];
  text_ptr large;
  char *text = small;
  if (len >= sizeof(small)) {
    large.reset(static_cast<char *>(ox_alloc(len + 1)));
    if (!large) return ENOMEM;
    text = large.get();
  }
  memcpy(text, route->path + start, len);
  text[len] = '\0';
  return fn(text);
}

}  // namespace

int ox__routes_compile(const char *pattern, pcre2_code_8 **out, char *why,
                       size_t why_size) noexcept {
  code_ptr code;
  if (int rc = route_compile(pattern, code, why, why_size); rc != 0) return rc;
  *out = code.release();
  return 0;
}

int ox__routes_match(const pcre2_code_8 *re, const char *path, size_t len,
                     pcre2_match_data_8 *match,
                     pcre2_match_context_8 *context) noexcept {
  return pcre2_jit_match_8(re, reinterpret_cast<PCRE2_SPTR8>(path), len, 0, 0,
                           match, context);
}

int ox_routes_add(ox_route **routes, const char *pattern, ox_route_cb cb,
                  void *cls) noexcept {
  if (routes == nullptr || pattern == nullptr || cb == nullptr) return EINVAL;
  ox__errno_guard keep;
  code_ptr code;
  if (int rc = route_compile(pattern, code); rc != 0) return rc;
  match_data_ptr match{
      pcre2_match_data_create_from_pattern_8(code.get(), nullptr)};
  route_ptr route{static_cast<ox_route *>(
      ox__alloc_aligned(alignof(ox_route), sizeof(ox_route)))};
  text_ptr text{ox__strdup(pattern)};
  if (!match || !route || !text) return ENOMEM;
  route->re = code.release();
  route->match = match.release();
  route->ovector = pcre2_get_ovector_pointer_8(route->match);
  route->cb = cb;
  route->cls = cls;
  route->pattern = text.release();
  ox_route **tail = routes;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = route.release();
  return 0;
}

int ox_routes_cleanup(ox_route **routes) noexcept {
  if (routes == nullptr) return EINVAL;
  ox_route *route = *routes;
  while (route != nullptr) {
    ox_route *next = route->next;
    route_free(route);
    route = next;
  }
  *routes = nullptr;
  return 0;
}

const char *ox_route_path(ox_route *route) noexcept {
  if (route == nullptr) return ox__einval<const char *>(nullptr);
  return route->path;
}

void *ox_route_user_data(ox_route *route) noexcept {
  if (route == nullptr) return ox__einval<void *>(nullptr);
  return route->user_data;
}

int ox_route_vars_iter(ox_route *route, ox_route_vars_iter_cb cb,
                       void *cls) noexcept {
  if (route == nullptr || cb == nullptr) return EINVAL;
  if (route->rc <= 0 || route->path == nullptr) return 0;
  uint32_t count = 0, entry_size = 0;
  PCRE2_SPTR8 table = nullptr;
  pcre2_pattern_info_8(route->re, PCRE2_INFO_NAMECOUNT, &count);
  if (count == 0) return 0;
  pcre2_pattern_info_8(route->re, PCRE2_INFO_NAMEENTRYSIZE, &entry_size);
  pcre2_pattern_info_8(route->re, PCRE2_INFO_NAMETABLE, &table);
  // The name table is sorted by name; visit it in group order instead, by
  // picking the next larger group number each round (there are few).
  uint32_t last = 0;
  for (uint32_t round = 0; round < count; round++) {
    const unsigned char *next = nullptr;
    uint32_t next_group = UINT32_MAX;
    for (uint32_t i = 0; i < count; i++) {
      const unsigned char *entry = table + i * entry_size;
      uint32_t group = (uint32_t{entry[0]} << 8) | entry[1];
      if (group > last && group < next_group) {
        next_group = group;
        next = entry;
      }
    }
    if (next == nullptr) break;
    last = next_group;
    if (!route_group_set(route, next_group)) continue;
    const char *name = reinterpret_cast<const char *>(next + 2);
    int rc = route_with_group(route, next_group, [&](const char *val) {
      return cb(cls, name, val);
    });
    if (rc != 0) return rc;
  }
  return 0;
}

int ox_route_segments_iter(ox_route *route, ox_route_segments_iter_cb cb,
                           void *cls) noexcept {
  if (route == nullptr || cb == nullptr) return EINVAL;
  if (route->rc <= 0 || route->path == nullptr) return 0;
  for (uint32_t n = 1; n < static_cast<uint32_t>(route->rc); n++) {
    if (!route_group_set(route, n)) continue;
    int rc = route_with_group(route, n, [&](const char *segment) {
      return cb(cls, n - 1, segment);
    });
    if (rc != 0) return rc;
  }
  return 0;
}
