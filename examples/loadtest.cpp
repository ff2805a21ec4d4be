// loadtest: a server tuned for load, a thread per processor, 1000 connections.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ombrix.h"

static const unsigned int kConnectionsLimit = 1000;

static unsigned int get_cpu_count() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  // sysconf answers -1 where the count is unknown: serve with one thread.
  return count > 0 ? static_cast<unsigned int>(count) : 1;
}

static void req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  (void)req;
  ox_httpres_sendbinary(res, "Hello world", 11, "text/plain", 200);
}

int main(int argc, char *argv[]) {
  if (argc != 2) {
    printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  auto port = static_cast<uint16_t>(strtol(argv[1], nullptr, 10));
  unsigned int cpu_count = get_cpu_count();
  ox_httpsrv *srv = ox_httpsrv_new(req_cb, nullptr);
  ox_httpsrv_set_thr_pool_size(srv, cpu_count);
  ox_httpsrv_set_con_limit(srv, kConnectionsLimit);
  if (!ox_httpsrv_listen(srv, port, false)) {
    ox_httpsrv_free(srv);
    return 1;
  }
  printf("Number of processors: %u\n", cpu_count);
  printf("Connections limit: %u\n", kConnectionsLimit);
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();
  ox_httpsrv_free(srv);
  return 0;
}
