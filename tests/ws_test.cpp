// WebSockets over the wire: the handshake, echo, the close paths, groups,
// slow clients, pings, drains, and permessage-deflate, over TCP and TLS.
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ombrix.h"
#include "support/http_client.h"
#include "support/server_fixture.h"
#include "support/tls_files.h"
#include "support/ws_client.h"

using oxtest::Counter;
using oxtest::ServerOptions;
using oxtest::TestServer;
using oxtest::WsClient;

namespace {

// What the handlers saw.
struct Seen {
  std::mutex mu;
  std::vector<ox_ws *> open;
  std::vector<std::string> messages;
  std::vector<std::pair<unsigned int, std::string>> closes;
  Counter opened, closed, received;
  ox_wsgroup *group = nullptr;
  bool echo = true;

  ox_ws *first() {
    std::lock_guard<std::mutex> lock(mu);
    return open.empty() ? nullptr : open.front();
  }
};

void on_open(void *cls, ox_ws *ws, ox_httpreq *) {
  auto *seen = static_cast<Seen *>(cls);
  {
    std::lock_guard<std::mutex> lock(seen->mu);
    seen->open.push_back(ox_ws_ref(ws));
  }
  if (seen->group != nullptr) {
    EXPECT_EQ(ox_wsgroup_join(seen->group, ws), 0);
  }
  seen->opened.add();
}

void on_message(void *cls, ox_ws *ws, const void *data, size_t size,
                ox_wstype type) {
  auto *seen = static_cast<Seen *>(cls);
  {
    std::lock_guard<std::mutex> lock(seen->mu);
    seen->messages.emplace_back(static_cast<const char *>(data), size);
  }
  if (seen->echo) {
    EXPECT_EQ(ox_ws_send(ws, data, size, type), 0);
  }
  seen->received.add();
}

void on_close(void *cls, ox_ws *, unsigned int code, const char *reason) {
  auto *seen = static_cast<Seen *>(cls);
  {
    std::lock_guard<std::mutex> lock(seen->mu);
    seen->closes.emplace_back(code, reason);
  }
  seen->closed.add();
}

struct WsServer {
  Seen seen;
  oxtest::TlsFiles *tls;
  std::unique_ptr<TestServer> server;

  explicit WsServer(bool use_tls, std::function<void(ox_httpsrv *)> more = {},
                    const char *const *protocols = nullptr,
                    const char *const *origins = nullptr,
                    oxtest::ThreadModel model = oxtest::ThreadModel::kPolling,
                    oxtest::AuthHandler auth = {})
      : tls(use_tls ? new oxtest::TlsFiles : nullptr) {
    ServerOptions options;
    options.model = model;
    options.auth = std::move(auth);
    options.configure = [this, more, protocols, origins](ox_httpsrv *srv) {
      ox_wshandlers h{};
      h.open = on_open;
      h.message = on_message;
      h.close = on_close;
      h.protocols = protocols;
      h.origins = origins;
      ASSERT_EQ(ox_httpsrv_add_ws_route(srv, "/ws", &h, &seen), 0);
      if (tls != nullptr) {
        ASSERT_EQ(ox_httpsrv_set_tls(srv, tls->cert().c_str(),
                                     tls->key().c_str(), nullptr),
                  0);
      }
      if (more) more(srv);
    };
    server = std::make_unique<TestServer>(nullptr, options);
  }
  ~WsServer() {
    server.reset();
    for (ox_ws *ws : seen.open) ox_ws_unref(ws);
    delete tls;
  }
  uint16_t port() const { return server->port(); }
};

class WsWire : public ::testing::TestWithParam<bool> {};

TEST_P(WsWire, EchoesTextBinaryAndFragmentsAroundPings) {
  WsServer s(GetParam());
  ASSERT_TRUE(s.server->listening());
  WsClient c(s.port(), "/ws", "", GetParam());
  ASSERT_EQ(c.status(), 101) << c.head();
  EXPECT_EQ(c.header("Sec-WebSocket-Accept"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  ASSERT_EQ(s.seen.opened.wait_for(1, 5000), 1);

  ASSERT_TRUE(c.send_text("héllo"));
  auto f = c.read_data();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->op, 1);
  EXPECT_TRUE(f->fin);
  EXPECT_EQ(f->payload, "héllo");

  std::string bytes("\x00\xff\x01", 3);
  ASSERT_TRUE(c.send_frame(0x82, bytes));
  f = c.read_data();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->op, 2);
  EXPECT_EQ(f->payload, bytes);

  // A message in three fragments with a ping between them: the pong comes
  // at once, the message whole after its last fragment.
  ASSERT_TRUE(c.send_frame(0x01, "ab"));
  ASSERT_TRUE(c.send_frame(0x89, "p!"));
  f = c.read_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->op, 0xA);
  EXPECT_EQ(f->payload, "p!");
  ASSERT_TRUE(c.send_frame(0x00, "cd"));
  ASSERT_TRUE(c.send_frame(0x80, std::string(70000, 'e')));
  f = c.read_data();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->payload, "abcd" + std::string(70000, 'e'));

  // The close handshake: the code and reason come back, then the end.
  ASSERT_TRUE(c.send_close(1000, "bye"));
  f = c.read_frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->op, 0x8);
  EXPECT_EQ(f->code(), 1000u);
  EXPECT_TRUE(c.wait_closed());
  ASSERT_EQ(s.seen.closed.wait_for(1, 5000), 1);
  EXPECT_EQ(s.seen.closes[0], std::make_pair(1000u, std::string("bye")));
}

