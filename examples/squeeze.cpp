// squeeze: compressed replies, the page deflated when the client accepts it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

static const char kHelloPage[] =
    "<html><head><title>Hello world</title></head>"
    "<body>Hello world</body></html>";

static void req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  ox_strmap **headers = ox_httpreq_headers(req);
  const char *accepted =
      headers != nullptr ? ox_strmap_get(*headers, "Accept-Encoding") : nullptr;
  if (accepted != nullptr && strstr(accepted, "deflate") != nullptr) {
    ox_httpres_zsendbinary(res, kHelloPage, sizeof(kHelloPage) - 1,
                           "text/html; charset=utf-8", 200);
    return;
  }
  ox_httpres_sendbinary(res, kHelloPage, sizeof(kHelloPage) - 1,
                        "text/html; charset=utf-8", 200);
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
