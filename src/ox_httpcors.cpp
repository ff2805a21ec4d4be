// CORS: the origins a server lets read its replies, checked once when set;
// preflights answered before routing and authentication (a browser sends
// no credentials with them), and the headers an allowed origin's replies
// carry, added on the reply road to every reply.
#include "ox_httpcors.h"

#include <microhttpd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ox_alloc.h"
#include "ox_httpres.h"

namespace {

// An origin is at most a scheme, a host and a port: longer is no origin a
// browser sends, and is not echoed.
constexpr size_t cors_origin_max = 512;

// Copies |text| into |*out| when it is set.  False when it cannot be a
// header value, or memory runs out (|*failure| then says which).
bool cors_copy(const char *text, char **out, int *failure) noexcept {
  if (text == nullptr) return true;
  if (!ox__header_safe(text)) {
    *failure = EINVAL;
    return false;
  }
  *out = ox__strdup(text);
  if (*out == nullptr) *failure = ENOMEM;
  return *out != nullptr;
}

bool cors_copy_origins(const char *const *origins, ox__cors *c,
                       int *failure) noexcept {
  if (origins == nullptr) return true;
  size_t n = 0;
  while (origins[n] != nullptr) n++;
  c->origins = static_cast<char **>(ox_alloc((n + 1) * sizeof(char *)));
  if (c->origins == nullptr) {
    *failure = ENOMEM;
    return false;
  }
  for (size_t i = 0; i < n; i++) {
    if (*origins[i] == '\0') {
      *failure = EINVAL;
      return false;
    }
    if (!cors_copy(origins[i], &c->origins[c->norigins], failure)) return false;
    c->norigins++;
    if (strcmp(origins[i], "*") == 0) c->any = true;
  }
  return true;
}

// A list of header names a browser asks to send: tokens, commas and
// spaces only, so that it may be echoed back.
bool cors_names_only(const char *list) noexcept {
  for (const char *p = list; *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if (!(isalnum(c) != 0 || strchr("!#$%&'*+-.^_`|~, ", c) != nullptr)) {
      return false;
    }
  }
  return strlen(list) <= 1024;
}

void cors_add(ox_httpres *res, const char *name, const char *value) noexcept {
  ox_strmap_add(ox_httpres_headers(res), name, value);
}

// Access-Control-Allow-Origin and what goes with it, for any reply.
void cors_allow_origin(const ox__cors *cors, const char *origin,
                       ox_httpres *res) noexcept {
  if (cors->any && !cors->credentials) {
    cors_add(res, "Access-Control-Allow-Origin", "*");
    return;
  }
  // The reply names the origin, so a cache must keep one per origin.
  cors_add(res, "Access-Control-Allow-Origin", origin);
  cors_add(res, MHD_HTTP_HEADER_VARY, "Origin");
  if (cors->credentials) {
    cors_add(res, "Access-Control-Allow-Credentials", "true");
  }
}

}  // namespace

int ox__cors_make(const ox_cors *in, ox__cors **out) noexcept {
  if (in == nullptr || out == nullptr ||
      (in->origins == nullptr && in->origin_cb == nullptr)) {
    return EINVAL;
  }
  auto deleter = [](ox__cors *c) { ox__cors_free(c); };
  std::unique_ptr<ox__cors, decltype(deleter)> c(new (std::nothrow) ox__cors,
                                                 deleter);
  if (!c) return ENOMEM;
  int failure = 0;
  if (!cors_copy_origins(in->origins, c.get(), &failure) ||
      !cors_copy(in->methods != nullptr ? in->methods
                                        : "GET, HEAD, POST, PUT, PATCH, DELETE",
                 &c->methods, &failure) ||
      !cors_copy(in->headers, &c->headers, &failure) ||
      !cors_copy(in->expose, &c->expose, &failure)) {
    return failure;
  }
  c->origin_cb = in->origin_cb;
  c->origin_cls = in->origin_cls;
  c->credentials = in->credentials;
  c->max_age = in->max_age;
  *out = c.release();
  return 0;
}

void ox__cors_free(ox__cors *cors) noexcept {
  if (cors == nullptr) return;
  for (size_t i = 0; i < cors->norigins; i++) ox_free(cors->origins[i]);
  ox_free(cors->origins);
  ox_free(cors->methods);
  ox_free(cors->headers);
  ox_free(cors->expose);
  delete cors;
}

bool ox__cors_allowed(const ox__cors *cors, const char *origin) noexcept {
  if (cors == nullptr || origin == nullptr || *origin == '\0' ||
      strlen(origin) > cors_origin_max || !ox__header_safe(origin)) {
    return false;
  }
  if (cors->any) return true;
  for (size_t i = 0; i < cors->norigins; i++) {
    // Origins compare exactly: a scheme and host are sent in lower case.
    if (strcmp(cors->origins[i], origin) == 0) return true;
  }
  return cors->origin_cb != nullptr &&
         cors->origin_cb(cors->origin_cls, origin);
}

int ox__cors_preflight(const ox__cors *cors, const char *origin,
                       const char *asked, ox_httpres *res) noexcept {
  if (int rc = ox_httpres_sendbinary(res, nullptr, 0, nullptr,
                                     MHD_HTTP_NO_CONTENT);
      rc != 0) {
    return rc;
  }
  cors_allow_origin(cors, origin, res);
  cors_add(res, "Access-Control-Allow-Methods", cors->methods);
  const char *headers = cors->headers;
  if (headers == nullptr && asked != nullptr && cors_names_only(asked)) {
    headers = asked;
  }
  if (headers != nullptr) {
    cors_add(res, "Access-Control-Allow-Headers", headers);
  }
  if (cors->max_age != 0) {
    char age[16];
    snprintf(age, sizeof age, "%u", cors->max_age);
    cors_add(res, "Access-Control-Max-Age", age);
  }
  // What the answer depends on, beyond the origin.
  cors_add(res, MHD_HTTP_HEADER_VARY,
           "Access-Control-Request-Method, Access-Control-Request-Headers");
  return 0;
}

void ox__cors_decorate(const ox__cors *cors, const char *origin,
                       ox_httpres *res) noexcept {
  // A reply that says it already (the preflight's, or the program's own
  // choice) is left as it is: two would make the browser refuse it.
  if (ox_strmap_get(*ox_httpres_headers(res), "Access-Control-Allow-Origin") !=
      nullptr) {
    return;
  }
  cors_allow_origin(cors, origin, res);
  if (cors->expose != nullptr) {
    cors_add(res, "Access-Control-Expose-Headers", cors->expose);
  }
}
