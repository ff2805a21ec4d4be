// Push streams: what a client sees on the wire while the program writes
// from its own threads, slow and departed clients, a drain, and a thousand
// quiet streams on one polling thread.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ombrix.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

using oxtest::Counter;
using oxtest::RawConnection;
using oxtest::TestServer;
using oxtest::ThreadModel;

// The streams a handler made, for the test's thread, and how many of them
// were gone (counted when |watch|).
struct Pushes {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<ox_push *> list;
  Counter gone;
  bool watch = true;

  // The |n|-th stream, waited for at most |timeout_ms|; NULL if none came.
  ox_push *wait_for(size_t n, int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                [&] { return list.size() >= n; });
    return list.size() >= n ? list[n - 1] : nullptr;
  }
};

// Answers with a push stream, with |ping|, handed to |p|; with |other|,
// only requests for /events, the rest going to |other|.
oxtest::ReqHandler push_handler(Pushes *p, const char *ping = nullptr,
                                oxtest::ReqHandler other = nullptr) {
  return [=](ox_httpreq *req, ox_httpres *res) {
    if (other && strcmp(ox_httpreq_path(req), "/events") != 0) {
      other(req, res);
      return;
    }
    ox_push *push = nullptr;
    ASSERT_EQ(ox_httpres_sendpush(res, "text/event-stream", ping, 200, &push),
              0);
    if (p->watch) {
      ox_push_on_gone(
          push, [](void *cls) { static_cast<Counter *>(cls)->add(); },
          &p->gone);
    }
    std::lock_guard<std::mutex> lock(p->mu);
    p->list.push_back(push);
    p->cv.notify_all();
  };
}

bool has(const std::string &wire, const std::string &text) {
  return wire.find(text) != std::string::npos;
}

// True once |wire| ends with a chunked body's last chunk; looks at the
// tail alone, as megabytes may come.
bool ended(const std::string &wire) {
  static const std::string last = "\r\n0\r\n\r\n";
  return wire.size() >= last.size() &&
         wire.compare(wire.size() - last.size(), last.size(), last) == 0;
}

// Sends a request for a stream on |c| and reads the reply's head.
void open_stream(RawConnection &c, const std::string &head_lines = "",
                 const std::string &method = "GET") {
  ASSERT_TRUE(c.send(method + " /events HTTP/1.1\r\nHost: x\r\n" + head_lines +
                     "\r\n"));
  c.read_until([](const std::string &b) { return has(b, "\r\n\r\n"); }, 10000);
  ASSERT_EQ(oxtest::parse_response(c.received()).status, 200) << c.received();
}

// The bytes after the head.
std::string after_head(const std::string &wire) {
  size_t at = wire.find("\r\n\r\n");
  return at == std::string::npos ? "" : wire.substr(at + 4);
}

oxtest::ServerOptions with(ThreadModel model,
                           std::function<void(ox_httpsrv *)> configure = {}) {
  oxtest::ServerOptions o;
  o.model = model;
  o.configure = std::move(configure);
  return o;
}

class OxHttppushModels : public testing::TestWithParam<ThreadModel> {};

INSTANTIATE_TEST_SUITE_P(ThreadModels, OxHttppushModels,
                         testing::ValuesIn(oxtest::all_thread_models()),
                         [](const testing::TestParamInfo<ThreadModel> &p) {
                           return oxtest::thread_model_name(p.param);
                         });

