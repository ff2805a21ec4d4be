// The server: lifecycle, settings, thread models, isolation, limits and
// what malformed input gets on the wire.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ombrix.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

using oxtest::Counter;
using oxtest::Gate;
using oxtest::TestServer;
using oxtest::ThreadModel;

using oxtest::send_text;

oxtest::ServerOptions with_model(ThreadModel model) {
  oxtest::ServerOptions o;
  o.model = model;
  return o;
}

class OxHttpsrvModels : public testing::TestWithParam<ThreadModel> {};

std::string model_name(const testing::TestParamInfo<ThreadModel> &p) {
  return oxtest::thread_model_name(p.param);
}

INSTANTIATE_TEST_SUITE_P(ThreadModels, OxHttpsrvModels,
                         testing::ValuesIn(oxtest::all_thread_models()),
                         model_name);

TEST_P(OxHttpsrvModels, ConcurrentClientsEachGetTheirOwnReply) {
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    send_text(res, ox_httpreq_path(req));
  }, with_model(GetParam()));
  ASSERT_TRUE(srv.listening());
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 6; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        std::string path = "/t" + std::to_string(t) + "/r" + std::to_string(i);
        oxtest::Response r = oxtest::http_get(srv.port(), path);
        if (r.status == 200 && r.body == path) ++good;
      }
    });
  }
  for (auto &c : clients) c.join();
  EXPECT_EQ(good.load(), 30);
}

struct SlowLane {
  Counter entered;
  Gate release;
  std::atomic<int> second_isolate{-1};
  std::atomic<int> null_cb{-1};
};

void slow_lane_cb(void *cls, ox_httpreq *, ox_httpres *res) {
  auto *lane = static_cast<SlowLane *>(cls);
  lane->entered.add();
  bool released = lane->release.wait(20000);
  send_text(res, released ? "slow done" : "never released");
}

TEST_P(OxHttpsrvModels, IsolatedRequestStaysPendingWhileOthersAreServed) {
  SlowLane lane;
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    if (strcmp(ox_httpreq_path(req), "/slow") != 0) return send_text(res, "fast");
    lane.null_cb = ox_httpreq_isolate(req, nullptr, &lane);
    EXPECT_EQ(ox_httpreq_isolate(req, slow_lane_cb, &lane), 0);
    lane.second_isolate = ox_httpreq_isolate(req, slow_lane_cb, &lane);
  }, with_model(GetParam()));
  ASSERT_TRUE(srv.listening());
  std::atomic<bool> slow_done{false};
  oxtest::Response slow;
  std::thread client([&] {
    slow = oxtest::http_get(srv.port(), "/slow");
    slow_done = true;
  });
  ASSERT_EQ(lane.entered.wait_for(1, 20000), 1);
  oxtest::Response fast = oxtest::http_get(srv.port(), "/fast");
  EXPECT_EQ(fast.status, 200);
  EXPECT_EQ(fast.body, "fast");
  EXPECT_FALSE(slow_done.load());  // still held by the isolated callback
  lane.release.open();
  client.join();
  EXPECT_EQ(slow.status, 200);
  EXPECT_EQ(slow.body, "slow done");
  EXPECT_EQ(lane.null_cb.load(), EINVAL);
  EXPECT_EQ(lane.second_isolate.load(), EALREADY);
}

