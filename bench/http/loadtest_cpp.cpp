// loadtest_cpp: the loadtest demo on the C++ interface (ombrix.hpp), its
// page a route of "/", for bench/http/run to load beside loadtest: same
// thread per processor, same 1000 connections, same reply and lines.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ombrix.hpp"

namespace {

constexpr unsigned int kConnectionsLimit = 1000;

unsigned int get_cpu_count() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  // sysconf answers -1 where the count is unknown: serve with one thread.
  return count > 0 ? static_cast<unsigned int>(count) : 1;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  auto port = static_cast<uint16_t>(std::strtol(argv[1], nullptr, 10));
  unsigned int cpu_count = get_cpu_count();
  try {
    ombrix::server srv;
    srv.set_thread_pool_size(cpu_count);
    srv.set_connection_limit(kConnectionsLimit);
    srv.get("/", [](ombrix::request &, ombrix::response &res) {
      res.send("Hello world", "text/plain");
    });
    srv.listen(port);
    std::printf("Number of processors: %u\n", cpu_count);
    std::printf("Connections limit: %u\n", kConnectionsLimit);
    std::printf("Server running at http://localhost:%d\n", srv.port());
    std::fflush(stdout);
    std::getchar();
  } catch (const ombrix::error &) {
    return 1;
  }
  return 0;
}
