// HTTP clients for tests; see http_client.h.
#include "support/http_client.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace oxtest {

namespace {

bool header_name_is(const std::string &a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), b.size()) == 0;
}

std::string trim(std::string_view s) {
  size_t begin = 0, end = s.size();
  while (begin < end && (s[begin] == ' ' || s[begin] == '\t')) ++begin;
  while (end > begin && (s[end - 1] == ' ' || s[end - 1] == '\t' ||
                         s[end - 1] == '\r' || s[end - 1] == '\n'))
    --end;
  return std::string(s.substr(begin, end - begin));
}

// Parses one "Name: value" line into |list| (lines without ':' are skipped).
void header_parse_line(std::string_view line, HeaderList *list) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  list->items.emplace_back(trim(line.substr(0, colon)),
                           trim(line.substr(colon + 1)));
}

size_t client_on_header(char *data, size_t size, size_t n, void *cls) {
  auto *res = static_cast<Response *>(cls);
  std::string_view line(data, size * n);
  if (line.substr(0, 5) == "HTTP/") {
    // A new status line: an interim 100 Continue is forgotten.
    res->status_line = trim(line);
    res->headers.items.clear();
  } else {
    header_parse_line(line, &res->headers);
  }
  return size * n;
}

size_t client_on_body(char *data, size_t size, size_t n, void *cls) {
  static_cast<Response *>(cls)->body.append(data, size * n);
  return size * n;
}

size_t client_on_read(char *buf, size_t size, size_t n, void *cls) {
  return (*static_cast<BodyReader *>(cls))(buf, size * n);
}

void client_global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyFree {
  void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct SlistFree {
  void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
struct MimeFree {
  void operator()(curl_mime *m) const { curl_mime_free(m); }
};

}  // namespace

std::string HeaderList::get(std::string_view name) const {
  for (const auto &[n, v] : items)
    if (header_name_is(n, name)) return v;
  return "";
}

size_t HeaderList::count(std::string_view name) const {
  size_t c = 0;
  for (const auto &item : items) c += header_name_is(item.first, name);
  return c;
}

std::vector<std::string> HeaderList::all(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto &[n, v] : items)
    if (header_name_is(n, name)) out.push_back(v);
  return out;
}

namespace {

// The serial number of the server's own certificate, as curl tells it.
std::string client_cert_serial(CURL *c) {
  curl_certinfo *info = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_CERTINFO, &info) != CURLE_OK ||
      info == nullptr || info->num_of_certs < 1) {
    return "";
  }
  const std::string key = "Serial Number:";
  for (curl_slist *item = info->certinfo[0]; item != nullptr;
       item = item->next) {
    std::string line = item->data;
    if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
  }
  return "";
}

}  // namespace

Response http(uint16_t port, const Request &req) {
  client_global_init();
  Response res;
  std::unique_ptr<CURL, EasyFree> easy(curl_easy_init());
  if (!easy) {
    res.curl_code = -1;
    res.error = "curl_easy_init failed";
    return res;
  }
  CURL *c = easy.get();
  bool v6 = req.host.find(':') != std::string::npos;
  std::string url = (req.ca_file.empty() ? "http://" : "https://") +
                    (v6 ? "[" + req.host + "]" : req.host) + ":" +
                    std::to_string(port) + req.target;
  if (!req.ca_file.empty()) {
    // The test certificate names 127.0.0.1 and ::1, so curl checks the
    // chain and the name as it would for any server.
    curl_easy_setopt(c, CURLOPT_CAINFO, req.ca_file.c_str());
    curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(c, CURLOPT_CERTINFO, 1L);
    if (!req.cert_file.empty()) {
      curl_easy_setopt(c, CURLOPT_SSLCERT, req.cert_file.c_str());
      curl_easy_setopt(c, CURLOPT_SSLKEY, req.key_file.c_str());
    }
  }
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");  // never an environment proxy
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, req.timeout_ms);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
  curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, client_on_header);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &res);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, client_on_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &res);
  if (req.decode) curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
  if (!req.user.empty()) {
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(c, CURLOPT_USERNAME, req.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, req.password.c_str());
  }

  // No "Expect: 100-continue" wait unless a test asks for one.
  std::vector<std::string> lines = {"Expect:"};
  lines.insert(lines.end(), req.headers.begin(), req.headers.end());
  curl_slist *list = nullptr;
  for (const auto &line : lines) {
    curl_slist *next = curl_slist_append(list, line.c_str());
    if (next == nullptr) {
      curl_slist_free_all(list);
      res.curl_code = -1;
      res.error = "curl_slist_append failed";
      return res;
    }
    list = next;
  }
  std::unique_ptr<curl_slist, SlistFree> headers(list);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

  std::unique_ptr<curl_mime, MimeFree> mime;
  if (!req.form.empty()) {
    mime.reset(curl_mime_init(c));
    for (const FormPart &p : req.form) {
      curl_mimepart *part = curl_mime_addpart(mime.get());
      curl_mime_name(part, p.name.c_str());
      if (p.reader) {
        curl_mime_data_cb(part, static_cast<curl_off_t>(p.stream_size),
                          client_on_read, nullptr, nullptr,
                          const_cast<BodyReader *>(&p.reader));
      } else {
        curl_mime_data(part, p.data.data(), p.data.size());
      }
      if (!p.filename.empty()) curl_mime_filename(part, p.filename.c_str());
      if (!p.mime.empty()) curl_mime_type(part, p.mime.c_str());
    }
    curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());
  } else if (!req.body.empty() || req.send_body) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(req.body.size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, req.body.data());
  }
  if (req.method == "HEAD") {
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
  } else if (req.method != "GET" || !req.body.empty() || !req.form.empty()) {
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, req.method.c_str());
  }

  char errbuf[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  CURLcode rc = curl_easy_perform(c);
  res.curl_code = rc;
  if (rc != CURLE_OK) {
    res.error = curl_easy_strerror(rc);
    if (errbuf[0] != '\0') res.error += std::string(": ") + errbuf;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &res.status);
  if (!req.ca_file.empty()) res.cert_serial = client_cert_serial(c);
  return res;
}