// Each protocol error closes with its code, and the close callback is told.
TEST_P(WsWire, ProtocolErrorsCloseWithTheirCode) {
  struct Case {
    const char *name;
    uint8_t first;
    std::string payload;
    bool mask;
    unsigned int code;
  } cases[] = {
      {"unmasked", 0x81, "hi", false, 1002},
      {"reserved bits", 0xA1, "hi", true, 1002},
      {"unknown opcode", 0x83, "hi", true, 1002},
      {"long control frame", 0x89, std::string(126, 'p'), true, 1002},
      {"fragmented control", 0x09, "p", true, 1002},
      {"continuation alone", 0x80, "x", true, 1002},
      {"invalid UTF-8", 0x81, "\xc3\x28", true, 1007},
      {"too big", 0x82, std::string(2000, 'b'), true, 1009},
      {"bad close code", 0x88, std::string("\x03\xed", 2), true, 1002},
  };
  WsServer s(GetParam(), [](ox_httpsrv *srv) {
    ASSERT_EQ(ox_httpsrv_set_ws_limits(srv, 1000, 0, OX_WSFULL_REFUSE), 0);
  });
  ASSERT_TRUE(s.server->listening());
  int n = 0;
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    WsClient c(s.port(), "/ws", "", GetParam());
    ASSERT_EQ(c.status(), 101);
    ASSERT_TRUE(c.send_frame(k.first, k.payload, k.mask));
    auto f = c.read_data();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->op, 0x8);
    EXPECT_EQ(f->code(), k.code);
    EXPECT_TRUE(c.wait_closed());
    ASSERT_EQ(s.seen.closed.wait_for(++n, 5000), n);
    std::lock_guard<std::mutex> lock(s.seen.mu);
    EXPECT_EQ(s.seen.closes.back().first, k.code);
  }
  EXPECT_TRUE(s.seen.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Transport, WsWire, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) {
                           return p.param ? "Tls" : "Tcp";
                         });

// Every thread model hands the upgraded socket to the loops.
TEST(Ws, EveryThreadModelUpgrades) {
  for (auto model : oxtest::all_thread_models()) {
    for (bool tls : {false, true}) {
      SCOPED_TRACE(oxtest::thread_model_name(model) + (tls ? " TLS" : ""));
      WsServer s(tls, {}, nullptr, nullptr, model);
      ASSERT_TRUE(s.server->listening());
      WsClient c(s.port(), "/ws", "", tls);
      ASSERT_EQ(c.status(), 101);
      ASSERT_TRUE(c.send_text("model"));
      auto f = c.read_data();
      ASSERT_TRUE(f);
      EXPECT_EQ(f->payload, "model");
      ASSERT_TRUE(c.send_close(1000));
      EXPECT_TRUE(c.wait_closed());
    }
  }
}

// The upgrade is a request like any other: the authenticator and the
// before hook may refuse it, and then no connection opens.
TEST(Ws, AuthenticatorAndBeforeHookSeeTheUpgrade) {
  WsServer s(
      false,
      [](ox_httpsrv *srv) {
        ox_httpsrv_set_before(
            srv,
            [](void *, ox_httpreq *req, ox_httpres *res) {
              const char *room = ox_strmap_get(*ox_httpreq_params(req), "room");
              if (room != nullptr && strcmp(room, "closed") == 0) {
                oxtest::send_text(res, "no such room", 404);
                return false;
              }
              return true;
            },
            nullptr);
      },
      nullptr, nullptr, oxtest::ThreadModel::kPolling,
      [](ox_httpauth *auth, ox_httpreq *req, ox_httpres *) {
        const char *token = ox_strmap_get(*ox_httpreq_params(req), "token");
        if (token != nullptr && strcmp(token, "ok") == 0) return true;
        ox_httpauth_deny(auth, "who are you?", "text/plain");
        return false;
      });
  ASSERT_TRUE(s.server->listening());
  struct Case {
    const char *target;
    int status;
  } cases[] = {{"/ws", 401}, {"/ws?token=ok&room=closed", 404},
               {"/ws?token=ok", 101}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.target);
    WsClient c(s.port(), k.target);
    EXPECT_EQ(c.status(), k.status) << c.head();
  }
  EXPECT_EQ(s.seen.opened.wait_for(1, 5000), 1);
  EXPECT_EQ(s.seen.opened.value(), 1);
}