// Pieces written one at a time go out as a chunk each, exactly; a burst
// from another thread arrives whole and in order, and the end that follows
// it at once flushes the queue, then ends the body.  The after hook and
// CORS see the reply; gzip never does; the gone callback never runs.
TEST_P(OxHttppushModels, WritesFromAnotherThreadArriveInOrderAsChunks) {
  Pushes pushes;
  ox_cors cors{};
  const char *const origins[] = {"https://app.example", nullptr};
  cors.origins = origins;
  TestServer srv(push_handler(&pushes), with(GetParam(), [&](ox_httpsrv *s) {
                   EXPECT_EQ(ox_httpsrv_set_compression(s, 6), 0);
                   EXPECT_EQ(ox_httpsrv_set_cors(s, &cors), 0);
                   EXPECT_EQ(ox_httpsrv_set_after(
                                 s,
                                 [](void *, ox_httpreq *, ox_httpres *res) {
                                   ox_strmap_set(ox_httpres_headers(res),
                                                 "X-After", "1");
                                 },
                                 nullptr),
                             0);
                 }));
  ASSERT_TRUE(srv.listening());
  RawConnection c(srv.port());
  open_stream(c, "Accept-Encoding: gzip\r\nOrigin: https://app.example\r\n");
  ox_push *push = pushes.wait_for(1);
  ASSERT_NE(push, nullptr);
  oxtest::HeaderList head = oxtest::parse_response(c.received()).headers;
  EXPECT_EQ(head.get("Transfer-Encoding"), "chunked");
  EXPECT_EQ(head.get("Content-Type"), "text/event-stream");
  EXPECT_EQ(head.get("X-After"), "1");
  EXPECT_EQ(head.get("Access-Control-Allow-Origin"), "https://app.example");
  EXPECT_FALSE(head.has("Content-Encoding"));

  std::string lockstep;  // pieces under 10 bytes: their sizes in hex too
  for (std::string piece : {"a", "bb", "data: 3\n\n"}) {
    ASSERT_EQ(ox_push_write(push, piece.data(), piece.size()), 0);
    lockstep += std::to_string(piece.size()) + "\r\n" + piece + "\r\n";
    c.read_until([&](const std::string &b) { return has(b, lockstep); }, 10000);
  }
  EXPECT_EQ(after_head(c.received()), lockstep);

  std::string burst;
  for (int i = 0; i < 500; ++i) burst += "line " + std::to_string(i) + "\n";
  std::thread writer([&] {
    for (size_t at = 0; at < burst.size(); at += 7) {
      EXPECT_EQ(ox_push_write(push, burst.data() + at,
                              std::min<size_t>(7, burst.size() - at)),
                0);
    }
    ox_push_end(push);
  });
  c.read_until(ended, 10000);
  writer.join();
  oxtest::ParsedResponse all = oxtest::parse_response(c.received());
  EXPECT_TRUE(all.complete);
  EXPECT_EQ(all.body, "abbdata: 3\n\n" + burst);
  srv.stop();
  EXPECT_EQ(pushes.gone.value(), 0);
}

// A HEAD gets the head alone, and its stream is over at once: writes fail,
// and a gone callback set now runs at once, where it may end the stream.
TEST(OxHttppush, HeadGetsTheHeadAloneAndItsStreamIsOverAtOnce) {
  Pushes pushes;
  pushes.watch = false;
  TestServer srv(push_handler(&pushes));
  ASSERT_TRUE(srv.listening());
  RawConnection c(srv.port());
  open_stream(c, "", "HEAD");
  ox_push *push = pushes.wait_for(1);
  ASSERT_NE(push, nullptr);
  c.read_to_close(10000);  // no framing: the connection closes after it
  EXPECT_EQ(after_head(c.received()), "");
  EXPECT_EQ(ox_push_write(push, "x", 1), EPIPE);
  struct Ender {
    ox_push *push;
    int runs = 0;
  } ender{push};
  ASSERT_EQ(ox_push_on_gone(
                push,
                [](void *cls) {
                  auto *e = static_cast<Ender *>(cls);
                  e->runs++;
                  ox_push_end(e->push);
                },
                &ender),
            0);
  EXPECT_EQ(ender.runs, 1);
}

