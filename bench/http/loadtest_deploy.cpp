// loadtest_deploy: the loadtest demo with the deployment settings on, for
// bench/http/run: HTTPS (--cert FILE --key FILE) and the access log in the
// Common Log Format (--log FILE); --con-mem BYTES sets the connection
// memory (below 32 KiB it comes from the heap instead of a mapping of its
// own per connection); --metrics PATH counts metrics and serves them there;
// --after-header NAME has an after hook add "NAME: 1" to every reply.  Same
// reply, thread per processor and 1000 connections as loadtest, so the
// ratios show what each setting costs.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

namespace {

constexpr unsigned int kConnectionsLimit = 1000;

unsigned int get_cpu_count() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<unsigned int>(count) : 1;
}

void req_cb(void *, ox_httpreq *, ox_httpres *res) {
  ox_httpres_sendbinary(res, "Hello world", 11, "text/plain", 200);
}

// The after hook of --after-header: one header on every reply.
void add_header(void *cls, ox_httpreq *, ox_httpres *res) {
  ox_strmap_add(ox_httpres_headers(res), static_cast<const char *>(cls), "1");
}

int usage(const char *self) {
  std::fprintf(stderr,
               "%s PORT [--cert FILE --key FILE] [--log FILE] "
               "[--con-mem BYTES] [--metrics PATH] [--after-header NAME]\n",
               self);
  return 2;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc < 2) return usage(argv[0]);
  auto port = static_cast<uint16_t>(std::strtol(argv[1], nullptr, 10));
  const char *cert = nullptr, *key = nullptr, *log = nullptr;
  const char *metrics = nullptr, *after_header = nullptr;
  size_t con_mem = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--cert") == 0) {
      cert = argv[i + 1];
    } else if (std::strcmp(argv[i], "--key") == 0) {
      key = argv[i + 1];
    } else if (std::strcmp(argv[i], "--log") == 0) {
      log = argv[i + 1];
    } else if (std::strcmp(argv[i], "--metrics") == 0) {
      metrics = argv[i + 1];
    } else if (std::strcmp(argv[i], "--after-header") == 0) {
      after_header = argv[i + 1];
    } else if (std::strcmp(argv[i], "--con-mem") == 0) {
      con_mem = std::strtoul(argv[i + 1], nullptr, 10);
    } else {
      return usage(argv[0]);
    }
  }
  ox_httpsrv *srv = ox_httpsrv_new(req_cb, nullptr);
  ox_httpsrv_set_thr_pool_size(srv, get_cpu_count());
  ox_httpsrv_set_con_limit(srv, kConnectionsLimit);
  if (con_mem != 0 && ox_httpsrv_set_con_mem_limit(srv, con_mem) != 0) {
    return usage(argv[0]);
  }
  if (metrics != nullptr && ox_httpsrv_add_metrics_route(srv, metrics) != 0) {
    return usage(argv[0]);
  }
  if (after_header != nullptr &&
      ox_httpsrv_set_after(srv, add_header,
                           const_cast<char *>(after_header)) != 0) {
    return usage(argv[0]);
  }
  FILE *log_file = nullptr;
  if (log != nullptr) {
    log_file = std::fopen(log, "a");
    if (log_file == nullptr) return 1;
    ox_httpsrv_set_log(srv, ox_httplog_clf, log_file);
  }
  if ((cert != nullptr || key != nullptr) &&
      ox_httpsrv_set_tls(srv, cert != nullptr ? cert : "",
                         key != nullptr ? key : "", nullptr) != 0) {
    ox_httpsrv_free(srv);
    return 1;
  }
  if (!ox_httpsrv_listen(srv, port, false)) {
    ox_httpsrv_free(srv);
    return 1;
  }
  std::printf("Server running at %s://localhost:%d\n",
              cert != nullptr ? "https" : "http", ox_httpsrv_port(srv));
  std::fflush(stdout);
  getchar();
  ox_httpsrv_free(srv);
  if (log_file != nullptr) std::fclose(log_file);
  return 0;
}
