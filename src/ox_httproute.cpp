// Server routes: compiled once as the router compiles its patterns, matched
// with match data that belongs to the calling thread, and read by every
// serving thread at once.
#include "ox_httproute.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_routes.h"

namespace {

struct match_data_free {
  void operator()(pcre2_match_data_8 *m) const noexcept {
    pcre2_match_data_free_8(m);
  }
};
using match_data_ptr = std::unique_ptr<pcre2_match_data_8, match_data_free>;

// This thread's match data, made on its first match and released when the
// thread ends: large enough for any route of any server.
pcre2_match_data_8 *route_thread_match_data() noexcept {
  thread_local match_data_ptr match;
  if (!match) {
    match.reset(
        pcre2_match_data_create_8(ox__httproute_groups_max + 1, nullptr));
  }
  return match.get();
}

bool route_takes(const ox__httproute *route, const char *method) noexcept {
  const char *m = route->method;
  if (m[0] == '*' && m[1] == '\0') return true;
  if (strcmp(m, method) == 0) return true;
  // A GET route answers HEAD: libmicrohttpd leaves the body out.
  return strcmp(m, "GET") == 0 && strcmp(method, "HEAD") == 0;
}

// Matches |route| against |path|; the number of pairs set, or 0 for no
// match (a matcher error, a hit match limit, counts as none).
int route_match(const ox__httproute *route, const char *path, size_t len,
                pcre2_match_data_8 *match) noexcept {
  int rc = pcre2_jit_match_8(route->re, reinterpret_cast<PCRE2_SPTR8>(path),
                             len, 0, 0, match, nullptr);
  return rc > 0 ? rc : 0;
}

void route_keep_offsets(const PCRE2_SIZE *ovector, int pairs,
                        ox__httproutematch *out) noexcept {
  out->pairs = static_cast<uint32_t>(pairs);
  for (int i = 0; i < 2 * pairs; i++) {
    PCRE2_SIZE at = ovector[i];
    out->ovector[i] = at > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(at);
  }
}

void route_free(ox__httproute *route) noexcept {
  pcre2_code_free_8(route->re);
  ox_free(route->method);
}

}  // namespace

int ox__httproutes_add(ox__httproutes *routes, const char *method,
                       const char *pattern, ox_httpreq_cb cb,
                       void *cls) noexcept {
  ox__httproute route{};
  if (int rc = ox__routes_compile(pattern, &route.re); rc != 0) return rc;
  uint32_t groups = 0;
  pcre2_pattern_info_8(route.re, PCRE2_INFO_CAPTURECOUNT, &groups);
  if (groups > ox__httproute_groups_max) {
    route_free(&route);
    return EINVAL;
  }
  route.method = ox__strdup(method);
  auto *list = static_cast<ox__httproute *>(
      ox_realloc(routes->list, (routes->count + 1) * sizeof(ox__httproute)));
  if (route.method == nullptr || list == nullptr) {
    if (list != nullptr) routes->list = list;
    route_free(&route);
    return ENOMEM;
  }
  route.cb = cb;
  route.cls = cls;
  list[routes->count] = route;
  routes->list = list;
  routes->count++;
  return 0;
}

void ox__httproutes_free(ox__httproutes *routes) noexcept {
  for (size_t i = 0; i < routes->count; i++) route_free(&routes->list[i]);
  ox_free(routes->list);
  *routes = ox__httproutes{};
}

int ox__httproutes_find(const ox__httproutes *routes, const char *method,
                        const char *path, ox__httproutematch *out) noexcept {
  out->route = nullptr;
  out->path_matched = false;
  out->pairs = 0;
  pcre2_match_data_8 *match = route_thread_match_data();
  if (match == nullptr) return ENOMEM;
  size_t len = strlen(path);
  for (size_t i = 0; i < routes->count; i++) {
    const ox__httproute *route = &routes->list[i];
    int pairs = route_match(route, path, len, match);
    if (pairs == 0) continue;
    out->path_matched = true;
    if (!route_takes(route, method)) continue;
    out->route = route;
    route_keep_offsets(pcre2_get_ovector_pointer_8(match), pairs, out);
    return 0;
  }
  return 0;
}

char *ox__httproutes_allow(const ox__httproutes *routes,
                           const char *path) noexcept {
  pcre2_match_data_8 *match = route_thread_match_data();
  ox_str *allow = ox_str_new();
  if (match == nullptr || allow == nullptr) {
    ox_str_free(allow);
    return nullptr;
  }
  size_t len = strlen(path);
  int rc = 0;
  // Each method once, in route order; HEAD follows GET.
  auto add = [&](const char *m) {
    const char *have = ox_str_content(allow);
    size_t n = strlen(m);
    for (const char *p = have; *p != '\0';) {
      const char *end = strchr(p, ',');
      size_t k = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
      if (k == n && memcmp(p, m, n) == 0) return;
      p = end != nullptr ? end + 2 : p + k;
    }
    if (rc == 0 && *have != '\0') rc = ox_str_write(allow, ", ", 2);
    if (rc == 0) rc = ox_str_write(allow, m, n);
  };
  for (size_t i = 0; i < routes->count; i++) {
    const ox__httproute *route = &routes->list[i];
    if (route_match(route, path, len, match) == 0) continue;
    add(route->method);
    if (strcmp(route->method, "GET") == 0) add("HEAD");
  }
  char *text = rc == 0 ? ox__strdup(ox_str_content(allow)) : nullptr;
  ox_str_free(allow);
  return text;
}

const char *ox__httproutematch_group(const ox__httproutematch *match,
                                     const char *path, uint32_t group,
                                     size_t *len) noexcept {
  if (match->route == nullptr || group >= match->pairs ||
      match->ovector[2 * group] == UINT32_MAX) {
    return nullptr;
  }
  uint32_t start = match->ovector[2 * group];
  uint32_t end = match->ovector[2 * group + 1];
  if (len != nullptr) *len = end > start ? end - start : 0;
  return path + start;
}

const char *ox__httproutematch_var(const ox__httproutematch *match,
                                   const char *path, const char *name,
                                   size_t *len) noexcept {
  if (match->route == nullptr) return nullptr;
  int group = pcre2_substring_number_from_name_8(
      match->route->re, reinterpret_cast<PCRE2_SPTR8>(name));
  if (group <= 0) return nullptr;
  return ox__httproutematch_group(match, path, static_cast<uint32_t>(group),
                                  len);
}
