#include "support/ws_client.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>

namespace oxtest {

namespace {

gnutls_session_t session_of(void *tls) {
  return static_cast<gnutls_session_t>(tls);
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

unsigned int WsFrame::code() const {
  if (payload.size() < 2) return 0;
  return (static_cast<unsigned char>(payload[0]) << 8) |
         static_cast<unsigned char>(payload[1]);
}

std::string WsFrame::reason() const {
  return payload.size() > 2 ? payload.substr(2) : std::string();
}

std::string ws_handshake_headers() {
  return "Upgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
         "Sec-WebSocket-Version: 13\r\n";
}

WsClient::WsClient(uint16_t port, const std::string &path,
                   const std::string &headers, bool tls, bool handshake) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd_);
    fd_ = -1;
    closed_ = true;
    return;
  }
  if (tls) {
    gnutls_certificate_credentials_t creds;
    gnutls_certificate_allocate_credentials(&creds);
    creds_ = creds;
    gnutls_session_t session;
    gnutls_init(&session, GNUTLS_CLIENT);
    gnutls_set_default_priority(session);
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, creds);
    gnutls_transport_set_int(session, fd_);
    gnutls_handshake_set_timeout(session, 5000);
    tls_ = session;
    int rc;
    do {
      rc = gnutls_handshake(session);
    } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    if (rc < 0) {
      closed_ = true;
      return;
    }
  }
  if (!handshake) return;
  std::string request = "GET " + path +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                        ws_handshake_headers() + headers + "\r\n";
  if (!send_raw(request)) return;
  int64_t until = now_ms() + 5000;
  size_t end;
  while ((end = buf_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill(static_cast<int>(until - now_ms()))) return;
  }
  head_ = buf_.substr(0, end + 4);
  buf_.erase(0, end + 4);
  if (head_.size() > 12) status_ = std::atoi(head_.c_str() + 9);
}

WsClient::~WsClient() {
  if (tls_ != nullptr) gnutls_deinit(session_of(tls_));
  if (creds_ != nullptr) {
    gnutls_certificate_free_credentials(
        static_cast<gnutls_certificate_credentials_t>(creds_));
  }
  if (fd_ >= 0) close(fd_);
}

std::string WsClient::header(const std::string &name) const {
  std::string wanted = "\r\n" + name + ":";
  auto lower = [](std::string s) {
    for (char &c : s) c = static_cast<char>(tolower(c));
    return s;
  };
  std::string head = lower(head_);
  size_t at = head.find(lower(wanted));
  if (at == std::string::npos) return "";
  at += wanted.size();
  size_t end = head_.find("\r\n", at);
  std::string value = head_.substr(at, end - at);
  while (!value.empty() && value.front() == ' ') value.erase(0, 1);
  return value;
}

bool WsClient::write_all(const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = tls_ != nullptr
                    ? gnutls_record_send(session_of(tls_), data, size)
                    : ::send(fd_, data, size, MSG_NOSIGNAL);
    if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WsClient::send_raw(std::string_view bytes) {
  if (fd_ < 0) return false;
  return write_all(bytes.data(), bytes.size());
}

bool WsClient::send_frame(uint8_t first, std::string_view payload,
                          bool mask) {
  std::string frame(1, static_cast<char>(first));
  uint8_t bit = mask ? 0x80 : 0;
  size_t n = payload.size();
  if (n < 126) {
    frame += static_cast<char>(bit | n);
  } else if (n < 65536) {
    frame += static_cast<char>(bit | 126);
    frame += static_cast<char>(n >> 8);
    frame += static_cast<char>(n & 0xff);
  } else {
    frame += static_cast<char>(bit | 127);
    for (int i = 7; i >= 0; i--) frame += static_cast<char>((n >> (8 * i)) & 0xff);
  }
  std::string body(payload);
  if (mask) {
    static std::mt19937 rng(42);
    char key[4];
    for (char &k : key) k = static_cast<char>(rng());
    frame.append(key, 4);
    for (size_t i = 0; i < body.size(); i++) body[i] ^= key[i % 4];
  }
  return send_raw(frame + body);
}

bool WsClient::send_close(unsigned int code, std::string_view reason) {
  std::string payload;
  payload += static_cast<char>(code >> 8);
  payload += static_cast<char>(code & 0xff);
  payload += reason;
  return send_frame(0x88, payload);
}

bool WsClient::fill(int timeout_ms) {
  if (closed_ || fd_ < 0) return false;
  if (tls_ == nullptr ||
      gnutls_record_check_pending(session_of(tls_)) == 0) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms) <= 0) return false;
  }
  char chunk[16384];
  ssize_t n;
  do {
    n = tls_ != nullptr ? gnutls_record_recv(session_of(tls_), chunk, sizeof chunk)
                        : recv(fd_, chunk, sizeof chunk, 0);
  } while (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  buf_.append(chunk, static_cast<size_t>(n));
  return true;
}

std::optional<WsFrame> WsClient::read_frame(int timeout_ms) {
  int64_t until = now_ms() + timeout_ms;
  for (;;) {
    if (buf_.size() >= 2) {
      auto b = [&](size_t i) { return static_cast<uint8_t>(buf_[i]); };
      uint64_t len = b(1) & 0x7f;
      size_t at = 2;
      if (len == 126 && buf_.size() >= 4) {
        len = (b(2) << 8) | b(3);
        at = 4;
      } else if (len == 127 && buf_.size() >= 10) {
        len = 0;
        for (size_t i = 2; i < 10; i++) len = (len << 8) | b(i);
        at = 10;
      }
      bool head_whole = (b(1) & 0x7f) < 126 || at > 2;
      if (head_whole && buf_.size() >= at + len) {
        WsFrame f;
        f.fin = (b(0) & 0x80) != 0;
        f.rsv1 = (b(0) & 0x40) != 0;
        f.op = b(0) & 0x0f;
        f.payload = buf_.substr(at, len);
        buf_.erase(0, at + len);
        return f;
      }
    }
    if (!fill(static_cast<int>(until - now_ms()))) return std::nullopt;
  }
}

std::optional<WsFrame> WsClient::read_data(int timeout_ms) {
  int64_t until = now_ms() + timeout_ms;
  for (;;) {
    auto f = read_frame(static_cast<int>(until - now_ms()));
    if (!f || (f->op != 0x9 && f->op != 0xA)) return f;
  }
}

bool WsClient::wait_closed(int timeout_ms) {
  int64_t until = now_ms() + timeout_ms;
  while (!closed_) {
    buf_.clear();
    if (!fill(static_cast<int>(until - now_ms())) && !closed_) return false;
  }
  return true;
}

}  // namespace oxtest
