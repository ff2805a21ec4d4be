// A WebSocket client for tests, over TCP or TLS: it sends the handshake and
// frames byte for byte as the test writes them (masked or not, broken on
// purpose), and reads the server's frames as they come.
#ifndef OX_TEST_WS_CLIENT_H
#define OX_TEST_WS_CLIENT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace oxtest {

struct WsFrame {
  uint8_t op = 0;
  bool fin = false;
  bool rsv1 = false;
  std::string payload;
  // A close frame's code (0: none) and reason.
  unsigned int code() const;
  std::string reason() const;
};

class WsClient {
 public:
  // Connects to 127.0.0.1:|port| (over TLS when |tls|, trusting any
  // certificate) and sends a handshake for |path| with |headers| (each
  // line ending in CRLF) added; |handshake| false leaves the head to the
  // test (send_raw()).
  WsClient(uint16_t port, const std::string &path,
           const std::string &headers = "", bool tls = false,
           bool handshake = true);
  ~WsClient();
  WsClient(const WsClient &) = delete;
  WsClient &operator=(const WsClient &) = delete;

  // The reply's status (101 when upgraded; 0: none came) and its head.
  int status() const { return status_; }
  const std::string &head() const { return head_; }
  // The value of the reply header |name|, or "".
  std::string header(const std::string &name) const;

  bool send_raw(std::string_view bytes);
  // Sends one frame: |first| is the first byte (FIN, RSV bits, opcode).
  bool send_frame(uint8_t first, std::string_view payload, bool mask = true);
  bool send_text(std::string_view text) { return send_frame(0x81, text); }
  bool send_close(unsigned int code, std::string_view reason = "");
  // The next frame, or nothing when the server closed or |timeout_ms|
  // passed.
  std::optional<WsFrame> read_frame(int timeout_ms = 5000);
  // The next frame that is no ping or pong.
  std::optional<WsFrame> read_data(int timeout_ms = 5000);
  // Reads until the server closes the connection; true when it did within
  // |timeout_ms|.
  bool wait_closed(int timeout_ms = 5000);
  bool closed() const { return closed_; }

 private:
  bool fill(int timeout_ms);
  bool write_all(const char *data, size_t size);

  int fd_ = -1;
  void *tls_ = nullptr;  // the GnuTLS session, or NULL
  void *creds_ = nullptr;
  bool closed_ = false;
  int status_ = 0;
  std::string head_;
  std::string buf_;  // read, not yet parsed
};

// The handshake headers of a browser (key, version, upgrade).
std::string ws_handshake_headers();

}  // namespace oxtest

#endif  // OX_TEST_WS_CLIENT_H
