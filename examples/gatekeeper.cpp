// gatekeeper: pages behind Basic authentication, errors printed to stderr.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

static const char kRealm[] = "My realm";
static const char kUser[] = "qvk";
static const char kPassword[] = "748";
static const char kDeniedPage[] =
    "<html><head><title>Denied</title></head>"
    "<body><font color=\"red\">Go away</font></body></html>";
static const char kSecretPage[] =
    "<html><head><title>Secret</title></head>"
    "<body><font color=\"green\">Secret page</font></body></html>";

// A missing credential (NULL) never matches.
static bool strmatch(const char *s1, const char *s2) {
  if (s1 == nullptr || s2 == nullptr) return false;
  return strcmp(s1, s2) == 0;
}

static bool auth_cb(void *cls, ox_httpauth *auth, ox_httpreq *req,
                    ox_httpres *res) {
  (void)cls;
  (void)req;
  (void)res;
  // The record is new for every request, so the realm is always free.
  ox_httpauth_set_realm(auth, kRealm);
  bool pass = false;
  if (strmatch(ox_httpauth_usr(auth), kUser))
    pass = strmatch(ox_httpauth_pwd(auth), kPassword);
  if (!pass) ox_httpauth_deny(auth, kDeniedPage, "text/html; charset=utf-8");
  return pass;
}

static void req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  (void)req;
  ox_httpres_sendbinary(res, kSecretPage, sizeof(kSecretPage) - 1,
                        "text/html; charset=utf-8", 200);
}

static void err_cb(void *cls, const char *err) {
  (void)cls;
  fprintf(stderr, "%s\n", err);  // lines come without a newline
  fflush(stderr);
}

int main(int argc, char *argv[]) {
  if (argc != 2) {
    printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  auto port = static_cast<uint16_t>(strtol(argv[1], nullptr, 10));
  ox_httpsrv *srv = ox_httpsrv_new2(auth_cb, req_cb, err_cb, nullptr);
  if (!ox_httpsrv_listen(srv, port, false)) {
    ox_httpsrv_free(srv);
    return 1;
  }
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();
  ox_httpsrv_free(srv);
  return 0;
}