TEST_P(OxHttpsrvModels, RequestLeftWithoutReplyGets500AndTheErrorIsTold) {
  Counter calls;
  TestServer srv([&](ox_httpreq *, ox_httpres *) { calls.add(); },
                 with_model(GetParam()));
  ASSERT_TRUE(srv.listening());
  oxtest::RawReply raw = oxtest::raw_exchange(
      srv.port(), "GET /none HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  oxtest::ParsedResponse r = oxtest::parse_response(raw.bytes);
  EXPECT_EQ(r.status_line, "HTTP/1.1 500 Internal Server Error");
  EXPECT_TRUE(r.complete);
  EXPECT_FALSE(r.body.empty());
  EXPECT_LT(r.body.size(), 1024u);
  srv.stop();  // every callback has run once this returns
  EXPECT_EQ(calls.value(), 1);
  EXPECT_FALSE(srv.errors().empty());
}

// Stream that never ends; counts its releases.
struct Endless {
  std::atomic<int> frees{0};
};

ssize_t endless_read(void *, uint64_t, char *buf, size_t size) {
  size_t n = size < 1000 ? size : 1000;
  memset(buf, 'x', n);
  return static_cast<ssize_t>(n);
}

void endless_free(void *handle) { ++static_cast<Endless *>(handle)->frees; }

TEST_P(OxHttpsrvModels, FreeClosesOpenConnectionsAndReleasesStreamsOnce) {
  Endless stream;
  TestServer srv([&](ox_httpreq *, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_sendstream(res, 0, endless_read, &stream,
                                    endless_free, 200),
              0);
  }, with_model(GetParam()));
  ASSERT_TRUE(srv.listening());
  oxtest::RawConnection streaming(srv.port());
  oxtest::RawConnection idle(srv.port());
  ASSERT_TRUE(streaming.connected());
  ASSERT_TRUE(idle.connected());
  ASSERT_TRUE(streaming.send("GET /s HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(idle.send("GET /half HTTP/1.1\r\nHost: x\r\n"));  // head unfinished
  const std::string &got = streaming.read_until(
      [](const std::string &b) { return b.size() >= 8000; }, 20000);
  ASSERT_GE(got.size(), 8000u);
  EXPECT_EQ(got.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(stream.frees.load(), 0);
  srv.stop();
  EXPECT_EQ(stream.frees.load(), 1);
  streaming.read_to_close(10000);
  idle.read_to_close(10000);
  EXPECT_TRUE(streaming.peer_closed());
  EXPECT_TRUE(idle.peer_closed());
  EXPECT_EQ(stream.frees.load(), 1);
}

struct Lingering {
  Counter entered, freed;
  Gate release;
  std::atomic<bool> freed_before_return{false};
  std::atomic<bool> finished{false};
};

void lingering_cb(void *cls, ox_httpreq *, ox_httpres *res) {
  auto *l = static_cast<Lingering *>(cls);
  l->entered.add();
  l->release.wait(20000);
  l->freed_before_return = l->freed.value() != 0;
  ox_httpres_sendbinary(res, "late", 4, "text/plain", 200);
  l->finished = true;
}

TEST_P(OxHttpsrvModels, FreeWaitsForIsolatedRequests) {
  Lingering l;
  TestServer srv([&](ox_httpreq *req, ox_httpres *) {
    EXPECT_EQ(ox_httpreq_isolate(req, lingering_cb, &l), 0);
  }, with_model(GetParam()));
  ASSERT_TRUE(srv.listening());
  std::thread client([&] { oxtest::http_get(srv.port(), "/linger"); });
  ASSERT_EQ(l.entered.wait_for(1, 20000), 1);
  std::atomic<bool> finished_when_freed{false};
  std::thread freer([&] {
    srv.stop();
    finished_when_freed = l.finished.load();
    l.freed.add();
  });
  // However long we look, free does not return while the callback runs.
  EXPECT_EQ(l.freed.wait_for(1, 300), 0);
  l.release.open();
  freer.join();
  client.join();
  EXPECT_FALSE(l.freed_before_return.load());
  EXPECT_TRUE(finished_when_freed.load());
}

TEST(OxHttpsrv, NullArgumentsAreRefused) {
  // A server without a request callback is one that only routes.
  ox_httpsrv *routes_only = ox_httpsrv_new(nullptr, nullptr);
  EXPECT_NE(routes_only, nullptr);
  ox_httpsrv_free(routes_only);
  EXPECT_FALSE(ox_httpsrv_listen(nullptr, 0, false));
  errno = 0;
  EXPECT_EQ(ox_httpsrv_port(nullptr), 0);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ox_httpsrv_upld_dir(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ox_httpsrv_set_thr_pool_size(nullptr, 2), EINVAL);
  EXPECT_EQ(ox_httpsrv_set_upld_dir(nullptr, "/tmp"), EINVAL);
  ox_httpsrv_free(nullptr);
}

void never_cb(void *, ox_httpreq *, ox_httpres *) {
  ADD_FAILURE() << "request callback of a server that never listened";
}

TEST(OxHttpsrv, SettersCheckBeforeListenAndRefuseAfter) {
  struct Setter {
    const char *what;
    int (*set)(ox_httpsrv *);
    int before;  // 0: valid, also tried after listen
  } setters[] = {
      {"mem 4095", [](ox_httpsrv *s) { return ox_httpsrv_set_con_mem_limit(s, 4095); }, EINVAL},
      {"dir NULL", [](ox_httpsrv *s) { return ox_httpsrv_set_upld_dir(s, nullptr); }, EINVAL},
      {"dir empty", [](ox_httpsrv *s) { return ox_httpsrv_set_upld_dir(s, ""); }, EINVAL},
      {"pool 4", [](ox_httpsrv *s) { return ox_httpsrv_set_thr_pool_size(s, 4); }, 0},
      {"con limit", [](ox_httpsrv *s) { return ox_httpsrv_set_con_limit(s, 10); }, 0},
      {"mem 4096", [](ox_httpsrv *s) { return ox_httpsrv_set_con_mem_limit(s, 4096); }, 0},
      {"timeout", [](ox_httpsrv *s) { return ox_httpsrv_set_con_timeout(s, 5); }, 0},
      {"payload", [](ox_httpsrv *s) { return ox_httpsrv_set_payld_limit(s, 10); }, 0},
      {"uploads", [](ox_httpsrv *s) { return ox_httpsrv_set_uplds_limit(s, 10); }, 0},
      {"dir", [](ox_httpsrv *s) { return ox_httpsrv_set_upld_dir(s, "/var/tmp"); }, 0},
  };
  ox_httpsrv *srv = ox_httpsrv_new(never_cb, nullptr);
  ASSERT_NE(srv, nullptr);
  EXPECT_EQ(ox_httpsrv_port(srv), 0);
  for (const Setter &s : setters) {
    SCOPED_TRACE(s.what);
    EXPECT_EQ(s.set(srv), s.before);
  }
  EXPECT_STREQ(ox_httpsrv_upld_dir(srv), "/var/tmp");
  ASSERT_TRUE(ox_httpsrv_listen(srv, 0, false));
  EXPECT_NE(ox_httpsrv_port(srv), 0);
  for (const Setter &s : setters) {
    SCOPED_TRACE(s.what);
    if (s.before == 0) {
      EXPECT_EQ(s.set(srv), EALREADY);
    }
  }
  EXPECT_EQ(ox_httpsrv_set_upld_dir(srv, "/elsewhere"), EALREADY);
  EXPECT_STREQ(ox_httpsrv_upld_dir(srv), "/var/tmp");
  ox_httpsrv_free(srv);
}

TEST(OxHttpsrv, UploadDirDefaultsToTmpdirOrTmpAndIsCopied) {
  const char *saved = getenv("TMPDIR");
  std::string old = saved != nullptr ? saved : "";
  ASSERT_EQ(setenv("TMPDIR", "/srv/scratch", 1), 0);
  ox_httpsrv *a = ox_httpsrv_new(never_cb, nullptr);
  ASSERT_EQ(unsetenv("TMPDIR"), 0);
  ox_httpsrv *b = ox_httpsrv_new(never_cb, nullptr);
  if (saved != nullptr) setenv("TMPDIR", old.c_str(), 1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(ox_httpsrv_upld_dir(a), "/srv/scratch");
  EXPECT_STREQ(ox_httpsrv_upld_dir(b), "/tmp");
  char dir[] = "/data/in";
  ASSERT_EQ(ox_httpsrv_set_upld_dir(b, dir), 0);
  dir[1] = 'X';
  EXPECT_STREQ(ox_httpsrv_upld_dir(b), "/data/in");
  ox_httpsrv_free(a);
  ox_httpsrv_free(b);
}

TEST(OxHttpsrv, PortZeroBindsAFreePortServingExactBytes) {
  TestServer srv([](ox_httpreq *, ox_httpres *res) { send_text(res, "hi"); });
  ASSERT_TRUE(srv.listening());
  ASSERT_NE(srv.port(), 0);
  oxtest::RawReply raw = oxtest::raw_exchange(
      srv.port(), "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  oxtest::ParsedResponse r = oxtest::parse_response(raw.bytes);
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.headers.get("Content-Length"), "2");
  EXPECT_EQ(r.headers.get("Content-Type"), "text/plain");
  EXPECT_EQ(r.body, "hi");
  EXPECT_TRUE(raw.closed);
}

TEST(OxHttpsrv, SecondListenFailsAndTheFirstKeepsServing) {
  TestServer srv([](ox_httpreq *, ox_httpres *res) { send_text(res, "up"); });
  ASSERT_TRUE(srv.listening());
  uint16_t port = srv.port();
  EXPECT_FALSE(ox_httpsrv_listen(srv.get(), 0, false));
  EXPECT_EQ(ox_httpsrv_port(srv.get()), port);
  EXPECT_EQ(oxtest::http_get(port, "/").body, "up");
}

TEST(OxHttpsrv, BusyPortFailsAndTellsTheErrorCallback) {
  TestServer first([](ox_httpreq *, ox_httpres *res) { send_text(res, "first"); });
  ASSERT_TRUE(first.listening());
  oxtest::ServerOptions o;
  o.port = first.port();
  TestServer second([](ox_httpreq *, ox_httpres *) {
    ADD_FAILURE() << "the second server got a request";
  }, o);
  EXPECT_FALSE(second.listening());
  EXPECT_EQ(second.port(), 0);
  EXPECT_FALSE(second.errors().empty());
  EXPECT_EQ(oxtest::http_get(first.port(), "/").body, "first");
}

void never_route(void *, ox_httpreq *, ox_httpres *) {
  ADD_FAILURE() << "a route of a server that failed";
}

// Each failed call records its code and its reason, which the next failure
// replaces and a call that succeeds leaves; a failed listen also tells the
// error callback.
TEST(OxHttpsrv, FailedCallsTellWhyThroughLastError) {
  TestServer busy([](ox_httpreq *, ox_httpres *res) { send_text(res, "up"); });
  ASSERT_TRUE(busy.listening());
  const std::string in_use = "cannot listen on port " +
                             std::to_string(busy.port()) + ": " +
                             strerror(EADDRINUSE);
  const uint16_t port = busy.port();
  struct Case {
    const char *what;
    std::function<int(ox_httpsrv *)> call;
    int rc;
    std::string reason;
    bool told;  // the error callback got "ombrix: <reason>"
  } cases[] = {
      {"bad pattern",
       [](ox_httpsrv *s) {
         return ox_httpsrv_add_route(s, "GET", "/bad/(?P<x>[\"", never_route,
                                     nullptr);
       },
       EINVAL,
       "the pattern \"/bad/(?P<x>[\\x22\" does not compile at offset 13: "
       "missing terminating ] for character class",
       false},
      {"status page",
       [](ox_httpsrv *s) {
         return ox_httpsrv_set_status_page(s, 200, "x", nullptr);
       },
       EINVAL,
       "status 200 has no page of the program's: 301 and 400 to 599 have",
       false},
      {"busy port",
       [&](ox_httpsrv *s) { return ox_httpsrv_listen2(s, port, false); },
       EADDRINUSE, in_use, true},
      {"busy port, the bool listen",
       [&](ox_httpsrv *s) {
         errno = 0;
         return ox_httpsrv_listen(s, port, false) ? 0 : errno;
       },
       EADDRINUSE, in_use, true},
      {"setter after listen",
       [](ox_httpsrv *s) {
         EXPECT_EQ(ox_httpsrv_listen2(s, 0, false), 0);
         return ox_httpsrv_set_con_limit(s, 10);
       },
       EALREADY,
       "the server listens already: settings are taken before listening",
       false},
      {"listen after a drain",
       [](ox_httpsrv *s) {
         EXPECT_EQ(ox_httpsrv_listen2(s, 0, false), 0);
         EXPECT_EQ(ox_httpsrv_drain(s, 0, nullptr), 0);
         return ox_httpsrv_listen2(s, 0, false);
       },
       EALREADY, "the server was drained: a server listens once", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> lines;
    ox_httpsrv *srv = ox_httpsrv_new2(
        nullptr, nullptr,
        [](void *cls, const char *err) {
          static_cast<std::vector<std::string> *>(cls)->push_back(err);
        },
        &lines);
    ASSERT_NE(srv, nullptr);
    char why[512] = "x";
    EXPECT_EQ(ox_httpsrv_last_error(srv, why, sizeof why), 0);
    EXPECT_STREQ(why, "");
    EXPECT_EQ(c.call(srv), c.rc);
    EXPECT_EQ(ox_httpsrv_last_error(srv, why, sizeof why), c.rc);
    EXPECT_EQ(why, c.reason);
    EXPECT_EQ(lines, c.told ? std::vector<std::string>{"ombrix: " + c.reason}
                            : std::vector<std::string>{});
    // A success leaves the record; a short buffer gets a cut, ended text.
    EXPECT_EQ(ox_httpsrv_set_ready(srv, true), 0);
    char small[8];
    EXPECT_EQ(ox_httpsrv_last_error(srv, small, sizeof small), c.rc);
    EXPECT_EQ(small, c.reason.substr(0, 7));
    ox_httpsrv_free(srv);
  }
  char why[16];
  EXPECT_EQ(ox_httpsrv_last_error(nullptr, why, sizeof why), EINVAL);
  EXPECT_STREQ(why, "no server");
}

TEST(OxHttpsrv, BodyOverThePayloadLimitIs413WithoutTheCallback) {
  Counter calls;
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *s) { ox_httpsrv_set_payld_limit(s, 1000); };
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    calls.add();
    send_text(res, std::to_string(ox_str_length(ox_httpreq_payload(req))));
  }, o);
  ASSERT_TRUE(srv.listening());
  oxtest::Response at = oxtest::http_post(srv.port(), "/", std::string(1000, 'a'));
  EXPECT_EQ(at.status, 200);
  EXPECT_EQ(at.body, "1000");
  oxtest::Response over = oxtest::http_post(srv.port(), "/", std::string(1001, 'a'));
  EXPECT_EQ(over.status, 413);
  oxtest::Request form;  // multipart text fields count too; files do not
  form.method = "POST";
  form.form = {{"field", std::string(1500, 'f'), "", "", 0, {}}};
  EXPECT_EQ(oxtest::http(srv.port(), form).status, 413);
  // Without a Content-Length the limit holds as the chunks arrive.
  std::string chunk(600, 'b');
  oxtest::RawReply raw = oxtest::raw_exchange(
      srv.port(),
      "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
      "Connection: close\r\n\r\n258\r\n" + chunk + "\r\n258\r\n" + chunk +
          "\r\n0\r\n\r\n");
  EXPECT_EQ(oxtest::parse_response(raw.bytes).status, 413);
  // A GET's body is bounded the same way.
  raw = oxtest::raw_exchange(
      srv.port(),
      "GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 1001\r\n"
      "Connection: close\r\n\r\n" + std::string(1001, 'g'));
  EXPECT_EQ(oxtest::parse_response(raw.bytes).status, 413);
  srv.stop();
  EXPECT_EQ(calls.value(), 1);
}

// A client that keeps sending far past a limit gets the 413 all the same:
// the server tells it at once and reads on for a while before it closes,
// so the kernel does not answer the unread bytes with a reset that would
// throw the reply away.
TEST(OxHttpsrv, ClientSendingOnPastALimitStillReadsThe413) {
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *s) { ox_httpsrv_set_payld_limit(s, 1000); };
  TestServer srv([](ox_httpreq *, ox_httpres *res) { send_text(res, "no"); },
                 o);
  ASSERT_TRUE(srv.listening());
  const std::string body(8 << 20, 'x');
  for (const char *framing : {"Transfer-Encoding: chunked", "Expect:"}) {
    SCOPED_TRACE(framing);
    oxtest::Request req;
    req.method = "POST";
    req.body = body;
    req.headers = {framing};
    oxtest::Response r = oxtest::http(srv.port(), req);
    EXPECT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.body, "Payload Too Large\n");
  }
  // A client that sends all before it reads.
  oxtest::RawConnection c(srv.port());
  std::string chunk = "100000\r\n" + std::string(0x100000, 'y') + "\r\n";
  c.send("POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
         chunk + chunk + chunk);
  c.read_to_close(5000);
  EXPECT_EQ(oxtest::parse_response(c.received()).status, 413);
  // The reading on has its bounds: a client that neither stops sending nor
  // closes is cut off (reset) after a few seconds.
  oxtest::RawConnection stays(srv.port());
  ASSERT_TRUE(stays.send("POST / HTTP/1.1\r\nHost: x\r\n"
                         "Content-Length: 99999999\r\n\r\n"));
  stays.read_to_close(5000);
  EXPECT_EQ(oxtest::parse_response(stays.received()).status, 413);
  bool cut = false;
  for (int i = 0; i < 150 && !cut; ++i) {
    cut = !stays.send(std::string(1024, 'z'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(cut);
}

std::string request_with_headers(size_t total, size_t per_line) {
  std::string req = "GET /h HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
  for (size_t n = 0; n * per_line < total; ++n)
    req += "X-Fill-" + std::to_string(n) + ": " + std::string(per_line - 14, 'v') + "\r\n";
  return req + "\r\n";
}

TEST(OxHttpsrv, HeaderBlocksUpToTheConnectionMemoryPassLargerGet431) {
  oxtest::ServerOptions roomy;
  roomy.configure = [](ox_httpsrv *s) {
    EXPECT_EQ(ox_httpsrv_set_con_mem_limit(s, 128 * 1024), 0);
  };
  TestServer def([](ox_httpreq *req, ox_httpres *res) {
    send_text(res, std::to_string(ox_strmap_count(*ox_httpreq_headers(req))));
  });
  TestServer big([](ox_httpreq *, ox_httpres *res) { send_text(res, "ok"); },
                 roomy);
  ASSERT_TRUE(def.listening());
  ASSERT_TRUE(big.listening());
  struct Case {
    const char *what;
    TestServer *srv;
    std::string request;
    int status;
  } cases[] = {
      {"20 KiB by default", &def, request_with_headers(20 * 1024, 100), 200},
      {"30 KiB by default", &def, request_with_headers(30 * 1024, 100), 431},
      {"one 36 KiB line", &def, request_with_headers(36 * 1024, 36 * 1024), 200},
      {"one 46 KiB line", &def, request_with_headers(46 * 1024, 46 * 1024), 431},
      {"40 KiB with 128 KiB", &big, request_with_headers(40 * 1024, 100), 200},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    oxtest::RawReply raw = oxtest::raw_exchange(c.srv->port(), c.request);
    EXPECT_EQ(oxtest::parse_response(raw.bytes).status, c.status);
    EXPECT_TRUE(raw.closed);
  }
  EXPECT_EQ(oxtest::http_get(def.port(), "/").status, 200);
}

TEST(OxHttpsrv, MalformedRequestsGet4xxAndServingGoesOn) {
  Counter calls;
  TestServer srv([&](ox_httpreq *, ox_httpres *res) {
    calls.add();
    send_text(res, "fine");
  });
  ASSERT_TRUE(srv.listening());
  struct Case {
    const char *request;
    int status;  // 0: the daemon closes without a reply
  } cases[] = {
      {"GET / FOO/1.1\r\nHost: x\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: x\r\nNo colon here\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
       "zz\r\nabc\r\n0\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: x\r\n"
       "Content-Length: 99999999999999999999999\r\n\r\n", 413},
      {"GARBAGE\r\n\r\n", 0},
      // Framing a proxy might read otherwise: refused, and the connection
      // closed, so what follows is never served as a second request.
      {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n"
       "Content-Length: 4\r\n\r\nabcd", 400},
      {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n"
       "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n"
       "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n", 400},
      {"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length : 5\r\n\r\nhello", 400},
      {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", 400},
      // Codings other than chunked: at once, not at the idle timeout.
      {"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\nab", 501},
      {"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n"
       "\r\n0\r\n\r\n", 501},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request);
    oxtest::RawReply raw = oxtest::raw_exchange(srv.port(), c.request);
    EXPECT_EQ(oxtest::parse_response(raw.bytes).status, c.status);
    if (c.status == 0) {
      EXPECT_EQ(raw.bytes, "");
    }
    EXPECT_TRUE(raw.closed);
    EXPECT_EQ(oxtest::http_get(srv.port(), "/").body, "fine");
  }
  srv.stop();
  EXPECT_EQ(calls.value(), static_cast<int>(std::size(cases)));
}

// Sends one byte to each connection every 200 ms until the server has
// closed them all (or 16 s pass, for loaded machines: the deadlines under
// test close them in about 2 s); true when it has.
bool trickle_until_closed(std::vector<std::unique_ptr<oxtest::RawConnection>> &cons) {
  for (int round = 0; round < 80; ++round) {
    bool open = false;
    for (auto &c : cons) {
      if (c->peer_closed()) continue;
      c->send("X");
      c->read_to_close(10);
      open = open || !c->peer_closed();
    }
    if (!open) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

TEST(OxHttpsrv, SlowHeadsAndBodiesAreCutAndOthersServedAgain) {
  // The idle timeout alone never ends a client that sends a byte every few
  // seconds: such clients held every connection for ever.
  Counter calls;
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *s) {
    EXPECT_EQ(ox_httpsrv_set_con_limit(s, 4), 0);
    EXPECT_EQ(ox_httpsrv_set_head_timeout(s, 1), 0);
    EXPECT_EQ(ox_httpsrv_set_body_timeout(s, 1, 1000), 0);
  };
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    calls.add();
    send_text(res, ox_httpreq_path(req));
  }, o);
  ASSERT_TRUE(srv.listening());
  std::vector<std::unique_ptr<oxtest::RawConnection>> cons;
  for (int i = 0; i < 4; ++i) {
    cons.push_back(std::make_unique<oxtest::RawConnection>(srv.port()));
    ASSERT_TRUE(cons.back()->connected());
    // Two trickle their heads, two their bodies.
    cons.back()->send(i < 2 ? "GET /slow HTTP/1.1\r\n"
                            : "POST /slow HTTP/1.1\r\nHost: x\r\n"
                              "Content-Length: 100\r\n\r\n");
  }
  oxtest::Response other;
  std::thread client([&] {
    oxtest::Request req;
    req.target = "/other";
    req.timeout_ms = 25000;
    other = oxtest::http(srv.port(), req);
  });
  EXPECT_TRUE(trickle_until_closed(cons));
  client.join();
  EXPECT_EQ(other.status, 200);
  EXPECT_EQ(other.body, "/other");
  srv.stop();
  EXPECT_EQ(calls.value(), 1);
}

TEST(OxHttpsrv, ConnectionsPerAddressAreCappedWhenAsked) {
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *s) {
    EXPECT_EQ(ox_httpsrv_set_con_per_ip_limit(s, 2), 0);
  };
  TestServer srv([](ox_httpreq *, ox_httpres *res) { send_text(res, "ok"); }, o);
  ASSERT_TRUE(srv.listening());
  oxtest::RawConnection a(srv.port()), b(srv.port());
  ASSERT_TRUE(a.send("GET /a HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(b.send("GET /b HTTP/1.1\r\nHost: x\r\n\r\n"));
  a.read_until([](const std::string &got) { return got.find("ok") != std::string::npos; }, 5000);
  b.read_until([](const std::string &got) { return got.find("ok") != std::string::npos; }, 5000);
  oxtest::RawReply third = oxtest::raw_exchange(
      srv.port(), "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(third.closed);
  EXPECT_EQ(third.bytes, "");
  a.close();
  b.close();
  for (int i = 0; i < 100; ++i) {
    if (oxtest::http_get(srv.port(), "/").status == 200) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(oxtest::http_get(srv.port(), "/").status, 200);
}

TEST(OxHttpsrv, IsolationBeyondItsPoolAndQueueIs503) {
  SlowLane lane;
  Counter refused;
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *s) {
    EXPECT_EQ(ox_httpsrv_set_isolate_limits(s, 0, 1), EINVAL);
    EXPECT_EQ(ox_httpsrv_set_isolate_limits(s, 1, 1), 0);
  };
  static Counter released;  // each closure comes back once, run or refused
  TestServer srv([&](ox_httpreq *req, ox_httpres *) {
    EXPECT_EQ(ox_httpreq_isolate2(req, slow_lane_cb, &lane,
                                  [](void *) { released.add(); }),
              0);
  }, o);
  ASSERT_TRUE(srv.listening());
  std::vector<long> statuses(3);
  std::vector<std::thread> clients;
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back([&, i] {
      oxtest::Response r = oxtest::http_get(srv.port(), "/slow");
      statuses[static_cast<size_t>(i)] = r.status;
      if (r.status == 503) refused.add();
    });
    // One running, one waiting, then the pool is full.
    if (i == 0) {
      EXPECT_EQ(lane.entered.wait_for(1, 20000), 1);
    }
  }
  EXPECT_EQ(refused.wait_for(1, 20000), 1);
  lane.release.open();
  for (auto &c : clients) c.join();
  std::sort(statuses.begin(), statuses.end());
  EXPECT_EQ(statuses, (std::vector<long>{200, 200, 503}));
  EXPECT_EQ(lane.entered.value(), 2);
  srv.stop();
  EXPECT_EQ(released.value(), 3);
}

}  // namespace

TEST(OxHttpsrv, ListensOnTheAddressAskedOrBothFamiliesAndTellsThePeer) {
  bool v6 = oxtest::loopback6_available();
  struct Case {
    const char *bind;       // NULL: the default
    bool v4_reached, v6_reached;
  } cases[] = {
      {nullptr, true, true},
      {"127.0.0.1", true, false},
      {"::1", false, true},
      {"::", false, true},  // IPv6 alone, as asked
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.bind != nullptr ? c.bind : "default");
    bool needs_v6 = c.bind != nullptr && strchr(c.bind, ':') != nullptr;
    if (needs_v6 && !v6) continue;
    oxtest::ServerOptions o;
    o.configure = [&](ox_httpsrv *srv) {
      if (c.bind != nullptr) {
        EXPECT_EQ(ox_httpsrv_set_bind_addr(srv, c.bind), 0);
      }
    };
    TestServer srv([](ox_httpreq *req, ox_httpres *res) {
      send_text(res, ox_httpreq_peer(req));
    }, o);
    ASSERT_TRUE(srv.listening());
    oxtest::Request req;
    req.timeout_ms = 5000;
    oxtest::Response r4 = oxtest::http(srv.port(), req);
    EXPECT_EQ(r4.ok(), c.v4_reached) << r4.error;
    if (c.v4_reached) {
      EXPECT_EQ(r4.body, "127.0.0.1");
    }
    if (!v6) continue;
    req.host = "::1";
    oxtest::Response r6 = oxtest::http(srv.port(), req);
    EXPECT_EQ(r6.ok(), c.v6_reached) << r6.error;
    if (c.v6_reached) {
      EXPECT_EQ(r6.body, "::1");
    }
  }
}

TEST(OxHttpsrv, BindAddressIsAnAddressOrAHostName) {
  ox_httpsrv *srv = ox_httpsrv_new(never_cb, nullptr);
  ASSERT_NE(srv, nullptr);
  // A mistyped address is no name either, and is never looked up.
  for (const char *bad : {"", "127.0.0", "::1::2", "[::1]", "127.0.0.1:80",
                          "1.2.3.256", "host name", "a..b", ".localhost",
                          "under_score"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ox_httpsrv_set_bind_addr(srv, bad), EINVAL);
  }
  EXPECT_EQ(ox_httpsrv_set_bind_addr(srv, std::string(254, 'a').c_str()),
            EINVAL);
  EXPECT_EQ(ox_httpsrv_set_bind_addr(srv, nullptr), EINVAL);
  EXPECT_EQ(ox_httpsrv_set_bind_addr(nullptr, "::1"), EINVAL);
  ox_httpsrv_free(srv);
}

// Each bind listens where it says, and ox_httpsrv_bound_addrs() names the
// sockets: a name ("localhost", from the hosts file, no DNS) listens on
// its addresses like the literal does.
TEST(OxHttpsrv, BoundAddressesNameWhereEachBindListens) {
  bool v6 = oxtest::loopback6_available();
  struct Case {
    const char *bind;  // NULL: the default
    const char *want;  // a part of the text, before the port
  } cases[] = {
      {nullptr, v6 ? "[::]:" : "0.0.0.0:"},
      {"127.0.0.1", "127.0.0.1:"},
      {"localhost", "127.0.0.1:"},
      {"LocalHost", "127.0.0.1:"},
      // Loopback without the resolver, as on a machine with no /etc/hosts.
      {"api.localhost", "127.0.0.1:"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.bind != nullptr ? c.bind : "default");
    oxtest::ServerOptions o;
    o.configure = [&](ox_httpsrv *srv) {
      char text[8];
      EXPECT_EQ(ox_httpsrv_bound_addrs(srv, text, sizeof text), EINVAL);
      if (c.bind != nullptr) {
        EXPECT_EQ(ox_httpsrv_set_bind_addr(srv, c.bind), 0);
      }
    };
    TestServer srv([](ox_httpreq *, ox_httpres *res) { send_text(res, "up"); },
                   o);
    ASSERT_TRUE(srv.listening());
    std::string want = c.want + std::to_string(srv.port());
    char text[512];
    ASSERT_EQ(ox_httpsrv_bound_addrs(srv.get(), text, sizeof text), 0);
    EXPECT_NE(strstr(text, want.c_str()), nullptr) << text;
    EXPECT_EQ(oxtest::http_get(srv.port(), "/").body, "up");
    // Too small a buffer gets "" and ERANGE, not a cut address.
    char small[6] = "xxxxx";
    EXPECT_EQ(ox_httpsrv_bound_addrs(srv.get(), small, sizeof small), ERANGE);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(ox_httpsrv_bound_addrs(srv.get(), small, 0), ERANGE);
    EXPECT_EQ(ox_httpsrv_bound_addrs(srv.get(), nullptr, 8), EINVAL);
    unsigned int cut = 0;
    ASSERT_EQ(ox_httpsrv_drain(srv.get(), 0, &cut), 0);
    EXPECT_EQ(ox_httpsrv_bound_addrs(srv.get(), text, sizeof text), EINVAL);
  }
}

TEST(OxHttpsrv, ReusePortLetsTwoServersShareAPort) {
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *srv) {
    EXPECT_EQ(ox_httpsrv_set_bind_addr(srv, "127.0.0.1"), 0);
    EXPECT_EQ(ox_httpsrv_set_reuse_port(srv, true), 0);
  };
  TestServer first([](ox_httpreq *, ox_httpres *res) { send_text(res, "1"); },
                   o);
  ASSERT_TRUE(first.listening());
  o.port = first.port();
  TestServer second([](ox_httpreq *, ox_httpres *res) { send_text(res, "2"); },
                    o);
  ASSERT_TRUE(second.listening());
  // The kernel spreads connections over both; once the first stops, the
  // second takes them all.
  first.stop();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(oxtest::http_get(o.port, "/").body, "2");
  }
}