TEST(Ws, HandshakesThatAreRefused) {
  static const char *const protocols[] = {"chat.v2", "chat", nullptr};
  static const char *const origins[] = {"https://app.example", nullptr};
  WsServer s(false, {}, protocols, origins);
  ASSERT_TRUE(s.server->listening());
  struct Case {
    const char *name;
    std::string head;
    int status;
    const char *header, *value;
  } cases[] = {
      {"no upgrade", "GET /ws HTTP/1.1\r\nHost: x\r\n\r\n", 426, "Upgrade",
       "websocket"},
      {"old version",
       "GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: "
       "Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
       "Sec-WebSocket-Version: 8\r\n\r\n",
       426, "Sec-WebSocket-Version", "13"},
      {"bad key",
       "GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: "
       "Upgrade\r\nSec-WebSocket-Key: short\r\nSec-WebSocket-Version: "
       "13\r\n\r\n",
       400, nullptr, nullptr},
      {"other origin",
       "GET /ws HTTP/1.1\r\nHost: x\r\n" + oxtest::ws_handshake_headers() +
           "Origin: https://evil.example\r\n\r\n",
       403, nullptr, nullptr},
      {"subprotocol",
       "GET /ws HTTP/1.1\r\nHost: x\r\n" + oxtest::ws_handshake_headers() +
           "Origin: https://app.example\r\nSec-WebSocket-Protocol: x, "
           "chat\r\n\r\n",
       101, "Sec-WebSocket-Protocol", "chat"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    oxtest::RawConnection raw(s.port());
    ASSERT_TRUE(raw.send(k.head));
    const std::string &got = raw.read_until(
        [](const std::string &b) {
          return b.find("\r\n\r\n") != std::string::npos;
        },
        5000);
    ASSERT_GE(got.size(), 12u) << got;
    EXPECT_EQ(std::atoi(got.c_str() + 9), k.status) << got;
    if (k.header != nullptr) {
      EXPECT_NE(got.find(std::string(k.header) + ": " + k.value),
                std::string::npos)
          << got;
    }
  }
}

TEST(Ws, ServerCloseGroupsAndExcept) {
  WsServer s(false);
  s.seen.group = ox_wsgroup_new();
  s.seen.echo = false;
  ASSERT_TRUE(s.server->listening());
  std::vector<std::unique_ptr<WsClient>> clients;
  for (int i = 0; i < 3; i++) {
    clients.push_back(std::make_unique<WsClient>(s.port(), "/ws"));
    ASSERT_EQ(clients.back()->status(), 101);
  }
  ASSERT_EQ(s.seen.opened.wait_for(3, 5000), 3);
  EXPECT_EQ(ox_wsgroup_size(s.seen.group), 3u);
  ox_ws *first = s.seen.first();
  // From a thread of the program's, leaving out the first member.
  std::thread([&] {
    EXPECT_EQ(ox_wsgroup_send(s.seen.group, "all", 3, OX_WS_TEXT, first), 0);
    EXPECT_EQ(ox_wsgroup_send(s.seen.group, "\xff", 1, OX_WS_TEXT, nullptr),
              EINVAL);
  }).join();
  int got = 0;
  for (auto &c : clients) {
    auto f = c->read_data(c.get() == clients[0].get() ? 300 : 5000);
    if (f) {
      EXPECT_EQ(f->payload, "all");
      got++;
    }
  }
  EXPECT_EQ(got, 2);
  // The server closes one with a code of the program's.
  ox_ws *victim = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.seen.mu);
    victim = s.seen.open[1];
  }
  EXPECT_EQ(ox_ws_close(victim, 999, nullptr), EINVAL);
  ASSERT_EQ(ox_ws_close(victim, 4000, "done"), 0);
  EXPECT_EQ(ox_ws_send(victim, "x", 1, OX_WS_TEXT), EPIPE);
  bool found = false;
  for (auto &c : clients) {
    auto f = c->read_frame(500);
    if (f && f->op == 0x8) {
      EXPECT_EQ(f->code(), 4000u);
      EXPECT_EQ(f->reason(), "done");
      ASSERT_TRUE(c->send_close(4000));
      EXPECT_TRUE(c->wait_closed());
      found = true;
    }
  }
  EXPECT_TRUE(found);
  ASSERT_EQ(s.seen.closed.wait_for(1, 5000), 1);
  EXPECT_EQ(ox_wsgroup_size(s.seen.group), 2u);  // left by itself
  s.server.reset();
  ox_wsgroup_free(s.seen.group);
}

