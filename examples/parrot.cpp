// parrot: reading the request body, which comes back as plain text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

static void req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  const char *text = ox_str_content(ox_httpreq_payload(req));
  // The body is echoed as text: up to its first NUL byte.
  size_t len = text != nullptr ? strlen(text) : 0;
  ox_httpres_sendbinary(res, text, len, "text/plain", 200);
}

int main(int argc, char *argv[]) {
  if (argc != 2) {
    printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  auto port = static_cast<uint16_t>(strtol(argv[1], nullptr, 10));
  ox_httpsrv *srv = ox_httpsrv_new(req_cb, nullptr);
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