// A drain lets a request in flight finish (its reply closes the
// connection), closes a connection waiting between requests at once, cuts
// a body still trickling in at the deadline, and refuses new clients.
TEST_P(OxHttpsrvModels, DrainFinishesRequestsInFlightAndCutsTheRestAtTheDeadline) {
  Counter heads, isolated;
  oxtest::ServerOptions o = with_model(GetParam());
  o.auth = [&](ox_httpauth *, ox_httpreq *, ox_httpres *) {
    heads.add();
    return true;
  };
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    if (strcmp(ox_httpreq_path(req), "/slow") != 0) {
      send_text(res, "ok");
      return;
    }
    EXPECT_EQ(ox_httpreq_isolate(req, [](void *cls, ox_httpreq *, ox_httpres *r) {
      static_cast<Counter *>(cls)->add();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      send_text(r, "done");
    }, &isolated), 0);
  }, o);
  ASSERT_TRUE(srv.listening());
  uint16_t port = srv.port();

  oxtest::RawConnection idle(port);
  ASSERT_TRUE(idle.send("GET /idle HTTP/1.1\r\nHost: x\r\n\r\n"));
  idle.read_until([](const std::string &b) { return b.find("ok") != b.npos; },
                  10000);
  ASSERT_EQ(oxtest::parse_response(idle.received()).body, "ok");
  oxtest::RawConnection trickle(port);
  ASSERT_TRUE(trickle.send("POST /body HTTP/1.1\r\nHost: x\r\n"
                           "Content-Length: 100\r\n\r\n0123456789"));
  ASSERT_EQ(heads.wait_for(2, 10000), 2);
  oxtest::Response slow;
  std::thread client([&] { slow = oxtest::http_get(port, "/slow"); });
  ASSERT_EQ(isolated.wait_for(1, 10000), 1);

  unsigned int cut = 99;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ox_httpsrv_drain(srv.get(), 2000, &cut), 0);
  auto spent = std::chrono::steady_clock::now() - start;
  client.join();

  EXPECT_EQ(cut, 1u);  // the trickling body
  ASSERT_TRUE(slow.ok()) << slow.error;
  EXPECT_EQ(slow.body, "done");
  EXPECT_EQ(slow.headers.get("Connection"), "close");
  EXPECT_EQ(trickle.read_to_close(5000), "");
  EXPECT_TRUE(trickle.peer_closed());
  idle.read_to_close(5000);
  EXPECT_TRUE(idle.peer_closed());
  EXPECT_EQ(oxtest::parse_response(idle.received()).body, "ok");
  EXPECT_FALSE(oxtest::RawConnection(port).connected());
  // The body held the drain to its deadline, and no longer.
  EXPECT_GE(spent, std::chrono::milliseconds(1500));
  EXPECT_LT(spent, std::chrono::seconds(10));
  // Drained is stopped for good.
  EXPECT_FALSE(ox_httpsrv_listen(srv.get(), 0, false));
  EXPECT_EQ(ox_httpsrv_set_con_limit(srv.get(), 5), EALREADY);
  EXPECT_EQ(ox_httpsrv_drain(srv.get(), 0, &cut), EINVAL);
  EXPECT_EQ(cut, 0u);
}

