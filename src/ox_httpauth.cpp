// Basic authentication: the record an authentication callback reads and
// fills, and the step that turns its verdict into libmicrohttpd's answer.
#include "ox_httpauth.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_extra.h"
#include "ox_strmap.h"

namespace {

constexpr const char *httpauth_default_realm = "Ombrix realm";


// Decodes padded base64 (RFC 4648) into a new NUL-terminated block of
// |*len| bytes; NULL for a malformed text or when memory runs out.
char *httpauth_b64_decode(const char *text, size_t n, size_t *len) noexcept {
  if (n == 0 || n % 4 != 0) return nullptr;
  size_t pad = text[n - 1] == '=' ? (text[n - 2] == '=' ? 2 : 1) : 0;
  auto *out = static_cast<char *>(ox_alloc(n / 4 * 3 + 1));
  if (out == nullptr) return nullptr;
  size_t o = 0;
  for (size_t i = 0; i < n; i += 4) {
    uint32_t group = 0;
    for (size_t k = 0; k < 4; k++) {
      bool padding = i + k >= n - pad;
      int v = padding ? 0
                      : ox__base64_value(
                            static_cast<unsigned char>(text[i + k]));
      if (v < 0) {
        ox_free(out);
        return nullptr;
      }
      group = group << 6 | static_cast<uint32_t>(v);
    }
    out[o++] = static_cast<char>(group >> 16);
    out[o++] = static_cast<char>(group >> 8 & 0xff);
    out[o++] = static_cast<char>(group & 0xff);
  }
  *len = o - pad;
  out[*len] = '\0';
  return out;
}

bool httpauth_has_ctl(const char *p, size_t n) noexcept {
  for (size_t i = 0; i < n; i++) {
    auto c = static_cast<unsigned char>(p[i]);
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

bool httpauth_has_ctl(const char *p) noexcept {
  return httpauth_has_ctl(p, strlen(p));
}

}  // namespace

int ox__httpauth_parse_basic(const char *header, char **usr,
                             char **pwd) noexcept {
  *usr = nullptr;
  *pwd = nullptr;
  if (header == nullptr || strncasecmp(header, "Basic", 5) != 0 ||
      (header[5] != ' ' && header[5] != '\t')) {
    return ENOENT;
  }
  const char *b64 = header + 5;
  while (*b64 == ' ' || *b64 == '\t') b64++;
  size_t n = strlen(b64);
  while (n > 0 && (b64[n - 1] == ' ' || b64[n - 1] == '\t')) n--;
  size_t len = 0;
  char *text = httpauth_b64_decode(b64, n, &len);
  if (text == nullptr) return EINVAL;
  // user-id ":" password, neither holding a control byte: a NUL would cut
  // the password short and let "secret\0junk" pass for "secret".
  const auto *colon = static_cast<const char *>(memchr(text, ':', len));
  if (colon == nullptr || httpauth_has_ctl(text, len)) {
    ox_free(text);
    return EINVAL;
  }
  size_t usr_len = static_cast<size_t>(colon - text);
  *pwd = ox__strdup(colon + 1);
  text[usr_len] = '\0';
  if (*pwd == nullptr) {
    ox_free(text);
    return ENOMEM;
  }
  *usr = text;  // cut at the colon: the block now holds just the user
  return 0;
}

ox_httpauth *ox__httpauth_new(ox_httpres *res) noexcept {
  auto *auth = static_cast<ox_httpauth *>(ox_alloc(sizeof(ox_httpauth)));
  if (auth == nullptr) return nullptr;
  // Decoded here rather than by libmicrohttpd, whose decoder takes bytes
  // outside the alphabet and stops a password at an encoded NUL.
  const char *header = MHD_lookup_connection_value(
      res->con, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  ox__httpauth_parse_basic(header, &auth->usr, &auth->pwd);
  auth->res = res;
  return auth;
}

void ox__httpauth_free(ox_httpauth *auth) noexcept {
  if (auth == nullptr) return;
  ox_free(auth->usr);
  ox_free(auth->pwd);
  ox_free(auth->realm);
  ox_free(auth);
}

bool ox__httpauth_dispatch(ox_httpauth *auth, char **later) noexcept {
  ox_httpres *res = auth->res;
  if (res->ret != MHD_NO) {
    res->ret = MHD_YES;
    return true;
  }
  bool denied = ox__httpres_prepared(res);
  if (auth->canceled) {
    res->ret = denied ? MHD_YES : MHD_NO;
    return denied;
  }
  if (!denied) return false;
  if (later != nullptr) {
    // A browser's challenge is then answered on the same connection (and
    // TLS session); when no memory is left for the realm, it closes.
    *later = auth->realm != nullptr ? auth->realm
                                    : ox__strdup(httpauth_default_realm);
    auth->realm = nullptr;
    if (*later != nullptr) {
      res->ret = MHD_YES;
      return false;
    }
  }
  // The reply is built and queued where every reply is; a 401 as a Basic
  // challenge naming the realm.
  res->ret = ox__httpres_queue(
      res, auth->realm != nullptr ? auth->realm : httpauth_default_realm);
  return false;
}

int ox_httpauth_set_realm(ox_httpauth *auth, const char *realm) noexcept {
  // A control byte (a line break above all) has no place in a header.
  if (auth == nullptr || realm == nullptr || httpauth_has_ctl(realm) ||
      strlen(realm) > 512) {
    return EINVAL;
  }
  if (auth->realm != nullptr) return EALREADY;
  ox__errno_guard keep;
  auth->realm = strdup(realm);
  return auth->realm != nullptr ? 0 : ENOMEM;
}

const char *ox_httpauth_realm(ox_httpauth *auth) noexcept {
  if (auth == nullptr) return ox__einval<const char *>(nullptr);
  return auth->realm;
}

int ox_httpauth_deny2(ox_httpauth *auth, const char *reason,
                      const char *content_type, unsigned int status) noexcept {
  if (auth == nullptr || reason == nullptr || content_type == nullptr ||
      status < 100 || status > 599) {
    return EINVAL;
  }
  ox_httpres *res = auth->res;
  if (ox__httpres_prepared(res)) return EALREADY;
  ox__errno_guard keep;
  // The body only; its type goes into the reply headers, as the program's
  // own headers do.
  if (int rc = ox__httpres_describe_bytes(res, reason, strlen(reason), nullptr,
                                          status);
      rc != 0) {
    return rc;
  }
  int rc = ox_strmap_add(&res->headers, MHD_HTTP_HEADER_CONTENT_TYPE,
                         content_type);
  // Remembered so that a denial withdrawn takes its type along.
  if (rc == 0) auth->denial_type = ox__strmap_last(res->headers);
  return rc;
}

void ox__httpauth_withdraw(ox_httpauth *auth) noexcept {
  ox_httpres *res = auth->res;
  if (!ox__httpres_prepared(res)) return;
  ox__httpres_discard(res);
  if (auth->denial_type != nullptr) {
    ox__strmap_remove(&res->headers, auth->denial_type);
    auth->denial_type = nullptr;
  }
}

int ox_httpauth_deny(ox_httpauth *auth, const char *reason,
                     const char *content_type) noexcept {
  return ox_httpauth_deny2(auth, reason, content_type,
                           MHD_HTTP_UNAUTHORIZED);
}

int ox_httpauth_cancel(ox_httpauth *auth) noexcept {
  if (auth == nullptr) return EINVAL;
  auth->res->status = MHD_HTTP_INTERNAL_SERVER_ERROR;
  auth->canceled = true;
  return 0;
}

const char *ox_httpauth_usr(ox_httpauth *auth) noexcept {
  if (auth == nullptr) return ox__einval<const char *>(nullptr);
  return auth->usr;
}

const char *ox_httpauth_pwd(ox_httpauth *auth) noexcept {
  if (auth == nullptr) return ox__einval<const char *>(nullptr);
  return auth->pwd;
}
