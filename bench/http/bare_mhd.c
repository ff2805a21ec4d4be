/* bare_mhd: "Hello world" written directly on libmicrohttpd, threaded as
 * loadtest is (internal polling thread, epoll, a pool of one thread per
 * processor, 1000 connections) and with the library's defaults for the
 * per-connection memory (40 KiB) and idle timeout (60 s), answering on the
 * second access-handler call like an application does.  The floor the
 * library's request path sits on.  (The memory setting matters:
 * libmicrohttpd zeroes the connection's pool for every request; at 40 KiB
 * that memset takes about a sixth of the server's CPU for a hello world,
 * at 16 KiB 4%, so a floor with less memory than the library's would
 * charge the library for libmicrohttpd's memset.)
 *
 * Usage: bare_mhd PORT [suspend]  ("suspend" adds MHD_ALLOW_SUSPEND_RESUME,
 * which the library's server turns on).  Stops at a byte on standard input. */
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const char kBody[] = "Hello world";

static enum MHD_Result access_cb(void *cls, struct MHD_Connection *con,
                                 const char *url, const char *method,
                                 const char *version, const char *upload_data,
                                 size_t *upload_data_size, void **con_cls) {
  static int marker;
  struct MHD_Response *response;
  enum MHD_Result ret;
  (void)cls;
  (void)url;
  (void)method;
  (void)version;
  (void)upload_data;
  if (*con_cls == NULL) { /* the head: answer on the next call */
    *con_cls = &marker;
    return MHD_YES;
  }
  if (*upload_data_size != 0) { /* a body: dropped */
    *upload_data_size = 0;
    return MHD_YES;
  }
  response = MHD_create_response_from_buffer(
      sizeof(kBody) - 1, (void *)(uintptr_t)kBody, MHD_RESPMEM_MUST_COPY);
  if (response == NULL) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          "text/plain");
  ret = MHD_queue_response(con, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return ret;
}

static void completed_cb(void *cls, struct MHD_Connection *con, void **con_cls,
                         enum MHD_RequestTerminationCode toe) {
  (void)cls;
  (void)con;
  (void)toe;
  *con_cls = NULL;
}

int main(int argc, char *argv[]) {
  struct sockaddr_in addr;
  struct MHD_Daemon *daemon;
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL |
                       MHD_USE_ERROR_LOG;
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  unsigned int pool = cpus > 0 ? (unsigned int)cpus : 1;
  if (argc < 2) {
    printf("%s <PORT> [suspend]\n", argv[0]);
    return 1;
  }
  if (argc > 2 && strcmp(argv[2], "suspend") == 0) {
    flags |= MHD_ALLOW_SUSPEND_RESUME;
  }
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)strtol(argv[1], NULL, 10));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  daemon = MHD_start_daemon(
      flags, 0, NULL, NULL, access_cb, NULL, MHD_OPTION_SOCK_ADDR, &addr,
      MHD_OPTION_CONNECTION_LIMIT, 1000u, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      (size_t)(40 * 1024), MHD_OPTION_CONNECTION_TIMEOUT, 60u,
      MHD_OPTION_NOTIFY_COMPLETED,
      completed_cb, NULL,
      pool > 1 ? MHD_OPTION_THREAD_POOL_SIZE : MHD_OPTION_END, pool,
      MHD_OPTION_END);
  if (daemon == NULL) return 1;
  printf("Server running at http://localhost:%s\n", argv[1]);
  fflush(stdout);
  getchar();
  MHD_stop_daemon(daemon);
  return 0;
}
