// chatroom: a WebSocket chat room (a group broadcast) and a deflating echo.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ombrix.h"

static const char kPage[] =
    "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
    "<title>Chat room</title>\n</head>\n<body>\n<h1>Chat room</h1>\n"
    "<ul id=\"log\"></ul>\n"
    "<form id=\"say\"><input id=\"text\" autocomplete=\"off\" autofocus>\n"
    "<button id=\"send\">Send</button></form>\n<script>\n"
    "const log = document.getElementById('log');\n"
    "const text = document.getElementById('text');\n"
    "function show(line) {\n"
    "  const item = document.createElement('li');\n"
    "  item.textContent = line;\n"
    "  log.appendChild(item);\n"
    "  item.scrollIntoView();\n"
    "}\n"
    "const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';\n"
    "const ws = new WebSocket(scheme + location.host + '/chat');\n"
    "ws.onmessage = (ev) => show(ev.data);\n"
    "ws.onclose = () => show('(disconnected)');\n"
    "document.getElementById('say').onsubmit = (ev) => {\n"
    "  ev.preventDefault();\n"
    "  if (text.value !== '' && ws.readyState === WebSocket.OPEN) {\n"
    "    ws.send(text.value);\n"
    "  }\n"
    "  text.value = '';\n"
    "};\n</script>\n</body>\n</html>\n";

// Everyone in the chat room.  Connections leave it by themselves when they
// close, before their close callback runs.
static ox_wsgroup *ROOM = nullptr;

// Guests are numbered in the order they arrive, from 1.
static std::atomic<unsigned int> GUESTS{0};

// The guest's number rides in the connection's own pointer: nothing to
// allocate, nothing to free when it closes.  0: not in the room.
static unsigned int guest_of(const ox_ws *ws) {
  return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(ox_ws_data(ws)));
}

// Sends "guest N" followed by |what| and, when |size| is not 0, the |size|
// bytes at |text| to everyone in the room.
static void room_say(unsigned int guest, const char *what, const void *text,
                     size_t size) {
  ox_str *line = ox_str_new();
  if (line == nullptr) return;  // out of memory: the line is lost
  if (ox_str_printf(line, "guest %u%s", guest, what) == 0 &&
      (size == 0 ||
       ox_str_write(line, static_cast<const char *>(text), size) == 0)) {
    ox_wsgroup_send(ROOM, ox_str_content(line), ox_str_length(line), OX_WS_TEXT,
                    nullptr);
  }
  ox_str_free(line);
}

static void chat_open(void *cls, ox_ws *ws, ox_httpreq *req) {
  (void)cls;
  (void)req;
  // Joined first, so that the newcomer sees its own arrival too.
  if (ox_wsgroup_join(ROOM, ws) != 0) {
    ox_ws_close(ws, 1011, "cannot join the room");
    return;
  }
  unsigned int guest = GUESTS.fetch_add(1) + 1;
  ox_ws_set_data(ws, reinterpret_cast<void *>(static_cast<uintptr_t>(guest)));
  room_say(guest, " joined", nullptr, 0);
}

static void chat_message(void *cls, ox_ws *ws, const void *data, size_t size,
                         ox_wstype type) {
  (void)cls;
  if (type != OX_WS_TEXT) {
    ox_ws_close(ws, 1003, "text only");
    return;
  }
  // Text arrives as valid UTF-8, so the line stays valid with its prefix.
  room_say(guest_of(ws), ": ", data, size);
}

static void chat_close(void *cls, ox_ws *ws, unsigned int code,
                       const char *reason) {
  (void)cls;
  (void)code;
  (void)reason;
  unsigned int guest = guest_of(ws);
  if (guest != 0) room_say(guest, " left", nullptr, 0);
}

static void echo_message(void *cls, ox_ws *ws, const void *data, size_t size,
                         ox_wstype type) {
  (void)cls;
  // A client that does not read its echoes fills its queue; the send then
  // fails and the message is dropped.
  ox_ws_send(ws, data, size, type);
}

static void page_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  (void)req;
  ox_httpres_sendbinary(res, kPage, sizeof(kPage) - 1,
                        "text/html; charset=utf-8", 200);
}

// The page, the room and the echo; 0 or the errno of the step that failed.
static int chatroom_setup(ox_httpsrv *srv) {
  ox_wshandlers chat{};
  chat.open = chat_open;
  chat.message = chat_message;
  chat.close = chat_close;
  ox_wshandlers echo{};
  echo.message = echo_message;
  int rc = ox_httpsrv_add_route(srv, "GET", "/", page_cb, nullptr);
  if (rc == 0) rc = ox_httpsrv_add_ws_route(srv, "/chat", &chat, nullptr);
  if (rc == 0) rc = ox_httpsrv_add_ws_route(srv, "/echo", &echo, nullptr);
  // Clients that offer permessage-deflate get it: the echo of a message
  // goes back compressed.
  if (rc == 0) rc = ox_httpsrv_set_ws_deflate(srv, true);
  return rc;
}

int main(int argc, char *argv[]) {
  if (argc != 2) {
    printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  // Not a number gives 0 (a port of the system's choice); above 65535 wraps.
  auto port = static_cast<uint16_t>(strtol(argv[1], nullptr, 10));
  ROOM = ox_wsgroup_new();
  // Without a request callback, every other path is answered 404.
  ox_httpsrv *srv = ox_httpsrv_new(nullptr, nullptr);
  if (ROOM == nullptr || srv == nullptr || chatroom_setup(srv) != 0 ||
      !ox_httpsrv_listen(srv, port, false)) {
    ox_httpsrv_free(srv);
    ox_wsgroup_free(ROOM);
    return 1;
  }
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();  // any character, or the end of input, stops the server
  // Every chat is told 1001 (going away) and given a second to answer.
  ox_httpsrv_drain(srv, 1000, nullptr);
  ox_httpsrv_free(srv);
  // Freed last: the close callbacks of the drain still speak to the room.
  ox_wsgroup_free(ROOM);
  return 0;
}
