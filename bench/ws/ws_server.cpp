// ws_server: the WebSocket server bench/ws/run loads, on the library's C
// interface, beside the same two endpoints on Node's ws (ws_server.mjs).
//   ws_server PORT [--deflate]
// /echo sends each message back as it came (text or binary).  /bcast puts
// every connection in one group; a text message "go" from any of them
// sends one 64-byte text message to the whole group, its sender included.
// --deflate accepts permessage-deflate.  Every other setting is the
// library's default but the connection limit, raised to 20000 so that the
// 10000 clients of the broadcast and idle runs fit, and the address:
// 127.0.0.1 alone, as ws_server.mjs listens.  Stops at a byte or
// the end of standard input, or at SIGTERM or SIGINT.
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

namespace {

constexpr unsigned int kConnectionLimit = 20000;

// What /bcast sends on "go": 64 bytes, as ws_server.mjs sends.
constexpr char kBroadcast[] =
    "broadcast message of sixty-four bytes, the same for every client";
static_assert(sizeof(kBroadcast) - 1 == 64);

void echo_message(void *cls, ox_ws *ws, const void *data, size_t size,
                  ox_wstype type) {
  (void)cls;
  // A client that does not read its echoes fills its queue; the send then
  // fails and the message is dropped, as in the chatroom's echo.
  ox_ws_send(ws, data, size, type);
}

void bcast_open(void *cls, ox_ws *ws, ox_httpreq *req) {
  (void)req;
  // The open callback runs before the 101 goes out: a client that has its
  // 101 is in the group.
  if (ox_wsgroup_join(static_cast<ox_wsgroup *>(cls), ws) != 0) {
    ox_ws_close(ws, 1011, "cannot join the group");
  }
}

void bcast_message(void *cls, ox_ws *ws, const void *data, size_t size,
                   ox_wstype type) {
  (void)ws;
  if (type != OX_WS_TEXT || size != 2 || memcmp(data, "go", 2) != 0) return;
  ox_wsgroup_send(static_cast<ox_wsgroup *>(cls), kBroadcast,
                  sizeof(kBroadcast) - 1, OX_WS_TEXT, nullptr);
}

// The two routes and the settings; 0 or the errno of the step that failed.
int ws_server_setup(ox_httpsrv *srv, ox_wsgroup *group, bool deflate) {
  ox_wshandlers echo{};
  echo.message = echo_message;
  ox_wshandlers bcast{};
  bcast.open = bcast_open;
  bcast.message = bcast_message;
  int rc = ox_httpsrv_set_con_limit(srv, kConnectionLimit);
  if (rc == 0) rc = ox_httpsrv_set_bind_addr(srv, "127.0.0.1");
  if (rc == 0) rc = ox_httpsrv_add_ws_route(srv, "/echo", &echo, nullptr);
  if (rc == 0) rc = ox_httpsrv_add_ws_route(srv, "/bcast", &bcast, group);
  if (rc == 0 && deflate) rc = ox_httpsrv_set_ws_deflate(srv, true);
  return rc;
}

// Blocks SIGTERM and SIGINT in every thread (the server's threads inherit
// the mask when they start) and returns a descriptor that reads them, or
// -1.
int ws_server_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return signalfd(-1, &set, SFD_CLOEXEC);
}

// Waits for a byte or the end of standard input, or for a signal of
// |sigfd|.
void ws_server_wait(int sigfd) {
  pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {sigfd, POLLIN, 0}};
  while (poll(fds, 2, -1) < 0) {
    // EINTR only: the signals that stop the server are blocked.
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  bool deflate = argc == 3 && strcmp(argv[2], "--deflate") == 0;
  if (argc != 2 && !deflate) {
    printf("%s <PORT> [--deflate]\n", argv[0]);
    return 1;
  }
  // Not a number gives 0 (a port of the system's choice); above 65535 wraps.
  auto port = static_cast<uint16_t>(strtol(argv[1], nullptr, 10));
  int sigfd = ws_server_signals();
  if (sigfd < 0) {
    perror("ws_server: signalfd");
    return 1;
  }
  ox_wsgroup *group = ox_wsgroup_new();
  ox_httpsrv *srv = ox_httpsrv_new(nullptr, nullptr);
  if (group == nullptr || srv == nullptr ||
      ws_server_setup(srv, group, deflate) != 0 ||
      !ox_httpsrv_listen(srv, port, false)) {
    ox_httpsrv_free(srv);
    ox_wsgroup_free(group);
    return 1;
  }
  printf("permessage-deflate: %s\n", deflate ? "on" : "off");
  printf("Connections limit: %u\n", kConnectionLimit);
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  ws_server_wait(sigfd);
  ox_httpsrv_free(srv);
  // Freed last: the connections leave the group as the server closes them.
  ox_wsgroup_free(group);
  close(sigfd);
  return 0;
}
