// httplib_hello: "Hello world" on cpp-httplib, a baseline for bench/http/run.
// A pool thread serves one connection at a time, so the pool holds 1000
// threads (the most connections the benchmark opens); keep-alive is not cut
// after 5 requests (the library's default) and TCP_NODELAY is on.
// Usage: httplib_hello PORT.  Stops at a byte on standard input.
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  int port = static_cast<int>(strtol(argv[1], nullptr, 10));
  httplib::Server srv;
  srv.new_task_queue = [] { return new httplib::ThreadPool(1000); };
  srv.set_tcp_nodelay(true);
  srv.set_keep_alive_max_count(1000000000);
  srv.set_keep_alive_timeout(60);
  srv.Get("/", [](const httplib::Request &, httplib::Response &res) {
    res.set_content("Hello world", "text/plain");
  });
  if (!srv.bind_to_port("127.0.0.1", port)) return 1;
  std::thread serving([&srv] { srv.listen_after_bind(); });
  printf("Server running at http://localhost:%d\n", port);
  fflush(stdout);
  getchar();
  srv.stop();
  serving.join();
  return 0;
}
