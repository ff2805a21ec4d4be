// Server routes: compiled once as the router compiles its patterns, matched
// with match data that belongs to the calling thread, and read by every
// serving thread at once.
#include "ox_httproute.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_error.h"
#include "ox_routes.h"

namespace {

struct match_data_free {
  void operator()(pcre2_match_data_8 *m) const noexcept {
    pcre2_match_data_free_8(m);
  }
};
struct match_context_free {
  void operator()(pcre2_match_context_8 *c) const noexcept {
    pcre2_match_context_free_8(c);
  }
};
using match_data_ptr = std::unique_ptr<pcre2_match_data_8, match_data_free>;
using match_context_ptr =
    std::unique_ptr<pcre2_match_context_8, match_context_free>;

// This thread's match data and context, made on its first match and
// released when the thread ends: large enough for any route of any server.
struct route_thread_state {
  match_data_ptr data;
  match_context_ptr context;
};

route_thread_state *route_thread() noexcept {
  thread_local route_thread_state state;
  if (!state.data) {
    state.data.reset(
        pcre2_match_data_create_8(ox__httproute_groups_max + 1, nullptr));
  }
  if (!state.context) state.context.reset(pcre2_match_context_create_8(nullptr));
  return state.data && state.context ? &state : nullptr;
}

bool route_takes(const ox__httproute *route, const char *method) noexcept {
  const char *m = route->method;
  if (m[0] == '*' && m[1] == '\0') return true;
  if (strcmp(m, method) == 0) return true;
  // A GET route answers HEAD: libmicrohttpd leaves the body out.
  return strcmp(m, "GET") == 0 && strcmp(method, "HEAD") == 0;
}

// Matches |route| against |path|: the number of pairs set, 0 for no match,
// or -1 when the matcher gave up (its budget spent, its stack full).
int route_match(const ox__httproute *route, const char *path, size_t len,
                route_thread_state *state) noexcept {
  int rc = ox__routes_match(route->re, path, len, state->data.get(),
                            state->context.get());
  if (rc > 0) return rc;
  return rc == PCRE2_ERROR_NOMATCH ? 0 : -1;
}

// Notes |method| for the Allow header, once.
void route_note_allowed(ox__httproutematch *out, const char *method) noexcept {
  for (uint32_t i = 0; i < out->nallow && i < ox__httproute_allow_max; i++) {
    if (strcmp(out->allow[i], method) == 0) return;
  }
  if (out->nallow < ox__httproute_allow_max) {
    out->allow[out->nallow] = method;
  }
  if (out->nallow <= ox__httproute_allow_max) out->nallow++;
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
  ox_free(route->pattern);
}

}  // namespace

int ox__httproutes_add(ox__httproutes *routes, const char *method,
                       const char *pattern, ox_httpreq_cb cb, void *cls,
                       char *why, size_t why_size) noexcept {
  ox__httproute route{};
  if (int rc = ox__routes_compile(pattern, &route.re, why, why_size); rc != 0) {
    return rc;
  }
  uint32_t groups = 0;
  pcre2_pattern_info_8(route.re, PCRE2_INFO_CAPTURECOUNT, &groups);
  if (groups > ox__httproute_groups_max) {
    route_free(&route);
    char shown[256];
    if (why != nullptr) {
      snprintf(why, why_size,
               "the pattern \"%s\" has %u groups: a route may have %u",
               ox__escape(pattern, shown, sizeof shown),
               static_cast<unsigned>(groups),
               static_cast<unsigned>(ox__httproute_groups_max));
    }
    return EINVAL;
  }
  route.method = ox__strdup(method);
  route.pattern = ox__strdup(pattern);
  auto *list = static_cast<ox__httproute *>(
      ox_realloc(routes->list, (routes->count + 1) * sizeof(ox__httproute)));
  if (route.method == nullptr || route.pattern == nullptr || list == nullptr) {
    if (list != nullptr) routes->list = list;
    route_free(&route);
    if (why != nullptr) snprintf(why, why_size, "no memory for the route");
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
                        const char *path, uint32_t limit,
                        ox__httproutematch *out) noexcept {
  out->route = nullptr;
  out->spent = nullptr;
  out->path_matched = false;
  out->nallow = 0;
  out->pairs = 0;
  route_thread_state *state = route_thread();
  if (state == nullptr) return ENOMEM;
  pcre2_set_match_limit_8(state->context.get(), limit);
  size_t len = strlen(path);
  for (size_t i = 0; i < routes->count; i++) {
    const ox__httproute *route = &routes->list[i];
    int pairs = route_match(route, path, len, state);
    if (pairs < 0) {
      out->spent = route;
      return E2BIG;
    }
    if (pairs == 0) continue;
    out->path_matched = true;
    if (!route_takes(route, method)) {
      route_note_allowed(out, route->method);
      continue;
    }
    out->route = route;
    route_keep_offsets(pcre2_get_ovector_pointer_8(state->data.get()), pairs,
                       out);
    return 0;
  }
  return 0;
}

namespace {

// Appends |method| to the list |allow| ("GET, POST"), unless it is there.
int route_add_allowed(ox_str *allow, const char *method) noexcept {
  const char *have = ox_str_content(allow);
  size_t n = strlen(method);
  for (const char *p = have; *p != '\0';) {
    const char *end = strchr(p, ',');
    size_t k = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    if (k == n && memcmp(p, method, n) == 0) return 0;
    p = end != nullptr ? end + 2 : p + k;
  }
  int rc = *have != '\0' ? ox_str_write(allow, ", ", 2) : 0;
  return rc == 0 ? ox_str_write(allow, method, n) : rc;
}

int route_add_method(ox_str *allow, const char *method) noexcept {
  int rc = route_add_allowed(allow, method);
  if (rc == 0 && strcmp(method, "GET") == 0) {
    rc = route_add_allowed(allow, "HEAD");
  }
  return rc;
}

}  // namespace

char *ox__httproutes_allow(const ox__httproutes *routes,
                           const ox__httproutematch *match, const char *path,
                           uint32_t limit) noexcept {
  ox_str *allow = ox_str_new();
  if (allow == nullptr) return nullptr;
  int rc = 0;
  if (match->nallow <= ox__httproute_allow_max) {
    for (uint32_t i = 0; rc == 0 && i < match->nallow; i++) {
      rc = route_add_method(allow, match->allow[i]);
    }
  } else if (route_thread_state *state = route_thread()) {
    // More methods than one pass keeps: a second pass over the routes.
    pcre2_set_match_limit_8(state->context.get(), limit);
    size_t len = strlen(path);
    for (size_t i = 0; rc == 0 && i < routes->count; i++) {
      const ox__httproute *route = &routes->list[i];
      if (route_match(route, path, len, state) > 0) {
        rc = route_add_method(allow, route->method);
      }
    }
  } else {
    rc = ENOMEM;
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