// A client that reads nothing: past the queue limit, the policy applies.
TEST_P(WsWire, SlowConsumerPolicies) {
  for (ox_wsfull policy : {OX_WSFULL_REFUSE, OX_WSFULL_CLOSE}) {
    SCOPED_TRACE(policy);
    WsServer s(GetParam(), [policy](ox_httpsrv *srv) {
      ASSERT_EQ(ox_httpsrv_set_ws_limits(srv, 0, 256 * 1024, policy), 0);
    });
    ASSERT_TRUE(s.server->listening());
    WsClient c(s.port(), "/ws", "", GetParam());
    ASSERT_EQ(c.status(), 101);
    ASSERT_EQ(s.seen.opened.wait_for(1, 5000), 1);
    ox_ws *ws = s.seen.first();
    std::string chunk(64 * 1024, 'q');
    int rc = 0;
    for (int i = 0; i < 2000 && rc == 0; i++) {
      rc = ox_ws_send(ws, chunk.data(), chunk.size(), OX_WS_BINARY);
    }
    EXPECT_LE(ox_ws_queued(ws), 256u * 1024 + chunk.size() + 16);
    if (policy == OX_WSFULL_REFUSE) {
      EXPECT_EQ(rc, ENOBUFS);
    } else {
      EXPECT_EQ(rc, EPIPE);
      ASSERT_EQ(s.seen.closed.wait_for(1, 5000), 1);
      EXPECT_EQ(s.seen.closes[0].first, 1008u);
    }
  }
}

TEST_P(WsWire, UnansweredPingsEndTheConnection) {
  WsServer s(GetParam(), [](ox_httpsrv *srv) {
    ASSERT_EQ(ox_httpsrv_set_ws_timeouts(srv, 1, 2), 0);
  });
  ASSERT_TRUE(s.server->listening());
  WsClient c(s.port(), "/ws", "", GetParam());
  ASSERT_EQ(c.status(), 101);
  auto f = c.read_frame(5000);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->op, 0x9);
  EXPECT_TRUE(c.wait_closed(10000));
  ASSERT_EQ(s.seen.closed.wait_for(1, 5000), 1);
  EXPECT_EQ(s.seen.closes[0].first, 1006u);
}

TEST_P(WsWire, DrainClosesWithGoingAway) {
  WsServer s(GetParam());
  ASSERT_TRUE(s.server->listening());
  WsClient c(s.port(), "/ws", "", GetParam());
  ASSERT_EQ(c.status(), 101);
  ASSERT_EQ(s.seen.opened.wait_for(1, 5000), 1);
  std::thread client([&] {
    auto f = c.read_data();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->code(), 1001u);
    c.send_close(1001);
    EXPECT_TRUE(c.wait_closed());
  });
  unsigned int cut = 99;
  EXPECT_EQ(ox_httpsrv_drain(s.server->get(), 3000, &cut), 0);
  client.join();
  EXPECT_EQ(cut, 0u);
  ASSERT_EQ(s.seen.closed.wait_for(1, 5000), 1);
  EXPECT_EQ(s.seen.closes[0].first, 1001u);
}

// Inflates a permessage-deflate payload (the tail the sender dropped put
// back).
std::string inflate_message(const std::string &payload) {
  z_stream z{};
  inflateInit2(&z, -15);
  std::string in = payload + std::string("\x00\x00\xff\xff", 4);
  std::string out(1 << 20, '\0');
  z.next_in = reinterpret_cast<Bytef *>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  inflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out);
  inflateEnd(&z);
  return out;
}