// Servers drained together share one deadline: a body trickling into each
// is cut on each, both stop, and the drain ends at the one deadline (a
// drain after the other would take at least two).
TEST(OxHttpsrv, DrainManyCutsEachServerAtOneSharedDeadline) {
  Counter heads;
  oxtest::ServerOptions o;
  o.auth = [&](ox_httpauth *, ox_httpreq *, ox_httpres *) {
    heads.add();
    return true;
  };
  auto ok = [](ox_httpreq *, ox_httpres *res) { send_text(res, "ok"); };
  TestServer a(ok, o), b(ok, o), idle(ok, o);
  ASSERT_TRUE(a.listening() && b.listening() && idle.listening());
  std::vector<std::unique_ptr<oxtest::RawConnection>> trickles;
  for (uint16_t port : {a.port(), b.port()}) {
    trickles.push_back(std::make_unique<oxtest::RawConnection>(port));
    ASSERT_TRUE(trickles.back()->send("POST /up HTTP/1.1\r\nHost: x\r\n"
                                      "Content-Length: 100\r\n\r\n0123"));
  }
  ASSERT_EQ(heads.wait_for(2, 10000), 2);

  ox_httpsrv *const both[] = {a.get(), b.get()};
  unsigned int cuts[2] = {99, 99};
  constexpr unsigned int deadline_ms = 1500;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ox_httpsrv_drain_many(both, 2, deadline_ms, cuts), 0);
  auto spent = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(cuts[0], 1u);
  EXPECT_EQ(cuts[1], 1u);
  EXPECT_LT(spent, std::chrono::milliseconds(2 * deadline_ms));
  for (auto &t : trickles) {
    t->read_to_close(5000);
    EXPECT_TRUE(t->peer_closed());
  }
  for (const TestServer *srv : {&a, &b}) {
    EXPECT_FALSE(oxtest::RawConnection(srv->port()).connected());
    EXPECT_FALSE(ox_httpsrv_listen(srv->get(), 0, false));
  }
  // Refused lists drain nothing: the server still listening still serves.
  struct Bad {
    const char *what;
    std::vector<ox_httpsrv *> list;
  } bad[] = {
      {"drained already", {idle.get(), a.get()}},
      {"listed twice", {idle.get(), idle.get()}},
      {"NULL server", {idle.get(), nullptr}},
  };
  for (Bad &c : bad) {
    SCOPED_TRACE(c.what);
    unsigned int counts[2] = {7, 7};
    EXPECT_EQ(ox_httpsrv_drain_many(c.list.data(), 2, 0, counts), EINVAL);
    EXPECT_EQ(counts[0] + counts[1], 0u);
    EXPECT_EQ(oxtest::http_get(idle.port(), "/").body, "ok");
  }
  EXPECT_EQ(ox_httpsrv_drain_many(nullptr, 1, 0, nullptr), EINVAL);
  EXPECT_EQ(ox_httpsrv_drain_many(nullptr, 0, 0, nullptr), 0);
}

