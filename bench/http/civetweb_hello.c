/* civetweb_hello: "Hello world" on civetweb, a baseline for bench/http/run.
 * A worker thread serves one connection at a time, so the pool holds 1000
 * workers (the most connections the benchmark opens).  TCP_NODELAY is on.
 * Usage: civetweb_hello PORT.  Stops at a byte on standard input. */
#include <civetweb.h>
#include <stdio.h>
#include <string.h>

static int hello(struct mg_connection *conn, void *cbdata) {
  static const char body[] = "Hello world";
  (void)cbdata;
  mg_send_http_ok(conn, "text/plain", (long long)(sizeof(body) - 1));
  mg_write(conn, body, sizeof(body) - 1);
  return 200;
}

int main(int argc, char *argv[]) {
  char ports[64];
  struct mg_context *ctx;
  if (argc != 2) {
    printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  snprintf(ports, sizeof(ports), "127.0.0.1:%s", argv[1]);
  const char *options[] = {"listening_ports",
                           ports,
                           "num_threads",
                           "1000",
                           "enable_keep_alive",
                           "yes",
                           "keep_alive_timeout_ms",
                           "60000",
                           "tcp_nodelay",
                           "1",
                           "listen_backlog",
                           "1024",
                           NULL};
  mg_init_library(0);
  ctx = mg_start(NULL, NULL, options);
  if (ctx == NULL) return 1;
  mg_set_request_handler(ctx, "/", hello, NULL);
  printf("Server running at http://localhost:%s\n", argv[1]);
  fflush(stdout);
  getchar();
  mg_stop(ctx);
  mg_exit_library();
  return 0;
}
