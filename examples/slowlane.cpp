// slowlane: an isolated request finished later while others are answered.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

static const char kHelloPage[] =
    "<html><head><title>Hello world</title></head>"
    "<body>Hello world</body></html>";
static const char kIsolatedPage[] =
    "<html><head><title>Isolated request</title></head>"
    "<body>Isolated and delayed request</body></html>";

// Runs on its own thread: blocking here stalls no other request.
static void req_isolated_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  (void)req;
  sleep(3);
  ox_httpres_sendbinary(res, kIsolatedPage, sizeof(kIsolatedPage) - 1,
                        "text/html; charset=utf-8", 200);
}

static void req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  if (strcmp(ox_httpreq_path(req), "/delayed") == 0) {
    ox_httpreq_isolate(req, req_isolated_cb, nullptr);
    return;  // the isolated callback answers
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