// At the connection limit the next client waits in the backlog and is
// served once a connection closes; a drain or a free at that moment stops
// accepting without racing the serving threads (which once aborted the
// process), however often it is done.
TEST_P(OxHttpsrvModels, ClientsBeyondTheLimitWaitAndStoppingThereIsSafe) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    oxtest::ServerOptions o = with_model(GetParam());
    o.configure = [](ox_httpsrv *s) {
      EXPECT_EQ(ox_httpsrv_set_con_limit(s, 4), 0);
      EXPECT_EQ(ox_httpsrv_set_thr_pool_size(s, 2), 0);
    };
    TestServer srv([](ox_httpreq *, ox_httpres *res) { send_text(res, "ok"); },
                   o);
    ASSERT_TRUE(srv.listening());
    std::vector<std::unique_ptr<oxtest::RawConnection>> held;
    for (int i = 0; i < 4; ++i) {
      held.push_back(std::make_unique<oxtest::RawConnection>(srv.port()));
      ASSERT_TRUE(held.back()->send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
      held.back()->read_until(
          [](const std::string &b) { return b.find("ok") != b.npos; }, 10000);
    }
    oxtest::RawConnection waiting(srv.port());
    ASSERT_TRUE(waiting.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    if (round == 0) {
      EXPECT_EQ(waiting.read_to_close(300), "");
      held.front()->close();
      waiting.read_until(
          [](const std::string &b) { return b.find("ok") != b.npos; }, 10000);
      EXPECT_EQ(oxtest::parse_response(waiting.received()).status, 200);
    }
    if (round % 2 == 0) {
      EXPECT_EQ(ox_httpsrv_drain(srv.get(), 50, nullptr), 0);
    }
    srv.stop();
  }
}

