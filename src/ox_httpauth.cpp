// Basic authentication: the record an authentication callback reads and
// fills, and the step that turns its verdict into libmicrohttpd's answer.
#include "ox_httpauth.h"

#include <cerrno>
#include <cstring>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_extra.h"

namespace {

constexpr const char *httpauth_default_realm = "Ombrix realm";

}  // namespace

ox_httpauth *ox__httpauth_new(ox_httpres *res) noexcept {
  auto *auth = static_cast<ox_httpauth *>(ox_alloc(sizeof(ox_httpauth)));
  if (auth == nullptr) return nullptr;
  auth->usr = MHD_basic_auth_get_username_password(res->con, &auth->pwd);
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

bool ox__httpauth_dispatch(ox_httpauth *auth) noexcept {
  ox_httpres *res = auth->res;
  if (res->ret != MHD_NO) {
    res->ret = MHD_YES;
    return true;
  }
  if (auth->canceled) {
    res->ret = res->handle != nullptr ? MHD_YES : MHD_NO;
    return res->handle != nullptr;
  }
  if (res->handle == nullptr) return false;
  ox_strmap_iter(res->headers, ox__strmap_iter, res->handle);
  if (res->status == MHD_HTTP_UNAUTHORIZED) {
    const char *realm =
        auth->realm != nullptr ? auth->realm : httpauth_default_realm;
    res->ret = MHD_queue_basic_auth_fail_response(res->con, realm, res->handle);
  } else {
    res->ret = MHD_queue_response(res->con, res->status, res->handle);
  }
  return false;
}

int ox_httpauth_set_realm(ox_httpauth *auth, const char *realm) noexcept {
  if (auth == nullptr || realm == nullptr) return EINVAL;
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
  if (res->handle != nullptr) return EALREADY;
  ox__errno_guard keep;
  res->handle = MHD_create_response_from_buffer(
      strlen(reason), const_cast<char *>(reason), MHD_RESPMEM_MUST_COPY);
  if (res->handle == nullptr) return ENOMEM;
  res->status = status;
  return ox_strmap_add(&res->headers, MHD_HTTP_HEADER_CONTENT_TYPE,
                       content_type);
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
