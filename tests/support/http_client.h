// HTTP clients for tests: libcurl for ordinary traffic, raw sockets for the
// exact bytes on the wire.  Every call is bounded in time and talks only to
// the loopback addresses (127.0.0.1 by default, or ::1).
#ifndef OX_TEST_HTTP_CLIENT_H
#define OX_TEST_HTTP_CLIENT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace oxtest {

// Response headers in arrival order; names compare without ASCII case.
struct HeaderList {
  std::vector<std::pair<std::string, std::string>> items;

  // The value of the first header named |name|, or "" when there is none.
  std::string get(std::string_view name) const;
  bool has(std::string_view name) const { return count(name) > 0; }
  size_t count(std::string_view name) const;
  std::vector<std::string> all(std::string_view name) const;
};

// Produces the next bytes of a streamed body into |buf| (at most |size|);
// returns the count, 0 at the end.
using BodyReader = std::function<size_t(char *buf, size_t size)>;

// One part of a multipart/form-data body.
struct FormPart {
  std::string name;      // form field name
  std::string data;      // the value, or the file's bytes
  std::string filename;  // non-empty: the part is a file
  std::string mime;      // the file's Content-Type ("" leaves curl's guess)
  uint64_t stream_size = 0;  // with |reader|: the file's size
  BodyReader reader;         // set: the file's bytes come from here
};

struct Request {
  std::string method = "GET";
  std::string target = "/";          // path and query, sent as written
  std::vector<std::string> headers;  // "Name: value" lines
  std::string body;                  // sent when non-empty or |send_body|
  bool send_body = false;            // send |body| even when empty
  std::vector<FormPart> form;        // non-empty: a multipart body
  bool decode = true;                // ask for and decode content encodings
  std::string user, password;        // Basic credentials when |user| is set
  long timeout_ms = 30000;
  std::string host = "127.0.0.1";    // a loopback literal: "127.0.0.1", "::1"
  std::string ca_file;               // set: HTTPS, trusting this PEM only
  std::string cert_file, key_file;   // set: a client certificate to show
};

struct Response {
  int curl_code = 0;         // CURLcode of the transfer; 0 when it completed
  std::string error;         // curl's message when it did not
  long status = 0;           // 0 when no reply arrived
  std::string status_line;   // "HTTP/1.1 200 OK", without CRLF
  HeaderList headers;        // of the final reply (after any 100 Continue)
  std::string body;          // bytes as received (decoded when asked)
  std::string tls_version;   // "TLSv1.3" over HTTPS, else 
  std::string cert_serial;   // the server certificate's serial in hex
                             // ("5100") over HTTPS
  bool ok() const { return curl_code == 0; }
};

// Performs |req| against http://127.0.0.1:|port| (or https, or [::1], as
// |req| says).
Response http(uint16_t port, const Request &req);
Response http_get(uint16_t port, const std::string &target);

// True when this machine has ::1 to listen and connect on.
bool loopback6_available();
Response http_post(uint16_t port, const std::string &target,
                   const std::string &body,
                   const std::string &content_type = "application/octet-stream");

// A TCP connection to 127.0.0.1 for hand-written requests.
class RawConnection {
 public:
  explicit RawConnection(uint16_t port);
  ~RawConnection();
  RawConnection(const RawConnection &) = delete;
  RawConnection &operator=(const RawConnection &) = delete;

  bool connected() const { return fd_ >= 0; }
  // Sends all of |bytes|; false on error.
  bool send(std::string_view bytes);
  // Reads into the buffer until |done(buffer)| holds, the peer closes or
  // |timeout_ms| passes; returns the buffer (all bytes read so far).
  const std::string &read_until(
      const std::function<bool(const std::string &)> &done, int timeout_ms);
  // Reads until the peer closes or |timeout_ms| passes.
  const std::string &read_to_close(int timeout_ms);
  bool peer_closed() const { return closed_; }
  const std::string &received() const { return buf_; }
  void close();

 private:
  int fd_ = -1;
  bool closed_ = false;
  std::string buf_;
};

// What a raw exchange saw: the bytes, and whether the server closed.
struct RawReply {
  std::string bytes;
  bool closed = false;
};

// Sends |request| on a new connection and reads until the server closes
// (or |timeout_ms| passes).
RawReply raw_exchange(uint16_t port, std::string_view request,
                      int timeout_ms = 10000);

// A reply parsed from wire bytes.
struct ParsedResponse {
  std::string status_line;  // without CRLF; "" when no head arrived
  int status = 0;
  HeaderList headers;
  std::string body;         // de-chunked when sent chunked
  bool complete = false;    // the body arrived whole (length or last chunk)
  size_t consumed = 0;      // bytes of |wire| the reply took
};

// Parses the first reply in |wire|; |head| when it answers a HEAD request
// (no body, whatever its framing fields say).
ParsedResponse parse_response(const std::string &wire, bool head = false);

// Parses every reply of a pipelined exchange, the n-th answering a HEAD
// request when |heads|[n] is true; interim (1xx) replies are skipped.
// Bytes that no reply accounts for come last, as a reply whose status line
// is "(stray bytes)" and whose body holds them.
std::vector<ParsedResponse> parse_responses(
    std::string wire, const std::vector<bool> &heads = {});

}  // namespace oxtest

#endif  // OX_TEST_HTTP_CLIENT_H
