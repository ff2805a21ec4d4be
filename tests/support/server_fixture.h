// A server for tests: listens on a free port of 127.0.0.1 with a thread
// model and settings of the test's choice, hands requests to a std::function
// and is freed when it goes out of scope.  Plus a gate and a counter for
// tests that order events across threads.
#ifndef OX_TEST_SERVER_FIXTURE_H
#define OX_TEST_SERVER_FIXTURE_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ombrix.h"

namespace oxtest {

// Sends |text| as text/plain with |status|, expecting the send to succeed.
inline void send_text(ox_httpres *res, const std::string &text,
                      unsigned int status = 200) {
  EXPECT_EQ(ox_httpres_sendbinary(res, text.data(), text.size(), "text/plain",
                                  status),
            0);
}

enum class ThreadModel { kPolling, kPool, kPerConnection };

// "Polling", "PoolOf4", "ThreadPerConnection": for TEST_P names.
std::string thread_model_name(ThreadModel model);

// All three, for INSTANTIATE_TEST_SUITE_P.
std::vector<ThreadModel> all_thread_models();

using ReqHandler = std::function<void(ox_httpreq *, ox_httpres *)>;
using AuthHandler =
    std::function<bool(ox_httpauth *, ox_httpreq *, ox_httpres *)>;

struct ServerOptions {
  ThreadModel model = ThreadModel::kPolling;
  AuthHandler auth;                             // empty: no authentication
  std::function<void(ox_httpsrv *)> configure;  // settings before listen
  uint16_t port = 0;                            // 0: a free port
};

class TestServer {
 public:
  // An empty |handler| makes a server that only routes.
  explicit TestServer(ReqHandler handler, ServerOptions options = {});
  ~TestServer();
  TestServer(const TestServer &) = delete;
  TestServer &operator=(const TestServer &) = delete;

  // True once listening; false when creation or listen failed.
  bool listening() const { return listening_; }
  uint16_t port() const { return port_; }
  ox_httpsrv *get() const { return srv_; }
  // Frees the server now (later calls do nothing).
  void stop();
  // The texts the server gave its error callback so far.
  std::vector<std::string> errors() const;

 private:
  static bool on_auth(void *cls, ox_httpauth *auth, ox_httpreq *req,
                      ox_httpres *res) noexcept;
  static void on_request(void *cls, ox_httpreq *req, ox_httpres *res) noexcept;
  static void on_error(void *cls, const char *err) noexcept;

  ReqHandler handler_;
  AuthHandler auth_;
  ox_httpsrv *srv_ = nullptr;
  bool listening_ = false;
  uint16_t port_ = 0;
  mutable std::mutex mu_;
  std::vector<std::string> errors_;
};

// A one-way gate: threads wait until a test opens it.
class Gate {
 public:
  void open();
  // Waits at most |timeout_ms|; true when the gate is open.
  bool wait(int timeout_ms);
  bool is_open();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// A thread-safe count that tests can wait on.
class Counter {
 public:
  void add();
  int value();
  // Waits at most |timeout_ms| for the count to reach |n|; the count then.
  int wait_for(int n, int timeout_ms);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int n_ = 0;
};

}  // namespace oxtest

#endif  // OX_TEST_SERVER_FIXTURE_H