// What reaches the error callback is one line per event in one form (the
// prefix, the client's address and port, no newline), the client's bytes
// escaped within it, and a flood of such events (clients leaving
// mid-request, say) is held back to a burst and a count.
TEST(OxHttpsrv, ErrorLinesEscapeClientBytesAndFloodsAreHeldBack) {
  TestServer srv([](ox_httpreq *, ox_httpres *) {});
  ASSERT_TRUE(srv.listening());
  for (int i = 0; i < 30; ++i) {
    oxtest::raw_exchange(srv.port(),
                         "GET /x%0aombrix:\"FORGED\"\\\xff HTTP/1.1\r\n"
                         "Host: x\r\nConnection: close\r\n\r\n");
  }
  srv.stop();
  std::vector<std::string> errors = srv.errors();
  ASSERT_EQ(errors.size(), 10u);  // the burst; the count comes later
  const std::string head = "ombrix: 127.0.0.1:";
  const std::string tail =
      ": no reply to GET /x%0aombrix:\\x22FORGED\\x22\\x5C\\xFF";
  for (const std::string &e : errors) {
    ASSERT_GT(e.size(), head.size() + tail.size()) << e;
    EXPECT_EQ(e.substr(0, head.size()), head);
    EXPECT_EQ(e.substr(e.size() - tail.size()), tail);
    std::string port =
        e.substr(head.size(), e.size() - head.size() - tail.size());
    EXPECT_EQ(port.find_first_not_of("0123456789"), std::string::npos) << e;
  }
}