// A client that leaves is noticed by the ping (every second here): the
// gone callback runs once, and writes fail from then on.
TEST_P(OxHttppushModels, ClientLeavingIsNoticedByThePing) {
  Pushes pushes;
  TestServer srv(push_handler(&pushes, ": ping\n\n"),
                 with(GetParam(), [](ox_httpsrv *s) {
                   EXPECT_EQ(ox_httpsrv_set_ws_timeouts(s, 1, 0), 0);
                 }));
  ASSERT_TRUE(srv.listening());
  auto c = std::make_unique<RawConnection>(srv.port());
  open_stream(*c);
  ox_push *push = pushes.wait_for(1);
  ASSERT_NE(push, nullptr);
  c->read_until([](const std::string &b) { return has(b, ": ping\n\n"); },
                10000);
  EXPECT_EQ(after_head(c->received()).rfind("8\r\n: ping\n\n\r\n", 0), 0u);
  c.reset();

  EXPECT_EQ(pushes.gone.wait_for(1, 15000), 1);
  EXPECT_EQ(ox_push_write(push, "x", 1), EPIPE);
  ox_push_end(push);
  EXPECT_EQ(pushes.gone.value(), 1);
}

// A client that takes nothing fills the queue: the policy either refuses
// the write and keeps the stream (the client then gets every byte taken),
// or cuts the stream and closes the connection.
TEST(OxHttppush, FullQueueRefusesOrCutsByThePolicy) {
  for (ox_wsfull policy :
       {OX_WSFULL_REFUSE, OX_WSFULL_CLOSE, OX_WSFULL_RETRY}) {
    SCOPED_TRACE(policy);
    Pushes pushes;
    TestServer srv(
        push_handler(&pushes), with(ThreadModel::kPolling, [&](ox_httpsrv *s) {
          EXPECT_EQ(ox_httpsrv_set_ws_limits(s, 0, 64 * 1024, policy), 0);
        }));
    ASSERT_TRUE(srv.listening());
    RawConnection c(srv.port());
    open_stream(c);
    ox_push *push = pushes.wait_for(1);
    ASSERT_NE(push, nullptr);

    std::string block(16 * 1024, 'x');
    uint64_t taken = 0;
    int rc = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0;
         i < 8192 && rc == 0 && std::chrono::steady_clock::now() < until; ++i) {
      rc = ox_push_write(push, block.data(), block.size());
      if (rc == 0) taken += block.size();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    bool refuses = policy == OX_WSFULL_REFUSE;
    ASSERT_EQ(rc, refuses ? ENOBUFS : EPIPE);
    if (refuses) {
      ox_push_end(push);
      c.read_until(ended, 20000);
      oxtest::ParsedResponse r = oxtest::parse_response(c.received());
      EXPECT_TRUE(r.complete);
      EXPECT_EQ(r.body.size(), taken);
      EXPECT_EQ(pushes.gone.value(), 0);
      continue;
    }
    EXPECT_EQ(ox_push_write(push, "x", 1), EPIPE);
    c.read_to_close(10000);
    EXPECT_TRUE(c.peer_closed());
    EXPECT_EQ(pushes.gone.wait_for(1, 10000), 1);
    ox_push_end(push);
  }
}