Response http_get(uint16_t port, const std::string &target) {
  Request req;
  req.target = target;
  return http(port, req);
}

Response http_post(uint16_t port, const std::string &target,
                   const std::string &body, const std::string &content_type) {
  Request req;
  req.method = "POST";
  req.target = target;
  req.body = body;
  req.send_body = true;
  req.headers.push_back("Content-Type: " + content_type);
  return http(port, req);
}

RawConnection::RawConnection(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

RawConnection::~RawConnection() { close(); }

void RawConnection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RawConnection::send(std::string_view bytes) {
  while (fd_ >= 0 && !bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return fd_ >= 0;
}

const std::string &RawConnection::read_until(
    const std::function<bool(const std::string &)> &done, int timeout_ms) {
  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  while (fd_ >= 0 && !closed_ && !done(buf_)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - clock::now())
                    .count();
    if (left <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char chunk[16384];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closed_ = true;  // orderly close or reset: nothing more comes
      break;
    }
    buf_.append(chunk, static_cast<size_t>(n));
  }
  return buf_;
}

const std::string &RawConnection::read_to_close(int timeout_ms) {
  return read_until([](const std::string &) { return false; }, timeout_ms);
}

RawReply raw_exchange(uint16_t port, std::string_view request, int timeout_ms) {
  RawConnection con(port);
  RawReply reply;
  if (!con.connected()) return reply;
  con.send(request);  // a server may close before reading it all
  reply.bytes = con.read_to_close(timeout_ms);
  reply.closed = con.peer_closed();
  return reply;
}

ParsedResponse parse_response(const std::string &wire, bool head) {
  ParsedResponse out;
  size_t head_end = wire.find("\r\n\r\n");
  if (head_end == std::string::npos) return out;
  std::string_view lines(wire.data(), head_end);
  size_t eol = lines.find("\r\n");
  out.status_line = std::string(lines.substr(0, eol));
  if (out.status_line.size() >= 12) out.status = atoi(&out.status_line[9]);
  while (eol != std::string_view::npos) {
    size_t start = eol + 2;
    eol = lines.find("\r\n", start);
    header_parse_line(lines.substr(start, eol == std::string_view::npos
                                              ? std::string_view::npos
                                              : eol - start),
                      &out.headers);
  }
  size_t body_at = head_end + 4;
  std::string_view rest(wire.data() + body_at, wire.size() - body_at);
  out.consumed = body_at;
  // No body, whatever the framing fields say: HEAD, 1xx, 204, 304.
  if (head || out.status < 200 || out.status == 204 || out.status == 304) {
    out.complete = true;
    return out;
  }
  if (strcasecmp(out.headers.get("Transfer-Encoding").c_str(), "chunked") ==
      0) {
    while (true) {
      size_t line_end = rest.find("\r\n");
      if (line_end == std::string_view::npos) return out;
      size_t len =
          strtoul(std::string(rest.substr(0, line_end)).c_str(), nullptr, 16);
      rest.remove_prefix(line_end + 2);
      out.consumed += line_end + 2;
      if (len == 0) {
        // The last chunk, then trailer lines up to an empty one.
        size_t end = rest.find("\r\n\r\n");
        if (rest.substr(0, 2) == "\r\n") {
          out.consumed += 2;
        } else if (end != std::string_view::npos) {
          out.consumed += end + 4;
        } else {
          return out;
        }
        out.complete = true;
        return out;
      }
      if (rest.size() < len + 2) return out;
      out.body.append(rest.substr(0, len));
      rest.remove_prefix(len + 2);
      out.consumed += len + 2;
    }
  }
  if (out.headers.has("Content-Length")) {
    size_t len =
        strtoul(out.headers.get("Content-Length").c_str(), nullptr, 10);
    out.body = std::string(rest.substr(0, len));
    out.complete = rest.size() >= len;
    out.consumed += out.body.size();
  } else {
    out.body = std::string(rest);
    out.complete = true;  // delimited by the close
    out.consumed = wire.size();
  }
  return out;
}

std::vector<ParsedResponse> parse_responses(std::string wire,
                                            const std::vector<bool> &heads) {
  std::vector<ParsedResponse> out;
  while (!wire.empty()) {
    size_t n = out.size();
    ParsedResponse r =
        parse_response(wire, n < heads.size() ? heads[n] : false);
    if (r.status_line.empty()) break;
    wire.erase(0, r.consumed);
    bool interim = r.status >= 100 && r.status < 200;
    if (!interim) out.push_back(std::move(r));
  }
  if (!wire.empty()) {
    ParsedResponse rest;
    rest.status_line = "(stray bytes)";
    rest.body = wire;
    out.push_back(std::move(rest));
  }
  return out;
}

bool loopback6_available() {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

}  // namespace oxtest