TEST(Ws, DeflateIsNegotiatedAndUsed) {
  WsServer s(false, [](ox_httpsrv *srv) {
    ASSERT_EQ(ox_httpsrv_set_ws_deflate(srv, true), 0);
  });
  ASSERT_TRUE(s.server->listening());
  WsClient c(s.port(), "/ws",
             "Sec-WebSocket-Extensions: permessage-deflate; "
             "client_max_window_bits\r\n");
  ASSERT_EQ(c.status(), 101);
  EXPECT_NE(c.header("Sec-WebSocket-Extensions").find("permessage-deflate"),
            std::string::npos);
  std::string text(500, 'z');
  ASSERT_TRUE(c.send_text(text));
  auto f = c.read_data();
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->rsv1);
  EXPECT_LT(f->payload.size(), text.size());
  EXPECT_EQ(inflate_message(f->payload), text);
  // Without the offer, nothing is compressed.
  WsClient plain(s.port(), "/ws");
  ASSERT_EQ(plain.status(), 101);
  EXPECT_EQ(plain.header("Sec-WebSocket-Extensions"), "");
  ASSERT_TRUE(plain.send_text(text));
  f = plain.read_data();
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->rsv1);
  EXPECT_EQ(f->payload, text);
}

// The request pointed at its connection without a reference of its own:
// when the program kept none either, the loop freed the connection on its
// close, and libmicrohttpd's end of the request read it afterwards (a use
// after free that AddressSanitizer reports).
TEST(Ws, RequestEndsAfterItsUnreferencedConnectionWasFreed) {
  Counter closed;
  ServerOptions options;
  options.configure = [&closed](ox_httpsrv *srv) {
    ox_wshandlers h{};
    h.message = [](void *, ox_ws *ws, const void *data, size_t size,
                   ox_wstype type) { ox_ws_send(ws, data, size, type); };
    h.close = [](void *cls, ox_ws *, unsigned int, const char *) {
      static_cast<Counter *>(cls)->add();
    };
    ASSERT_EQ(ox_httpsrv_add_ws_route(srv, "/ws", &h, &closed), 0);
  };
  TestServer server(nullptr, options);
  ASSERT_TRUE(server.listening());
  for (int i = 1; i <= 3; i++) {
    WsClient c(server.port(), "/ws");
    ASSERT_EQ(c.status(), 101);
    ASSERT_TRUE(c.send_text("x"));
    auto f = c.read_data();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->payload, "x");
    ASSERT_TRUE(c.send_close(1000));
    EXPECT_TRUE(c.wait_closed());
    EXPECT_EQ(closed.wait_for(i, 5000), i);
  }
}

}  // namespace

// The C++ layer: lambdas, a handle kept past the callback and used from
// another thread, a group, and an exception that closes with 1011.
#include "ombrix.hpp"

namespace {

TEST(WsCpp, LambdasHandlesAndGroups) {
  // What the callbacks touch outlives the server, declared last.
  ombrix::ws_group room;
  std::mutex mu;
  std::vector<ombrix::websocket> kept;
  Counter opened, closed;
  std::vector<unsigned int> codes;
  ombrix::server srv;
  srv.on_error([](std::string_view) {});
  srv.websocket("/room", {
      [&](ombrix::websocket &ws, ombrix::request &req) {
        EXPECT_EQ(req.path(), "/room");
        room.join(ws);
        std::lock_guard<std::mutex> lock(mu);
        kept.push_back(ws);
        opened.add();
      },
      [&](ombrix::websocket &ws, std::string_view data, ombrix::ws_type) {
        if (data == "throw") throw std::runtime_error("no");
        room.send(data, ombrix::ws_type::text, ws);
      },
      [&](ombrix::websocket &, unsigned int code, std::string_view) {
        std::lock_guard<std::mutex> lock(mu);
        codes.push_back(code);
        closed.add();
      },
      {},
      {}});
  srv.listen(0);
  WsClient a(srv.port(), "/room"), b(srv.port(), "/room");
  ASSERT_EQ(a.status(), 101);
  ASSERT_EQ(b.status(), 101);
  ASSERT_EQ(opened.wait_for(2, 5000), 2);
  ASSERT_TRUE(a.send_text("hi all"));
  auto f = b.read_data();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->payload, "hi all");
  // A handle kept by the program sends from another thread.
  std::thread([&] {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_TRUE(kept[0].send("direct"));
  }).join();
  auto direct = a.read_data(1000);
  auto direct_b = b.read_data(300);
  EXPECT_TRUE((direct && direct->payload == "direct") ||
              (direct_b && direct_b->payload == "direct"));
  ASSERT_TRUE(a.send_text("throw"));
  f = a.read_data();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->code(), 1011u);
  a.send_close(1011);
  EXPECT_TRUE(a.wait_closed());
  ASSERT_EQ(closed.wait_for(1, 5000), 1);
  EXPECT_EQ(room.size(), 1u);
  // After the close, the kept handle's sends fail quietly.
  std::lock_guard<std::mutex> lock(mu);
  int failed = 0;
  for (auto &ws : kept) failed += ws.send("late") ? 0 : 1;
  EXPECT_EQ(failed, 1);
}

}  // namespace