// A drain ends a push stream at once and cuts a pull stream whose callback
// blocks on at its deadline; it returns long before that callback would
// have ended by itself, and both clients see their end.
TEST_P(OxHttppushModels, DrainEndsPushStreamsAndCutsABlockedPullStream) {
  Pushes pushes;
  Counter blocked;
  oxtest::Gate release;
  struct Pull {
    Counter *blocked;
    oxtest::Gate *release;
    int calls = 0;
  };
  TestServer srv(
      push_handler(&pushes, nullptr, [&](ox_httpreq *, ox_httpres *res) {
        auto read = [](void *h, uint64_t, char *buf, size_t) -> ssize_t {
          auto *pull = static_cast<Pull *>(h);
          if (pull->calls++ == 0) {
            memcpy(buf, "start\n", 6);
            return 6;
          }
          pull->blocked->add();
          pull->release->wait(10000);
          return ox_eor(false);
        };
        EXPECT_EQ(ox_httpres_sendstream(
                      res, 0, read, new Pull{&blocked, &release},
                      [](void *h) { delete static_cast<Pull *>(h); }, 200),
                  0);
      }),
      with(GetParam()));
  ASSERT_TRUE(srv.listening());
  RawConnection push_client(srv.port());
  open_stream(push_client);
  ox_push *stream = pushes.wait_for(1);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(ox_push_write(stream, "hello\n", 6), 0);
  push_client.read_until([](const std::string &b) { return has(b, "hello\n"); },
                         10000);
  RawConnection pull_client(srv.port());
  ASSERT_TRUE(pull_client.send("GET /pull HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_EQ(blocked.wait_for(1, 10000), 1);

  auto start = std::chrono::steady_clock::now();
  unsigned int cut = 0;
  EXPECT_EQ(ox_httpsrv_drain(srv.get(), 300, &cut), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_GE(cut, 1u);  // the pull stream at least
  EXPECT_EQ(ox_push_write(stream, "late", 4), EPIPE);
  push_client.read_to_close(10000);
  pull_client.read_to_close(10000);
  EXPECT_TRUE(push_client.peer_closed());
  EXPECT_TRUE(pull_client.peer_closed());
  EXPECT_TRUE(has(pull_client.received(), "start\n"));

  release.open();
  EXPECT_EQ(pushes.gone.wait_for(1, 10000), 1);
  ox_push_end(stream);
}

// Raises the soft descriptor limit to |want| when the hard one allows;
// true when |want| descriptors may be open.
bool descriptors_for(rlim_t want) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
  if (lim.rlim_cur >= want) return true;
  if (lim.rlim_max < want) return false;
  lim.rlim_cur = want;
  return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

// A thousand open push streams on one polling thread hold nothing up: a
// plain request is answered while they wait, and each then gets its event.
TEST(OxHttppush, AThousandQuietStreamsLeaveThePollingThreadFree) {
  constexpr int kStreams = 1000;
  if (!descriptors_for(2 * kStreams + 200)) {
    GTEST_SKIP() << "needs " << 2 * kStreams + 200 << " descriptors";
  }
  Pushes pushes;
  TestServer srv(
      push_handler(&pushes, nullptr,
                   [](ox_httpreq *, ox_httpres *res) {
                     oxtest::send_text(res, "plain");
                   }),
      with(ThreadModel::kPolling, [](ox_httpsrv *s) {
        EXPECT_EQ(ox_httpsrv_set_con_limit(s, kStreams + 10), 0);
      }));
  ASSERT_TRUE(srv.listening());
  std::vector<std::unique_ptr<RawConnection>> clients;
  for (int i = 0; i < kStreams; ++i) {
    clients.push_back(std::make_unique<RawConnection>(srv.port()));
    ASSERT_TRUE(
        clients.back()->send("GET /events HTTP/1.1\r\nHost: x\r\n\r\n"));
  }
  ASSERT_NE(pushes.wait_for(kStreams, 60000), nullptr);

  oxtest::Request plain;
  plain.target = "/plain";
  plain.timeout_ms = 10000;
  oxtest::Response r = oxtest::http(srv.port(), plain);
  EXPECT_EQ(r.body, "plain") << r.error;

  for (ox_push *p : pushes.list)
    ASSERT_EQ(ox_push_write(p, "data: 1\n\n", 9), 0);
  int got = 0;
  for (auto &c : clients) {
    c->read_until([](const std::string &b) { return has(b, "data: 1\n\n"); },
                  10000);
    got += has(c->received(), "data: 1\n\n") ? 1 : 0;
  }
  EXPECT_EQ(got, kStreams);
  for (ox_push *p : pushes.list) ox_push_end(p);
}

}  // namespace