// A reply must be taken within the send deadline (a base and a rate), so a
// client that reads now and then cannot hold it and its memory for long;
// the time a stream's callback takes to make a piece does not count.
TEST(OxHttpsrv, SlowReadersAreCutAtTheSendDeadlineNotSlowProducers) {
  oxtest::ServerOptions o;
  o.model = ThreadModel::kPerConnection;
  o.configure = [](ox_httpsrv *s) {
    EXPECT_EQ(ox_httpsrv_set_send_timeout(s, 1, 64 << 20), 0);
  };
  const std::string big(8 << 20, 'b');
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    if (strcmp(ox_httpreq_path(req), "/big") == 0) {
      send_text(res, big);
      return;
    }
    // Three pieces, two seconds apart.
    ox_httpres_sendstream(
        res, 0,
        [](void *, uint64_t offset, char *buf, size_t) -> ssize_t {
          if (offset >= 3) return ox_eor(false);
          if (offset != 0) std::this_thread::sleep_for(std::chrono::seconds(2));
          buf[0] = 'x';
          return 1;
        },
        nullptr, nullptr, 200);
  }, o);
  ASSERT_TRUE(srv.listening());
  oxtest::RawConnection slow(srv.port());
  ASSERT_TRUE(slow.send("GET /big HTTP/1.1\r\nHost: x\r\n\r\n"));
  slow.read_until([](const std::string &b) { return b.size() > 16384; }, 5000);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  slow.read_to_close(10000);
  EXPECT_TRUE(slow.peer_closed());
  EXPECT_FALSE(oxtest::parse_response(slow.received()).complete);

  oxtest::Response paced = oxtest::http_get(srv.port(), "/paced");
  EXPECT_TRUE(paced.ok()) << paced.error;
  EXPECT_EQ(paced.body, "xxx");
}
