// A server for tests; see server_fixture.h.
#include "support/server_fixture.h"

#include <chrono>
#include <utility>

namespace oxtest {

std::string thread_model_name(ThreadModel model) {
  switch (model) {
    case ThreadModel::kPolling: return "Polling";
    case ThreadModel::kPool: return "PoolOf4";
    case ThreadModel::kPerConnection: return "ThreadPerConnection";
  }
  return "Unknown";
}

std::vector<ThreadModel> all_thread_models() {
  return {ThreadModel::kPolling, ThreadModel::kPool,
          ThreadModel::kPerConnection};
}

TestServer::TestServer(ReqHandler handler, ServerOptions options)
    : handler_(std::move(handler)), auth_(std::move(options.auth)) {
  // Without a handler the server only routes: what no route takes is 404.
  srv_ = ox_httpsrv_new2(auth_ ? on_auth : nullptr,
                         handler_ ? on_request : nullptr, on_error, this);
  if (srv_ == nullptr) return;
  if (options.model == ThreadModel::kPool &&
      ox_httpsrv_set_thr_pool_size(srv_, 4) != 0)
    return;
  if (options.configure) options.configure(srv_);
  listening_ = ox_httpsrv_listen(
      srv_, options.port, options.model == ThreadModel::kPerConnection);
  port_ = ox_httpsrv_port(srv_);
}

TestServer::~TestServer() { stop(); }

void TestServer::stop() {
  ox_httpsrv_free(srv_);
  srv_ = nullptr;
}

std::vector<std::string> TestServer::errors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return errors_;
}

bool TestServer::on_auth(void *cls, ox_httpauth *auth, ox_httpreq *req,
                         ox_httpres *res) noexcept {
  return static_cast<TestServer *>(cls)->auth_(auth, req, res);
}

void TestServer::on_request(void *cls, ox_httpreq *req,
                            ox_httpres *res) noexcept {
  auto *self = static_cast<TestServer *>(cls);
  if (self->handler_) self->handler_(req, res);
}

void TestServer::on_error(void *cls, const char *err) noexcept {
  auto *self = static_cast<TestServer *>(cls);
  std::lock_guard<std::mutex> lock(self->mu_);
  self->errors_.emplace_back(err != nullptr ? err : "(null)");
}

void Gate::open() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
  }
  cv_.notify_all();
}

bool Gate::wait(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return open_; });
}

bool Gate::is_open() {
  std::lock_guard<std::mutex> lock(mu_);
  return open_;
}

void Counter::add() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++n_;
  }
  cv_.notify_all();
}

int Counter::value() {
  std::lock_guard<std::mutex> lock(mu_);
  return n_;
}

int Counter::wait_for(int n, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
               [this, n] { return n_ >= n; });
  return n_;
}

}  // namespace oxtest
