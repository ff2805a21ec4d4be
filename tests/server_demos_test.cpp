// The server demos run as processes and are talked to over HTTP on
// loopback: their command line, their running line, what a client sees on
// the wire, and their stop on a character or the end of standard input.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "support/http_client.h"
#include "support/inflate.h"
#include "support/process.h"
#include "support/tls_files.h"
#include "support/ws_client.h"

namespace {

// Bound on every wait for a demo or a reply; generous for sanitizer builds.
constexpr int kWaitMs = 20000;

const char kRunningPrefix[] = "Server running at http://localhost:";
const char kHtml[] = "text/html; charset=utf-8";
const char kHelloPage[] =
    "<html><head><title>Hello world</title></head>"
    "<body>Hello world</body></html>";

// The demos that take the port as their one argument; "<name>-cpp" is
// <name> written on the C++ interface, which must behave as it does.
const char *const kPortDemos[] = {
    "greeter",  "loadtest",   "parrot",      "slowlane",   "visitcount",
    "squeeze",  "gatekeeper", "ticker",      "intake",     "greeter-cpp",
    "ticker-cpp", "intake-cpp", "chatroom"};

std::string demo_path(std::string_view name) {
  return std::string(OX_EXAMPLES_DIR "/") + std::string(name);
}

// A demo's name as a test parameter's name: "ticker-cpp" gives "ticker_cpp".
std::string demo_param_name(
    const ::testing::TestParamInfo<const char *> &info) {
  std::string name = info.param;
  for (char &c : name)
    if (c == '-') c = '_';
  return name;
}

// ---------------------------------------------------------------- processes

// Reads lines up to the running line and returns the port it names, or -1;
// the lines before it go to |before|.
int read_running_port(oxtest::Process &proc,
                      std::vector<std::string> *before = nullptr) {
  std::string line;
  for (int i = 0; i < 5 && proc.read_line(&line, kWaitMs); ++i) {
    if (line.rfind(kRunningPrefix, 0) == 0) {
      std::string digits = line.substr(sizeof(kRunningPrefix) - 1);
      if (digits.empty() || digits.size() > 5 ||
          digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
      return std::atoi(digits.c_str());
    }
    if (before != nullptr) before->push_back(line);
  }
  return -1;
}

// A listening socket of the test on 127.0.0.1; port 0 takes a free one.
// Holding it makes that port busy for a demo.
struct Listener {
  int fd = -1;
  int port = -1;
  explicit Listener(int want) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(want));
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 &&
        listen(fd, 4) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
      port = ntohs(addr.sin_port);
  }
  ~Listener() {
    if (fd >= 0) close(fd);
  }
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;
};

// One running demo: started in a test, stopped by a character on its
// standard input, after which it must exit with 0.
class DemoServer : public ::testing::Test {
 protected:
  void start(const std::string &name, std::vector<std::string> args = {"0"},
             std::vector<std::string> *before = nullptr) {
    args.insert(args.begin(), demo_path(name));
    std::string error;
    proc_ = oxtest::Process::start(args, &error);
    ASSERT_NE(nullptr, proc_) << error;
    port_ = read_running_port(*proc_, before);
    ASSERT_GT(port_, 0) << "no running line; stderr: " << proc_->read_stderr();
  }

  void TearDown() override {
    if (proc_ == nullptr) return;
    proc_->write_stdin("q");
    oxtest::ExitStatus st = proc_->wait(kWaitMs);
    EXPECT_TRUE(st.exited) << "signal " << st.signal
                           << "; stderr: " << proc_->read_stderr();
    EXPECT_EQ(0, st.code) << proc_->read_stderr();
  }

  std::string url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }

  std::unique_ptr<oxtest::Process> proc_;
  int port_ = -1;
};

// ------------------------------------------------------------------- HTTP

struct Reply {
  long status = 0;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // lower names
  std::string error;                                         // curl's

  // The value of the first header named |name| (lower case), or "".
  std::string header(std::string_view name) const {
    for (const auto &[n, v] : headers)
      if (n == name) return v;
    return "";
  }
  int count(std::string_view name) const {
    int n = 0;
    for (const auto &h : headers) n += h.first == name;
    return n;
  }
};

struct FilePart {
  std::string field, filename, data;
};

struct Request {
  std::string method;                // "": GET, or POST with a body
  std::vector<std::string> headers;  // "Name: value"
  std::optional<std::string> body;
  std::vector<FilePart> files;  // sent as multipart/form-data
};

size_t reply_body_cb(char *data, size_t size, size_t n, void *cls) {
  static_cast<Reply *>(cls)->body.append(data, size * n);
  return size * n;
}

size_t reply_header_cb(char *data, size_t size, size_t n, void *cls) {
  auto *reply = static_cast<Reply *>(cls);
  std::string_view line(data, size * n);
  if (line.rfind("HTTP/", 0) == 0) reply->headers.clear();  // after a 100
  size_t colon = line.find(':');
  if (colon != std::string_view::npos) {
    std::string name(line.substr(0, colon));
    for (char &c : name) c = static_cast<char>(std::tolower(c));
    std::string_view val = line.substr(colon + 1);
    while (!val.empty() && (val.front() == ' ' || val.front() == '\t'))
      val.remove_prefix(1);
    while (!val.empty() && (val.back() == '\r' || val.back() == '\n'))
      val.remove_suffix(1);
    reply->headers.emplace_back(std::move(name), std::string(val));
  }
  return size * n;
}

Reply fetch(const std::string &url, const Request &req = {}) {
  static const bool curl_ready = curl_global_init(CURL_GLOBAL_ALL) == 0;
  Reply reply;
  CURL *curl = curl_ready ? curl_easy_init() : nullptr;
  if (curl == nullptr) {
    reply.error = "curl_easy_init failed";
    return reply;
  }
  curl_slist *headers = nullptr;
  for (const auto &h : req.headers)
    headers = curl_slist_append(headers, h.c_str());
  curl_mime *mime = nullptr;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(kWaitMs));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, reply_body_cb);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, reply_header_cb);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
  if (req.body) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE,
                     static_cast<long>(req.body->size()));
    curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, req.body->data());
  }
  if (!req.files.empty()) {
    mime = curl_mime_init(curl);
    for (const FilePart &f : req.files) {
      curl_mimepart *part = curl_mime_addpart(mime);
      curl_mime_name(part, f.field.c_str());
      curl_mime_filename(part, f.filename.c_str());
      curl_mime_type(part, "application/octet-stream");
      curl_mime_data(part, f.data.data(), f.data.size());
    }
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
  }
  if (!req.method.empty())
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, req.method.c_str());
  CURLcode rc = curl_easy_perform(curl);
  if (rc != CURLE_OK) reply.error = curl_easy_strerror(rc);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_mime_free(mime);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return reply;
}

// A plain TCP connection to 127.0.0.1, for exact bytes and for replies
// that are still on their way.
class RawConn {
 public:
  explicit RawConn(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    connected_ =
        connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
  }
  ~RawConn() { close(fd_); }
  RawConn(const RawConn &) = delete;
  RawConn &operator=(const RawConn &) = delete;

  bool send_all(std::string_view data) {
    while (connected_ && !data.empty()) {
      ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<size_t>(n));
    }
    return connected_;
  }

  // True when a byte of the reply has arrived; does not wait.
  bool has_data_now() {
    if (!buf_.empty()) return true;
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }

  // Takes the bytes up to and including |delim| into |*out|.
  bool read_until(std::string_view delim, std::string *out) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    size_t at;
    while ((at = buf_.find(delim)) == std::string::npos)
      if (!fill(deadline)) return false;
    *out = buf_.substr(0, at + delim.size());
    buf_.erase(0, at + delim.size());
    return true;
  }

  bool read_exact(size_t n, std::string *out) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (buf_.size() < n)
      if (!fill(deadline)) return false;
    *out = buf_.substr(0, n);
    buf_.erase(0, n);
    return true;
  }

  // Reads one chunk of a chunked body: its data without the framing.
  bool read_chunk(std::string *data) {
    std::string size_line, tail;
    if (!read_until("\r\n", &size_line)) return false;
    size_t size = std::strtoul(size_line.c_str(), nullptr, 16);
    return read_exact(size, data) && read_exact(2, &tail) && tail == "\r\n";
  }

 private:
  bool fill(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    pollfd p{fd_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char chunk[4096];
    ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
    if (n <= 0) return false;
    buf_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
  std::string buf_;
};

// The value of header |name| (given in lower case) in a raw reply head.
std::string head_value(const std::string &head, std::string name) {
  std::string lower = head;
  for (char &c : lower) c = static_cast<char>(std::tolower(c));
  size_t at = lower.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  size_t start = head.find_first_not_of(' ', at + 3 + name.size());
  return head.substr(start, head.find("\r\n", start) - start);
}

std::string base64(std::string_view in) {
  static const char digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out += digits[(v >> 18) & 63];
    out += digits[(v >> 12) & 63];
    out += i + 1 < in.size() ? digits[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? digits[v & 63] : '=';
  }
  return out;
}


// ------------------------------------------- what every server demo shares

class EveryServerDemo : public ::testing::TestWithParam<const char *> {};

TEST_P(EveryServerDemo, PrintsUsageAndExits1WithoutOneArgument) {
  const std::string path = demo_path(GetParam());
  for (const auto &argv :
       std::vector<std::vector<std::string>>{{path}, {path, "0", "extra"}}) {
    SCOPED_TRACE(argv.size());
    oxtest::RunResult r = oxtest::run(argv, "", kWaitMs);
    EXPECT_EQ(path + " <PORT>\n", r.out);
    EXPECT_TRUE(r.status.exited);
    EXPECT_EQ(1, r.status.code);
  }
}

TEST_P(EveryServerDemo, ExitsWith1AndPrintsNothingWhenThePortIsBusy) {
  Listener busy(0);
  ASSERT_GT(busy.port, 0);
  oxtest::RunResult r = oxtest::run(
      {demo_path(GetParam()), std::to_string(busy.port)}, "", kWaitMs);
  EXPECT_EQ("", r.out);
  EXPECT_TRUE(r.status.exited);
  EXPECT_EQ(1, r.status.code);
}

TEST_P(EveryServerDemo, PortZeroOrNotANumberListensOnAChosenPort) {
  for (const char *arg : {"0", "abc"}) {
    SCOPED_TRACE(arg);
    auto proc = oxtest::Process::start({demo_path(GetParam()), arg});
    ASSERT_NE(nullptr, proc);
    int port = read_running_port(*proc);
    ASSERT_GT(port, 0);
    // The printed port is the one that answers.
    Reply r =
        fetch("http://127.0.0.1:" + std::to_string(port) + "/favicon.ico");
    EXPECT_NE(0, r.status) << r.error;
    ASSERT_TRUE(proc->write_stdin("x"));
    oxtest::ExitStatus st = proc->wait(kWaitMs);
    EXPECT_TRUE(st.exited);
    EXPECT_EQ(0, st.code) << proc->read_stderr();
  }
}

TEST_P(EveryServerDemo, StopsWithExit0AtTheEndOfInput) {
  auto proc = oxtest::Process::start({demo_path(GetParam()), "0"});
  ASSERT_NE(nullptr, proc);
  ASSERT_GT(read_running_port(*proc), 0);
  proc->close_stdin();
  oxtest::ExitStatus st = proc->wait(kWaitMs);
  EXPECT_TRUE(st.exited);
  EXPECT_EQ(0, st.code) << proc->read_stderr();
}

INSTANTIATE_TEST_SUITE_P(ServerDemos, EveryServerDemo,
                         ::testing::ValuesIn(kPortDemos), demo_param_name);

// 70000 keeps its low 16 bits: 4464.  Skipped when something else holds
// that port, since the demos would then rightly fail to listen.
TEST(ServerDemos, PortAbove65535WrapsTo16Bits) {
  {
    Listener probe(4464);
    if (probe.port != 4464) GTEST_SKIP() << "port 4464 is in use";
  }
  for (const char *name : kPortDemos) {
    SCOPED_TRACE(name);
    auto proc = oxtest::Process::start({demo_path(name), "70000"});
    ASSERT_NE(nullptr, proc);
    EXPECT_EQ(4464, read_running_port(*proc));
    ASSERT_TRUE(proc->write_stdin("x"));
    oxtest::ExitStatus st = proc->wait(kWaitMs);
    EXPECT_EQ(0, st.code);
  }
}

// ------------------------------------------------------------------ greeter

// greeter and greeter-cpp.
class Greeter : public DemoServer,
                public ::testing::WithParamInterface<const char *> {
  void SetUp() override { start(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(ServerDemos, Greeter,
                         ::testing::Values("greeter", "greeter-cpp"),
                         demo_param_name);

TEST_P(Greeter, AnswersEveryRequestWithTheHelloPage) {
  const Request post{"", {}, std::string("ignored"), {}};
  for (const auto &[path, req] : std::vector<std::pair<std::string, Request>>{
           {"/", {}}, {"/any/path?x=1", {}}, {"/", post}}) {
    SCOPED_TRACE(path);
    Reply r = fetch(url(path), req);
    EXPECT_EQ(200, r.status) << r.error;
    EXPECT_EQ(kHtml, r.header("content-type"));
    EXPECT_EQ(76u, r.body.size());
    EXPECT_EQ(kHelloPage, r.body);
  }
}

// ----------------------------------------------------------------- loadtest

class Loadtest : public DemoServer {
 protected:
  void SetUp() override { start("loadtest", {"0"}, &before_); }
  std::vector<std::string> before_;
};

TEST_F(Loadtest, PrintsProcessorsAndConnectionsLimitBeforeRunningLine) {
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  EXPECT_EQ(
      (std::vector<std::string>{"Number of processors: " + std::to_string(cpus),
                                "Connections limit: 1000"}),
      before_);
}

TEST_F(Loadtest, AnswersHelloWorldAsPlainText) {
  Reply r = fetch(url("/anything"));
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ("text/plain", r.header("content-type"));
  EXPECT_EQ("Hello world", r.body);
}

// ------------------------------------------------------------------- parrot

class Parrot : public DemoServer {
  void SetUp() override { start("parrot"); }
};

TEST_F(Parrot, EchoesTheBodyAsPlainText) {
  Reply r = fetch(url("/"), {"", {}, std::string("Polly wants a cracker"), {}});
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ("text/plain", r.header("content-type"));
  EXPECT_EQ("Polly wants a cracker", r.body);
}

TEST_F(Parrot, WithoutBodyAnswersAnEmpty200) {
  Reply r = fetch(url("/"));
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ("0", r.header("content-length"));
  EXPECT_EQ("", r.body);
}

TEST_F(Parrot, EchoesTheBodyUpToItsFirstNulByte) {
  Reply r = fetch(url("/"), {"PUT", {}, std::string("abc\0def", 7), {}});
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ("abc", r.body);
}

// ----------------------------------------------------------------- slowlane

class Slowlane : public DemoServer {
  void SetUp() override { start("slowlane"); }
};

TEST_F(Slowlane, AnswersOtherPathsWhileDelayedIsPending) {
  RawConn delayed(port_);
  ASSERT_TRUE(delayed.send_all(
      "GET /delayed HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"));
  for (const char *path : {"/", "/delayed/"}) {
    SCOPED_TRACE(path);
    Reply r = fetch(url(path));
    EXPECT_EQ(200, r.status) << r.error;
    EXPECT_EQ(kHelloPage, r.body);
    // Ordering, not time: the delayed reply has not begun to arrive yet.
    EXPECT_FALSE(delayed.has_data_now());
  }
  std::string head, body;
  ASSERT_TRUE(delayed.read_until("\r\n\r\n", &head));
  EXPECT_EQ(0u, head.rfind("HTTP/1.1 200", 0)) << head;
  EXPECT_EQ(kHtml, head_value(head, "content-type"));
  ASSERT_EQ("98", head_value(head, "content-length"));
  ASSERT_TRUE(delayed.read_exact(98, &body));
  EXPECT_EQ(
      "<html><head><title>Isolated request</title></head>"
      "<body>Isolated and delayed request</body></html>",
      body);
}

// --------------------------------------------------------------- visitcount

class Visitcount : public DemoServer {
 protected:
  void SetUp() override { start("visitcount"); }
  // Sends |cookie| (none when empty) and returns the reply.
  Reply visit(const std::string &cookie) {
    Request req;
    if (!cookie.empty())
      req.headers.push_back("Cookie: refresh_count=" + cookie);
    return fetch(url("/"), req);
  }
  static std::string refresh_page(const std::string &n) {
    return "<html><head><title>Cookies</title></head>"
           "<body>Refresh number: " +
           n + "</body></html>";
  }
  static std::string cookie_header(const std::string &n) {
    return "refresh_count=" + n + "; Path=/; HttpOnly; SameSite=Lax";
  }
};

TEST_F(Visitcount, CookieChainCountsTheVisits) {
  Reply first = visit("");
  EXPECT_EQ(200, first.status) << first.error;
  EXPECT_EQ(kHtml, first.header("content-type"));
  EXPECT_EQ(
      "<html><head><title>Cookies</title></head>"
      "<body>Use F5 to refresh this page ...</body></html>",
      first.body);
  EXPECT_EQ(cookie_header("1"), first.header("set-cookie"));
  // Each reply's cookie goes back with the next visit.
  std::string cookie = "1";
  for (const char *n : {"1", "2"}) {
    SCOPED_TRACE(n);
    Reply r = visit(cookie);
    EXPECT_EQ(refresh_page(n), r.body);
    ASSERT_EQ(1, r.count("set-cookie"));
    std::string set = r.header("set-cookie");
    EXPECT_EQ(cookie_header(std::to_string(std::atoi(n) + 1)), set);
    cookie = set.substr(14, set.find(';') - 14);
  }
}

TEST_F(Visitcount, Cookie41GivesRefresh41AndCookie42) {
  Reply r = visit("41");
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ(refresh_page("41"), r.body);
  EXPECT_EQ(cookie_header("42"), r.header("set-cookie"));
}

TEST_F(Visitcount, CookieThatIsNotANumberIsAFirstVisit) {
  Reply r = visit("abc");
  EXPECT_NE(std::string::npos, r.body.find("Use F5 to refresh"));
  EXPECT_EQ(cookie_header("1"), r.header("set-cookie"));
}

// The count saturates: INT_MAX, and numbers beyond int, stay at INT_MAX.
TEST_F(Visitcount, CountAtOrBeyondIntMaxStaysAtIntMax) {
  const std::string max = std::to_string(INT_MAX);
  for (const std::string &cookie :
       {max, std::string("2147483648"), std::string("99999999999999999999")}) {
    SCOPED_TRACE(cookie);
    Reply r = visit(cookie);
    EXPECT_EQ(200, r.status) << r.error;
    EXPECT_EQ(refresh_page(max), r.body);
    EXPECT_EQ(cookie_header(max), r.header("set-cookie"));
  }
}

TEST_F(Visitcount, FaviconIs204EmptyWithoutCookie) {
  Request req;
  req.headers.push_back("Cookie: refresh_count=5");
  Reply r = fetch(url("/favicon.ico"), req);
  EXPECT_EQ(204, r.status) << r.error;
  EXPECT_EQ("", r.body);
  EXPECT_EQ(0, r.count("set-cookie"));
}

// ------------------------------------------------------------------ squeeze

class Squeeze : public DemoServer {
  void SetUp() override { start("squeeze"); }
};

TEST_F(Squeeze, DeflatesThePageWhenDeflateIsAccepted) {
  Reply r = fetch(url("/"), {"", {"Accept-Encoding: gzip, deflate"}, {}, {}});
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ("deflate", r.header("content-encoding"));
  EXPECT_EQ("Accept-Encoding", r.header("vary"));
  EXPECT_EQ(kHtml, r.header("content-type"));
  std::optional<std::string> page = oxtest::raw_inflate(r.body);
  ASSERT_TRUE(page.has_value()) << "not a raw deflate body";
  EXPECT_EQ(kHelloPage, *page);
}

TEST_F(Squeeze, SendsThePlainPageWithoutDeflateInAcceptEncoding) {
  for (const Request &req :
       {Request{"", {"Accept-Encoding: gzip"}, {}, {}}, Request{}}) {
    SCOPED_TRACE(req.headers.size());
    Reply r = fetch(url("/"), req);
    EXPECT_EQ(200, r.status) << r.error;
    EXPECT_EQ(0, r.count("content-encoding"));
    EXPECT_EQ(kHelloPage, r.body);
  }
}

// --------------------------------------------------------------- gatekeeper

class Gatekeeper : public DemoServer {
 protected:
  void SetUp() override { start("gatekeeper"); }
  Reply fetch_as(const std::string &path, const char *credentials) {
    Request req;
    if (credentials != nullptr)
      req.headers.push_back("Authorization: Basic " + base64(credentials));
    return fetch(url(path), req);
  }
};

TEST_F(Gatekeeper, DeniesMissingOrWrongCredentials) {
  for (const char *credentials : {static_cast<const char *>(nullptr), "qvk:749",
                                  "qvx:748", "QVK:748", ":", "qvk:", ":748"}) {
    SCOPED_TRACE(credentials != nullptr ? credentials : "(none)");
    Reply r = fetch_as("/", credentials);
    EXPECT_EQ(401, r.status) << r.error;
    EXPECT_EQ("Basic realm=\"My realm\"", r.header("www-authenticate"));
    EXPECT_EQ(kHtml, r.header("content-type"));
    EXPECT_EQ(
        "<html><head><title>Denied</title></head>"
        "<body><font color=\"red\">Go away</font></body></html>",
        r.body);
    EXPECT_EQ(92u, r.body.size());
  }
}

TEST_F(Gatekeeper, LetsQvkWith748SeeTheSecretPageOnAnyPath) {
  for (const char *path : {"/", "/favicon.ico", "/some/where?x=1"}) {
    SCOPED_TRACE(path);
    Reply r = fetch_as(path, "qvk:748");
    EXPECT_EQ(200, r.status) << r.error;
    EXPECT_EQ(kHtml, r.header("content-type"));
    EXPECT_EQ(0, r.count("www-authenticate"));
    EXPECT_EQ(
        "<html><head><title>Secret</title></head>"
        "<body><font color=\"green\">Secret page</font></body></html>",
        r.body);
    EXPECT_EQ(98u, r.body.size());
  }
}

TEST(GatekeeperErrors, ListenFailureIsReportedOnStandardError) {
  Listener busy(0);
  ASSERT_GT(busy.port, 0);
  oxtest::RunResult r = oxtest::run(
      {demo_path("gatekeeper"), std::to_string(busy.port)}, "", kWaitMs);
  EXPECT_EQ(1, r.status.code);
  EXPECT_EQ("", r.out);
  EXPECT_NE("", r.err);
}

// ------------------------------------------------------------------- ticker

// ticker and ticker-cpp.
class Ticker : public DemoServer,
               public ::testing::WithParamInterface<const char *> {
 protected:
  void SetUp() override { start(GetParam()); }

  // Opens a stream and checks its head and its first chunk.
  std::unique_ptr<RawConn> open_stream() {
    auto conn = std::make_unique<RawConn>(port_);
    EXPECT_TRUE(
        conn->send_all("GET / HTTP/1.1\r\nHost: localhost\r\n"
                       "Accept: text/html, text/event-stream\r\n\r\n"));
    std::string head, first;
    EXPECT_TRUE(conn->read_until("\r\n\r\n", &head));
    EXPECT_EQ(0u, head.rfind("HTTP/1.1 200", 0)) << head;
    EXPECT_EQ("text/event-stream", head_value(head, "content-type"));
    EXPECT_EQ("*", head_value(head, "access-control-allow-origin"));
    EXPECT_EQ("chunked", head_value(head, "transfer-encoding"));
    EXPECT_TRUE(conn->read_chunk(&first));
    EXPECT_EQ("retry: 1000\n", first);
    return conn;
  }

  // Reads the next event and returns its number, or -1.
  static long next_event(RawConn &conn) {
    std::string event;
    if (!conn.read_chunk(&event)) return -1;
    if (event.rfind("data: ", 0) != 0 || event.size() < 9 ||
        event.compare(event.size() - 2, 2, "\n\n") != 0) {
      ADD_FAILURE() << "not an event: " << event;
      return -1;
    }
    std::string digits = event.substr(6, event.size() - 8);
    EXPECT_EQ(std::string::npos, digits.find_first_not_of("0123456789"));
    return std::atol(digits.c_str());
  }
};

INSTANTIATE_TEST_SUITE_P(ServerDemos, Ticker,
                         ::testing::Values("ticker", "ticker-cpp"),
                         demo_param_name);

TEST_P(Ticker, StreamsRetryThenEventsRisingAcrossTwoStreams) {
  auto a = open_stream();
  long a1 = next_event(*a);
  long a2 = next_event(*a);
  EXPECT_EQ(1, a1);  // the counter starts at 0 and the first event says 1
  EXPECT_GT(a2, a1);

  auto b = open_stream();
  long b1 = next_event(*b);
  long a3 = next_event(*a);
  long b2 = next_event(*b);
  EXPECT_GT(b1, a2);
  EXPECT_GT(a3, a2);
  EXPECT_GT(b2, b1);
  // One counter for both: no number is handed out twice.
  std::set<long> seen{a1, a2, a3, b1, b2};
  EXPECT_EQ(5u, seen.size());
}

TEST_P(Ticker, PageForRequestsThatAreNotStreams) {
  for (const char *path : {"/", "/other"}) {
    SCOPED_TRACE(path);
    Reply r = fetch(url(path), {"", {"Accept: text/html"}, {}, {}});
    EXPECT_EQ(200, r.status) << r.error;
    EXPECT_EQ(kHtml, r.header("content-type"));
    EXPECT_EQ(266u, r.body.size());
    EXPECT_EQ(0u,
              r.body.rfind("<html>\n<head>\n<title>SSE example</title>", 0));
    EXPECT_NE(std::string::npos, r.body.find("new EventSource('/')"));
  }
}

// The push version: the same head, the retry line first, then the events
// of the one timer, rising by one (however the writes fell into chunks);
// its page listens to /push.
TEST_P(Ticker, PushStreamGetsTheTimersEventsRisingByOne) {
  RawConn conn(port_);
  ASSERT_TRUE(conn.send_all("GET /push HTTP/1.1\r\nHost: localhost\r\n"
                            "Accept: text/event-stream\r\n\r\n"));
  std::string head, body, chunk;
  ASSERT_TRUE(conn.read_until("\r\n\r\n", &head));
  EXPECT_EQ(0u, head.rfind("HTTP/1.1 200", 0)) << head;
  EXPECT_EQ("text/event-stream", head_value(head, "content-type"));
  EXPECT_EQ("*", head_value(head, "access-control-allow-origin"));
  EXPECT_EQ("chunked", head_value(head, "transfer-encoding"));
  for (int i = 0; i < 10 && body.find("\n\n", body.find("\n\n") + 2) ==
                                std::string::npos;
       ++i) {
    if (!conn.read_chunk(&chunk)) break;
    body += chunk;
  }
  const std::string retry = "retry: 1000\n";
  ASSERT_EQ(0u, body.rfind(retry + "data: ", 0)) << body;
  long first = std::atol(body.c_str() + retry.size() + 6);
  size_t second_at = body.find("\n\ndata: ");
  ASSERT_NE(std::string::npos, second_at) << body;
  EXPECT_GE(first, 1);
  EXPECT_EQ(first + 1, std::atol(body.c_str() + second_at + 8));

  Reply page = fetch(url("/push"), {"", {"Accept: text/html"}, {}, {}});
  EXPECT_EQ(200, page.status) << page.error;
  EXPECT_NE(std::string::npos, page.body.find("new EventSource('/push')"));
}

TEST_P(Ticker, FaviconIs204Empty) {
  Reply r = fetch(url("/favicon.ico"));
  EXPECT_EQ(204, r.status) << r.error;
  EXPECT_EQ("", r.body);
}

// ------------------------------------------------------------------- intake

// intake and intake-cpp run with TMPDIR set to a fresh directory of the
// test, which is then their upload directory; a secret file sits beside it.
class Intake : public DemoServer,
               public ::testing::WithParamInterface<const char *> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ox-intake-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    uploads_ = root_ / "uploads";
    std::filesystem::create_directory(uploads_);
    std::ofstream(root_ / "secret.txt") << "top secret";
    const char *old = std::getenv("TMPDIR");
    std::optional<std::string> saved;
    if (old != nullptr) saved = old;
    setenv("TMPDIR", uploads_.c_str(), 1);
    start(GetParam());
    if (saved)
      setenv("TMPDIR", saved->c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  void TearDown() override {
    DemoServer::TearDown();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  std::string file_bytes(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  Reply upload(std::vector<FilePart> files) {
    return fetch(url("/"), {"", {}, {}, std::move(files)});
  }

  std::filesystem::path root_, uploads_;
};

INSTANTIATE_TEST_SUITE_P(ServerDemos, Intake,
                         ::testing::Values("intake", "intake-cpp"),
                         demo_param_name);

const char kUploadsHead[] =
    "<html><head><title>Uploads</title></head><body>"
    "<strong>Uploaded files:</strong><br><ol>";
const char kUploadsTail[] = "</ol></body></html>";

TEST_P(Intake, FormForARequestWithoutQueryOrUpload) {
  for (const char *path : {"/", "/?"}) {
    SCOPED_TRACE(path);
    Reply r = fetch(url(path));
    EXPECT_EQ(200, r.status) << r.error;
    EXPECT_EQ(kHtml, r.header("content-type"));
    EXPECT_EQ(260u, r.body.size());
    EXPECT_NE(std::string::npos,
              r.body.find("enctype=\"multipart/form-data\""));
  }
}

TEST_P(Intake, TwoFilesAreSavedListedInOrderAndDownloadedBack) {
  const std::string one("first\0file\xff\n", 12);
  const std::string two(70000, 'z');
  Reply r = upload({{"file1", "one.txt", one}, {"file2", "two.bin", two}});
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ(kHtml, r.header("content-type"));
  EXPECT_EQ(std::string(kUploadsHead) +
                "<li><a href=\"?file=one.txt\">one.txt</a></li>"
                "<li><a href=\"?file=two.bin\">two.bin</a></li>" +
                kUploadsTail,
            r.body);
  EXPECT_EQ(one, file_bytes(uploads_ / "one.txt"));
  EXPECT_EQ(two, file_bytes(uploads_ / "two.bin"));

  for (const auto &[name, bytes] :
       {std::pair{"one.txt", one}, std::pair{"two.bin", two}}) {
    SCOPED_TRACE(name);
    Reply d = fetch(url("/?file=") + name);
    EXPECT_EQ(200, d.status) << d.error;
    EXPECT_TRUE(d.body == bytes) << "downloaded bytes differ";
    std::string disposition = d.header("content-disposition");
    EXPECT_NE(std::string::npos, disposition.find("attachment"));
    EXPECT_NE(std::string::npos, disposition.find(name));
  }
}

TEST_P(Intake, DownloadNeverLeavesTheUploadDirectory) {
  std::filesystem::create_symlink(root_ / "secret.txt", uploads_ / "link.txt");
  const std::string too_long(5000, 'a');
  struct Case {
    std::string query;
    long status;
  };
  for (const Case &c : std::vector<Case>{
           {"../secret.txt", 400},
           {"..%2Fsecret.txt", 400},
           {"../../etc/passwd", 400},
           {"%2Fetc%2Fpasswd", 400},
           {"uploads%2F..%2Fsecret.txt", 400},
           {"..%5Csecret.txt", 400},
           {"..", 400},
           {"", 400},
           {too_long, 400},
           {"link.txt", 404},  // a link out of the directory is not followed
           {"missing.txt", 404},
       }) {
    SCOPED_TRACE(c.query.substr(0, 40));
    Reply r = fetch(url("/?file=") + c.query);
    EXPECT_EQ(c.status, r.status) << r.error;
    EXPECT_EQ(std::string::npos, r.body.find("top secret"));
    EXPECT_EQ(std::string::npos, r.body.find("root:"));
    EXPECT_EQ(0, r.count("content-disposition"));
  }
}

TEST_P(Intake, QueryWithoutFileIsLeftToTheCore) {
  Reply r = fetch(url("/?x=1"));
  EXPECT_EQ(500, r.status) << r.error;
}

TEST_P(Intake, ClientFileNamesAreEscapedAndTheirLinksStillDownload) {
  const std::string name = "<script>x&y'.txt";
  Reply r = upload({{"file1", name, "payload"}});
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ(std::string(kUploadsHead) +
                "<li><a href=\"?file=%3Cscript%3Ex%26y%27.txt\">"
                "&lt;script&gt;x&amp;y&#39;.txt</a></li>" +
                kUploadsTail,
            r.body);
  Reply d = fetch(url("/?file=%3Cscript%3Ex%26y%27.txt"));
  EXPECT_EQ(200, d.status) << d.error;
  EXPECT_EQ("payload", d.body);
}

TEST_P(Intake, RefusedNameShowsTheFailedLineEscaped) {
  Reply r = upload({{"file1", "<b>x</b>", "data"}, {"file2", "ok.txt", "ok"}});
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ(std::string(kUploadsHead) +
                "<li><font color='red'>&lt;b&gt;x&lt;/b&gt; - failed - "
                "Invalid argument</font></li>"
                "<li><a href=\"?file=ok.txt\">ok.txt</a></li>" +
                kUploadsTail,
            r.body);
  EXPECT_EQ("ok", file_bytes(uploads_ / "ok.txt"));
  // The refused name did not become a path below the directory either.
  EXPECT_FALSE(std::filesystem::exists(uploads_ / "<b>x<"));
}

// ----------------------------------------------------------------- minisite

class Minisite : public DemoServer {
  void SetUp() override { start("minisite", {}); }
};

TEST_F(Minisite, AnswersEachPathThroughItsRoutes) {
  const std::string not_found =
      "<html><head><title>Not found</title></head><body>404</body></html>";
  struct Row {
    const char *path;
    long status;
    std::string body;
  };
  for (const Row &row : std::vector<Row>{
           {"/home", 200,
            "<html><head><title>Home</title></head><body>Home</body></html>"},
           {"/about", 200,
            "<html><head><title>About</title></head><body>About</body></html>"},
           {"/download", 200,
            "<html><head><title>Download</title></head>"
            "<body>Download</body></html>"},
           {"/download/abc", 200,
            "<html><head><title>Download</title></head>"
            "<body>file: abc</body></html>"},
           {"/download/ABC", 404, not_found},
           {"/", 404, not_found},
           {"/download/", 404, not_found},
           {"/other", 404, not_found},
           {"/home?x=1", 200,
            "<html><head><title>Home</title></head><body>Home</body></html>"},
       }) {
    SCOPED_TRACE(row.path);
    Reply r = fetch(url(row.path));
    EXPECT_EQ(row.status, r.status) << r.error;
    EXPECT_EQ("text/html", r.header("content-type"));
    EXPECT_EQ(std::to_string(row.body.size()), r.header("content-length"));
    EXPECT_EQ(row.body, r.body);
  }
}

TEST_F(Minisite, AnyMethodOnHomeGetsTheHomePage) {
  Reply r = fetch(url("/home"), {"POST", {}, std::string("a=1"), {}});
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ("<html><head><title>Home</title></head><body>Home</body></html>",
            r.body);
}

TEST(MinisiteProcess, StopsWithExit0AtTheEndOfInput) {
  auto proc = oxtest::Process::start({demo_path("minisite")});
  ASSERT_NE(nullptr, proc);
  ASSERT_GT(read_running_port(*proc), 0);
  proc->close_stdin();
  oxtest::ExitStatus st = proc->wait(kWaitMs);
  EXPECT_TRUE(st.exited);
  EXPECT_EQ(0, st.code) << proc->read_stderr();
}

// ---------------------------------------------------------------- fileserve

// fileserve takes the port and a directory: a tree of its own per test.
class Fileserve : public DemoServer {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("oxfileserve-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ / "sub");
    std::ofstream(dir_ / "page.html") << std::string(2000, 'x');
    std::ofstream(dir_ / "sub" / "b.txt") << "bee";
    start("fileserve", {"0", dir_.string()});
  }
  void TearDown() override {
    DemoServer::TearDown();
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

TEST_F(Fileserve, ServesTheTreeGzippedWhenAcceptedWithListingsAndRanges) {
  Reply zipped = fetch(url("/page.html"), {"", {"Accept-Encoding: gzip"}, {}, {}});
  EXPECT_EQ(200, zipped.status) << zipped.error;
  EXPECT_EQ("gzip", zipped.header("content-encoding"));
  EXPECT_EQ("text/html; charset=utf-8", zipped.header("content-type"));
  EXPECT_LT(zipped.body.size(), 200u);
  Reply part = fetch(url("/sub/b.txt"), {"", {"Range: bytes=1-"}, {}, {}});
  EXPECT_EQ(206, part.status);
  EXPECT_EQ("ee", part.body);
  Reply listing = fetch(url("/sub/"));
  EXPECT_NE(std::string::npos, listing.body.find("<a href=\"b.txt\">b.txt</a>"));
  Reply moved = fetch(url("/sub"));
  EXPECT_EQ(301, moved.status);
  EXPECT_EQ("/sub/", moved.header("location"));
  Reply out = fetch(url("/%2e%2e/"));
  EXPECT_EQ(404, out.status);
  EXPECT_EQ(std::string::npos, out.body.find(dir_.string()));
}

// Usage errors, bad deployment options and a busy port: a message on
// standard error, nothing on standard output, exit 1.
TEST(FileserveProcess, BadArgumentsAndABusyPortExit1) {
  oxtest::TlsFiles tls;
  ASSERT_TRUE(tls.ok()) << tls.error();
  const std::string path = demo_path("fileserve");
  Listener busy(0);
  ASSERT_GT(busy.port, 0);
  for (const auto &argv : std::vector<std::vector<std::string>>{
           {path},
           {path, "0"},
           {path, "0", "/", "extra"},
           {path, "--x", "0", "/"},
           {path, "0", "/nonexistent-dir-of-fileserve"},
           {path, "0", ".", "--bind"},
           {path, "--bind", "no_such_address", "0", "."},
           {path, "--cert", tls.cert(), "0", "."},
           {path, "--cert", tls.cert(), "--key", tls.other_key(), "0", "."},
           {path, std::to_string(busy.port), "."}}) {
    std::string line;
    for (const auto &arg : argv) line += arg.substr(0, 40) + " ";
    SCOPED_TRACE(line);
    oxtest::RunResult r = oxtest::run(argv, "", kWaitMs);
    EXPECT_EQ("", r.out);
    EXPECT_NE("", r.err);
    EXPECT_TRUE(r.status.exited);
    EXPECT_EQ(1, r.status.code);
  }
}

TEST(FileserveProcess, ChosenPortsServeUntilInputEnds) {
  const std::string path = demo_path("fileserve");
  for (const char *arg : {"0", "abc"}) {
    SCOPED_TRACE(arg);
    auto proc = oxtest::Process::start({path, arg, "."});
    ASSERT_NE(nullptr, proc);
    int port = read_running_port(*proc);
    ASSERT_GT(port, 0);
    EXPECT_NE(0, fetch("http://127.0.0.1:" + std::to_string(port) + "/").status);
    proc->close_stdin();
    oxtest::ExitStatus st = proc->wait(kWaitMs);
    EXPECT_TRUE(st.exited);
    EXPECT_EQ(0, st.code) << proc->read_stderr();
  }
}

// The deployment options: HTTPS with the test's certificate, one IPv6
// address, and an access-log line per request on standard output.
TEST(FileserveProcess, HttpsOnOneAddressLogsEachRequest) {
  oxtest::TlsFiles tls;
  ASSERT_TRUE(tls.ok()) << tls.error();
  const std::string dir = tls.dir();
  std::ofstream(dir + "/hello.txt") << "hello\n";
  bool ipv6 = oxtest::loopback6_available();
  auto proc = oxtest::Process::start(
      {demo_path("fileserve"), "--bind", ipv6 ? "::1" : "127.0.0.1", "--cert",
       tls.cert(), "--key", tls.key(), "0", dir});
  ASSERT_NE(nullptr, proc);
  std::string line;
  ASSERT_TRUE(proc->read_line(&line, kWaitMs)) << proc->read_stderr();
  const std::string prefix = "Server running at https://localhost:";
  ASSERT_EQ(0u, line.rfind(prefix, 0)) << line;
  auto port = static_cast<uint16_t>(std::atoi(line.c_str() + prefix.size()));
  oxtest::Request req;
  req.target = "/hello.txt";
  req.host = ipv6 ? "::1" : "127.0.0.1";
  req.ca_file = tls.cert();
  oxtest::Response r = oxtest::http(port, req);
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ("hello\n", r.body);
  if (ipv6) {  // bound to ::1 alone: IPv4 clients are not taken
    req.host = "127.0.0.1";
    EXPECT_EQ(0, oxtest::http(port, req).status);
  }
  ASSERT_TRUE(proc->read_line(&line, kWaitMs));
  std::string peer = ipv6 ? "::1" : "127.0.0.1";
  EXPECT_EQ(0u, line.rfind(peer + " - - [", 0)) << line;
  EXPECT_NE(std::string::npos, line.find("] \"GET /hello.txt HTTP/1.1\" 200 6"))
      << line;
  proc->close_stdin();
  oxtest::ExitStatus st = proc->wait(kWaitMs);
  EXPECT_TRUE(st.exited);
  EXPECT_EQ(0, st.code) << proc->read_stderr();
}

// The port of fileserve's "Server running at https://..." line; -1 when
// none came.
int read_https_port(oxtest::Process &proc) {
  std::string line;
  const std::string prefix = "Server running at https://localhost:";
  if (!proc.read_line(&line, kWaitMs) || line.rfind(prefix, 0) != 0) return -1;
  return std::atoi(line.c_str() + prefix.size());
}

// The serial of the certificate fileserve shows a new connection, trusting
// either test certificate; "" when the request failed.
std::string served_serial(int port, const std::string &bundle) {
  oxtest::Request req;
  req.target = "/hello.txt";
  req.ca_file = bundle;
  oxtest::Response r = oxtest::http(static_cast<uint16_t>(port), req);
  return r.ok() && r.status == 200 ? r.cert_serial : "";
}

// SIGHUP reloads the certificate files: the renewed pair serves new
// connections; a bad pair is refused with a word on standard error and the
// renewed one serves on.
TEST(FileserveProcess, ReloadsItsCertificateOnSighup) {
  oxtest::TlsFiles tls;
  ASSERT_TRUE(tls.ok()) << tls.error();
  const std::string dir = tls.dir(), cert = dir + "/live.pem",
                    key = dir + "/live-key.pem", bundle = dir + "/both.pem";
  std::ofstream(dir + "/hello.txt") << "hello\n";
  auto put = [](const std::string &from, const std::string &to) {
    std::ofstream(to) << oxtest::read_file(from);
  };
  put(tls.cert(), cert);
  put(tls.key(), key);
  std::ofstream(bundle) << oxtest::read_file(tls.cert())
                        << oxtest::read_file(tls.extra_cert("renewed"));
  auto proc = oxtest::Process::start(
      {demo_path("fileserve"), "--cert", cert, "--key", key, "0", dir});
  ASSERT_NE(nullptr, proc);
  int port = read_https_port(*proc);
  ASSERT_GT(port, 0) << proc->read_stderr();
  EXPECT_EQ("5100", served_serial(port, bundle));

  put(tls.extra_cert("renewed"), cert);
  put(tls.extra_key("renewed"), key);
  ASSERT_EQ(0, kill(proc->pid(), SIGHUP));
  std::string serial;
  for (int i = 0; i < 100 && serial != "5200"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    serial = served_serial(port, bundle);
  }
  EXPECT_EQ("5200", serial);

  put(tls.other_key(), key);  // a key of no certificate here
  ASSERT_EQ(0, kill(proc->pid(), SIGHUP));
  std::string said;
  for (int i = 0; i < 100 && said.find("not reloaded") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    said += proc->read_stderr();
  }
  EXPECT_NE(std::string::npos, said.find("does not match")) << said;
  EXPECT_NE(std::string::npos, said.find("not reloaded")) << said;
  EXPECT_EQ("5200", served_serial(port, bundle));
  proc->close_stdin();
  oxtest::ExitStatus st = proc->wait(kWaitMs);
  EXPECT_TRUE(st.exited);
  EXPECT_EQ(0, st.code) << proc->read_stderr();
}

// A free TCP port on 127.0.0.1 for a program that takes no port 0.
int free_port() {
  Listener probe(0);
  return probe.port;
}

// Debian's Prometheus scrapes a running fileserve: its query API then has
// the request counter, and promtool accepts what fileserve serves.
TEST(FileserveProcess, ScrapedByPrometheus) {
  if (access("/usr/bin/prometheus", X_OK) != 0 ||
      access("/usr/bin/promtool", X_OK) != 0) {
    GTEST_SKIP() << "no prometheus (scripts/install-deps test)";
  }
  oxtest::TlsFiles scratch;  // a temporary directory that cleans up
  ASSERT_TRUE(scratch.ok()) << scratch.error();
  const std::string dir = scratch.dir();
  std::ofstream(dir + "/hello.txt") << "hello\n";
  auto fs = oxtest::Process::start(
      {demo_path("fileserve"), "--metrics", "/metrics", "0", dir});
  ASSERT_NE(nullptr, fs);
  int port = read_running_port(*fs);
  ASSERT_GT(port, 0) << fs->read_stderr();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(200, fetch(base + "/hello.txt").status);
  EXPECT_EQ(404, fetch(base + "/missing").status);

  Reply metrics = fetch(base + "/metrics");
  ASSERT_EQ(200, metrics.status);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", metrics.header("content-type"));
  oxtest::RunResult lint =
      oxtest::run({"/usr/bin/promtool", "check", "metrics"}, metrics.body,
                  kWaitMs);
  EXPECT_TRUE(lint.status.exited && lint.status.code == 0)
      << lint.out << lint.err;

  std::ofstream(dir + "/prometheus.yml")
      << "global:\n  scrape_interval: 1s\n"
         "scrape_configs:\n  - job_name: fileserve\n"
         "    metrics_path: /metrics\n"
         "    static_configs:\n      - targets: ['127.0.0.1:"
      << port << "']\n";
  int web = free_port();
  ASSERT_GT(web, 0);
  auto prom = oxtest::Process::start(
      {"/usr/bin/prometheus", "--config.file=" + dir + "/prometheus.yml",
       "--storage.tsdb.path=" + dir + "/data",
       "--web.listen-address=127.0.0.1:" + std::to_string(web)});
  ASSERT_NE(nullptr, prom);
  // The query API, once it has scraped: the 2xx count of GETs.  A scrape
  // counts itself once it is answered, so the count is at least 5.
  const std::string query =
      "http://127.0.0.1:" + std::to_string(web) +
      "/api/v1/query?query=ombrix_http_requests_total%7Bcode%3D%222xx%22%7D";
  std::string answer;
  for (int i = 0; i < 120; ++i) {
    answer = fetch(query).body;
    if (answer.find("\"job\":\"fileserve\"") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_NE(std::string::npos, answer.find("\"status\":\"success\""))
      << answer;
  EXPECT_NE(std::string::npos, answer.find("\"method\":\"GET\"")) << answer;
  size_t value = answer.find("\"value\":[");
  ASSERT_NE(std::string::npos, value) << answer;
  size_t quote = answer.find(",\"", value);
  ASSERT_NE(std::string::npos, quote) << answer;
  EXPECT_GE(std::atoi(answer.c_str() + quote + 2), 5) << answer;
  kill(prom->pid(), SIGTERM);
  prom->wait(kWaitMs);
  fs->close_stdin();
  oxtest::ExitStatus st = fs->wait(kWaitMs);
  EXPECT_TRUE(st.exited);
  EXPECT_EQ(0, st.code) << fs->read_stderr();
}

// ----------------------------------------------------------------- chatroom

class Chatroom : public DemoServer {
 protected:
  void SetUp() override { start("chatroom"); }
  // A WebSocket client of the demo's |path|, with |headers| in its
  // handshake.
  std::unique_ptr<oxtest::WsClient> ws(const std::string &path,
                                       const std::string &headers = "") {
    return std::make_unique<oxtest::WsClient>(static_cast<uint16_t>(port_),
                                              path, headers);
  }
};

// What a WebSocket client reads next, as one line: a text message as it
// came, other frames by their kind ("binary:...", "close:1003 text only").
std::string ws_next(oxtest::WsClient &c) {
  std::optional<oxtest::WsFrame> f = c.read_data(kWaitMs);
  if (!f) return "(nothing)";
  switch (f->op) {
    case 1:
      return f->payload;
    case 2:
      return "binary:" + f->payload;
    case 8:
      return "close:" + std::to_string(f->code()) + " " + f->reason();
  }
  return "op" + std::to_string(f->op);
}

// The next message of each client in turn, joined by " | ".
std::string ws_next_of(std::initializer_list<oxtest::WsClient *> clients) {
  std::string out;
  for (oxtest::WsClient *c : clients) {
    if (!out.empty()) out += " | ";
    out += ws_next(*c);
  }
  return out;
}

TEST_F(Chatroom, ServesThePageThatOpensTheChatAndNothingElse) {
  Reply page = fetch(url("/"));
  EXPECT_EQ(200, page.status) << page.error;
  EXPECT_EQ(kHtml, page.header("content-type"));
  EXPECT_NE(std::string::npos, page.body.find("new WebSocket("));
  EXPECT_NE(std::string::npos, page.body.find("'/chat'"));
  // The WebSocket paths want an upgrade; there is nothing else.
  EXPECT_EQ(426, fetch(url("/chat")).status);
  EXPECT_EQ(426, fetch(url("/echo")).status);
  EXPECT_EQ(404, fetch(url("/favicon.ico")).status);
}

TEST_F(Chatroom, EveryLineReachesEveryoneAndArrivalsAndLeavesAreAnnounced) {
  auto a = ws("/chat");
  ASSERT_EQ(101, a->status()) << a->head();
  EXPECT_EQ("guest 1 joined", ws_next(*a));
  auto b = ws("/chat");
  ASSERT_EQ(101, b->status()) << b->head();
  EXPECT_EQ("guest 2 joined | guest 2 joined", ws_next_of({a.get(), b.get()}));

  ASSERT_TRUE(a->send_text("hello"));
  EXPECT_EQ("guest 1: hello | guest 1: hello", ws_next_of({a.get(), b.get()}));
  ASSERT_TRUE(b->send_text("h\xc3\xa9llo"));
  EXPECT_EQ("guest 2: h\xc3\xa9llo | guest 2: h\xc3\xa9llo",
            ws_next_of({a.get(), b.get()}));

  // A leaves with a close, which the server answers; B hears of it.
  ASSERT_TRUE(a->send_close(1000, "bye"));
  EXPECT_EQ("close:1000 bye | guest 1 left", ws_next_of({a.get(), b.get()}));
  EXPECT_TRUE(a->wait_closed(kWaitMs));
  // A connection that just breaks leaves as well.
  auto c = ws("/chat");
  ASSERT_EQ(101, c->status());
  EXPECT_EQ("guest 3 joined | guest 3 joined", ws_next_of({b.get(), c.get()}));
  c.reset();
  EXPECT_EQ("guest 3 left", ws_next(*b));
}

TEST_F(Chatroom, BinaryInTheChatIsRefusedWith1003) {
  auto a = ws("/chat");
  ASSERT_EQ("guest 1 joined", ws_next(*a));
  auto b = ws("/chat");
  ASSERT_EQ("guest 2 joined | guest 2 joined", ws_next_of({a.get(), b.get()}));
  ASSERT_TRUE(a->send_frame(0x82, std::string("\x00\x01", 2)));
  EXPECT_EQ("close:1003 text only", ws_next(*a));
  ASSERT_TRUE(a->send_close(1003));
  EXPECT_EQ("guest 1 left", ws_next(*b));
}

TEST_F(Chatroom, EchoSendsEachMessageBackAsItCame) {
  auto c = ws("/echo");
  ASSERT_EQ(101, c->status()) << c->head();
  EXPECT_EQ("", c->header("Sec-WebSocket-Extensions"));
  std::string big(70000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  for (const auto &[first, payload] :
       std::vector<std::pair<uint8_t, std::string>>{
           {0x81, "hi"},
           {0x81, ""},
           {0x82, std::string("\x00\xff\x01", 3)},
           {0x82, big}}) {
    SCOPED_TRACE(payload.size());
    ASSERT_TRUE(c->send_frame(first, payload));
    std::optional<oxtest::WsFrame> f = c->read_data(kWaitMs);
    ASSERT_TRUE(f);
    EXPECT_EQ(first & 0x0f, f->op);
    EXPECT_TRUE(f->fin);
    EXPECT_FALSE(f->rsv1);
    EXPECT_TRUE(f->payload == payload) << f->payload.size() << " bytes back";
  }
}

TEST_F(Chatroom, EchoIsCompressedForAClientThatOffersDeflate) {
  auto c = ws("/echo",
              "Sec-WebSocket-Extensions: permessage-deflate; "
              "client_max_window_bits\r\n");
  ASSERT_EQ(101, c->status()) << c->head();
  EXPECT_EQ(
      0u, c->header("Sec-WebSocket-Extensions").rfind("permessage-deflate", 0))
      << c->head();
  std::string text;
  for (int i = 0; i < 100; ++i) text += "line " + std::to_string(i) + "\n";
  ASSERT_TRUE(c->send_text(text));
  std::optional<oxtest::WsFrame> f = c->read_data(kWaitMs);
  ASSERT_TRUE(f);
  EXPECT_EQ(1, f->op);
  EXPECT_TRUE(f->rsv1);
  EXPECT_LT(f->payload.size(), text.size());
  // The message's deflate blocks, made a whole stream by an empty final
  // block after the flush marker the sender dropped.
  EXPECT_EQ(text, oxtest::raw_inflate(f->payload +
                                      std::string("\x00\x00\xff\xff", 4) +
                                      std::string("\x01\x00\x00\xff\xff", 5)));
}

TEST_F(Chatroom, StoppingTellsEveryChatTheServerIsGoingAway) {
  auto a = ws("/chat");
  ASSERT_EQ("guest 1 joined", ws_next(*a));
  ASSERT_TRUE(proc_->write_stdin("q"));
  EXPECT_EQ("close:1001 the server is shutting down", ws_next(*a));
  ASSERT_TRUE(a->send_close(1001));
  EXPECT_TRUE(a->wait_closed(kWaitMs));
  // The exit status is checked on tear-down.
}

}  // namespace

// ------------------------------------------------------------ behind nginx

namespace {

constexpr char kNginx[] = "/usr/sbin/nginx";

// What every configuration here shares: one worker, and each file nginx
// writes kept under DIR.
constexpr char kNginxHead[] =
    "worker_processes 1;\n"
    "pid DIR/nginx.pid;\n"
    "error_log DIR/error.log warn;\n"
    "events { worker_connections 64; }\n"
    "http {\n"
    "  access_log off;\n"
    "  client_body_temp_path DIR/body;\n"
    "  proxy_temp_path DIR/proxy;\n"
    "  fastcgi_temp_path DIR/fastcgi;\n"
    "  uwsgi_temp_path DIR/uwsgi;\n"
    "  scgi_temp_path DIR/scgi;\n";

// Replaces each |key| in |conf| with |value|.
void conf_put(std::string &conf, const std::string &key,
              const std::string &value) {
  for (size_t at; (at = conf.find(key)) != std::string::npos;)
    conf.replace(at, key.size(), value);
}

// The configuration docs/deploy.md gives: two demo processes behind an
// upstream with passive health checks, a failed attempt retried on the
// other.  X-Upstream tells the test which process answered.
std::string nginx_conf(const std::string &dir, int port, int a, int b) {
  std::string conf =
      std::string(kNginxHead) +
      "  upstream demos {\n"
      "    server 127.0.0.1:A max_fails=1 fail_timeout=30s;\n"
      "    server 127.0.0.1:B max_fails=1 fail_timeout=30s;\n"
      "  }\n"
      "  server {\n"
      "    listen 127.0.0.1:PORT;\n"
      "    location / {\n"
      "      proxy_pass http://demos;\n"
      "      proxy_next_upstream error timeout http_502 http_503;\n"
      "      proxy_next_upstream_tries 2;\n"
      "      proxy_connect_timeout 2s;\n"
      "      add_header X-Upstream $upstream_addr always;\n"
      "    }\n"
      "  }\n"
      "}\n";
  conf_put(conf, "DIR", dir);
  conf_put(conf, "PORT", std::to_string(port));
  conf_put(conf, ":A ", ":" + std::to_string(a) + " ");
  conf_put(conf, ":B ", ":" + std::to_string(b) + " ");
  return conf;
}

// The WebSocket configuration of docs/deploy.md: the upgrade passed on for
// /chat, and a read timeout longer than the library's idle timeout.
std::string nginx_ws_conf(const std::string &dir, int port, int app) {
  std::string conf =
      std::string(kNginxHead) +
      "  map $http_upgrade $connection_upgrade {\n"
      "    default upgrade;\n"
      "    ''      close;\n"
      "  }\n"
      "  server {\n"
      "    listen 127.0.0.1:PORT;\n"
      "    location /chat {\n"
      "      proxy_pass http://127.0.0.1:APP;\n"
      "      proxy_http_version 1.1;\n"
      "      proxy_set_header Upgrade $http_upgrade;\n"
      "      proxy_set_header Connection $connection_upgrade;\n"
      "      proxy_read_timeout 90s;\n"
      "      proxy_send_timeout 90s;\n"
      "    }\n"
      "    location / {\n"
      "      proxy_pass http://127.0.0.1:APP;\n"
      "    }\n"
      "  }\n"
      "}\n";
  conf_put(conf, "DIR", dir);
  conf_put(conf, "PORT", std::to_string(port));
  conf_put(conf, "APP", std::to_string(app));
  return conf;
}

bool wait_for_port(int port) {
  for (int i = 0; i < kWaitMs / 50; ++i) {
    if (oxtest::RawConnection(static_cast<uint16_t>(port)).connected()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// nginx on loopback with a configuration of the test's own, in a temporary
// directory that holds every file it writes and is removed afterwards.
class NginxFront {
 public:
  NginxFront() {
    dir_ = (std::filesystem::temp_directory_path() / "ombrix-nginx-XXXXXX")
               .string();
    if (mkdtemp(dir_.data()) == nullptr) dir_.clear();
    port_ = Listener(0).port;  // free now; nginx takes it in start()
  }
  ~NginxFront() {
    stop();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  NginxFront(const NginxFront &) = delete;
  NginxFront &operator=(const NginxFront &) = delete;

  const std::string &dir() const { return dir_; }
  int port() const { return port_; }

  // Starts nginx on |conf| and waits until it listens; "" then, else what
  // went wrong.
  std::string start(const std::string &conf) {
    if (dir_.empty() || port_ <= 0) return "no directory or port for nginx";
    std::ofstream(dir_ + "/nginx.conf") << conf;
    std::string error;
    proc_ = oxtest::Process::start(
        {kNginx, "-p", dir_, "-e", dir_ + "/error.log", "-c",
         dir_ + "/nginx.conf", "-g", "daemon off;"},
        &error);
    if (proc_ == nullptr) return error;
    if (!wait_for_port(port_)) {
      return "nginx did not start: " + proc_->read_stderr();
    }
    return "";
  }

  // Stops nginx gracefully; true when it exited (or never ran).
  bool stop() {
    if (proc_ == nullptr) return true;
    kill(proc_->pid(), SIGQUIT);
    bool exited = proc_->wait(kWaitMs).exited;
    proc_.reset();
    return exited;
  }

 private:
  std::string dir_;
  int port_ = -1;
  std::unique_ptr<oxtest::Process> proc_;
};

// The port of the last process a request went to ("127.0.0.1:1, 127.0.0.1:2"
// after a retry gives 2).
int last_upstream(const std::string &addrs) {
  size_t colon = addrs.rfind(':');
  return colon == std::string::npos ? -1 : std::atoi(addrs.c_str() + colon + 1);
}

}  // namespace

TEST(BehindNginx, TwoLoadtestProcessesShareTrafficAndOneMayStop) {
  if (access(kNginx, X_OK) != 0) {
    GTEST_SKIP() << "no nginx (scripts/install-deps test)";
  }
  std::unique_ptr<oxtest::Process> demo[2];
  int port[2];
  for (int i = 0; i < 2; ++i) {
    std::string error;
    demo[i] = oxtest::Process::start({demo_path("loadtest"), "0"}, &error);
    ASSERT_NE(nullptr, demo[i]) << error;
    port[i] = read_running_port(*demo[i]);
    ASSERT_GT(port[i], 0);
  }
  NginxFront nginx;
  ASSERT_EQ(
      "", nginx.start(nginx_conf(nginx.dir(), nginx.port(), port[0], port[1])));
  const int front = nginx.port();

  // Round robin: both processes answer.
  auto serve = [&](int requests, std::set<int> *answered) {
    for (int i = 0; i < requests; ++i) {
      oxtest::Response r = oxtest::http_get(static_cast<uint16_t>(front), "/");
      ASSERT_TRUE(r.ok()) << r.error;
      ASSERT_EQ(200, r.status);
      ASSERT_EQ("Hello world", r.body);
      answered->insert(last_upstream(r.headers.get("X-Upstream")));
    }
  };
  std::set<int> answered;
  serve(10, &answered);
  EXPECT_EQ((std::set<int>{port[0], port[1]}), answered);

  // One process stops; its share is retried on the other and no client
  // sees a failure.
  demo[0]->write_stdin("q");
  oxtest::ExitStatus st = demo[0]->wait(kWaitMs);
  EXPECT_TRUE(st.exited && st.code == 0);
  answered.clear();
  serve(10, &answered);
  EXPECT_EQ(std::set<int>{port[1]}, answered);

  EXPECT_TRUE(nginx.stop());
  demo[1]->write_stdin("q");
  EXPECT_EQ(0, demo[1]->wait(kWaitMs).code);
}

class ChatroomBehindNginx : public Chatroom {
 protected:
  void SetUp() override {
    if (access(kNginx, X_OK) != 0) {
      GTEST_SKIP() << "no nginx (scripts/install-deps test)";
    }
    Chatroom::SetUp();
  }
};

TEST_F(ChatroomBehindNginx, ChatsThroughTheProxyWithThePageBesideThem) {
  NginxFront nginx;
  ASSERT_EQ("", nginx.start(nginx_ws_conf(nginx.dir(), nginx.port(), port_)));
  const auto front = static_cast<uint16_t>(nginx.port());
  oxtest::Response page = oxtest::http_get(front, "/");
  EXPECT_EQ(200, page.status) << page.error;
  EXPECT_NE(std::string::npos, page.body.find("new WebSocket("));

  oxtest::WsClient a(front, "/chat");
  ASSERT_EQ(101, a.status()) << a.head();
  EXPECT_EQ("guest 1 joined", ws_next(a));
  oxtest::WsClient b(front, "/chat");
  ASSERT_EQ(101, b.status()) << b.head();
  EXPECT_EQ("guest 2 joined | guest 2 joined", ws_next_of({&a, &b}));
  ASSERT_TRUE(b.send_text("through nginx"));
  EXPECT_EQ("guest 2: through nginx | guest 2: through nginx",
            ws_next_of({&a, &b}));
  ASSERT_TRUE(b.send_close(1000, "done"));
  EXPECT_EQ("close:1000 done | guest 2 left", ws_next_of({&b, &a}));
}

// --------------------------------------------------------------------- notes

// The notes service with its data in a directory of its own.
class Notes : public DemoServer {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(demo_path("notes"))) {
      GTEST_SKIP() << "notes is built only with nlohmann-json3-dev";
    }
    char tmpl[] = "/tmp/ox-notes-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    data_ = tmpl;
    start("notes", {"0", data_.string()});
  }
  void TearDown() override {
    DemoServer::TearDown();
    std::error_code ec;
    std::filesystem::remove_all(data_, ec);
  }
  Reply write(const std::string &method, const std::string &path,
              const std::string &json, bool credentials = true) {
    Request rq{method, {"Content-Type: application/json"}, json, {}};
    if (credentials) rq.headers.push_back("Authorization: Basic ZWRpdG9yOm5vdGVz");
    return fetch(url(path), rq);
  }
  std::string origin() const { return "Origin: http://localhost:" + std::to_string(port_); }

  std::filesystem::path data_;
};

TEST_F(Notes, JsonNotesAreCreatedReadChangedAndDeletedByTheEditorOnly) {
  Reply anonymous = write("POST", "/notes", R"({"title":"a"})", false);
  EXPECT_EQ(401, anonymous.status);
  EXPECT_EQ("application/json", anonymous.header("content-type"));
  EXPECT_NE("", anonymous.header("www-authenticate"));

  Reply made = write("POST", "/notes", R"({"title":"shopping","text":"milk"})");
  ASSERT_EQ(201, made.status) << made.body;
  EXPECT_EQ("/notes/1", made.header("location"));
  EXPECT_EQ(R"({"id":1,"text":"milk","title":"shopping"})", made.body);
  EXPECT_EQ(400, write("POST", "/notes", "[1, 2").status);
  EXPECT_EQ(200, write("PUT", "/notes/1", R"({"title":"shopping","text":"tea"})").status);
  EXPECT_EQ(R"({"id":1,"text":"tea","title":"shopping"})", fetch(url("/notes/1")).body);
  EXPECT_EQ(R"([{"id":1,"title":"shopping"}])", fetch(url("/notes")).body);

  EXPECT_EQ(204, write("DELETE", "/notes/1", "").status);
  Reply gone = fetch(url("/notes/1"));
  EXPECT_EQ(404, gone.status);
  EXPECT_EQ(R"({"error":"no such note"})", gone.body);
  EXPECT_EQ(R"({"error":"404"})", fetch(url("/nowhere")).body);
  Reply wrong = write("PATCH", "/notes", "{}");
  EXPECT_EQ(405, wrong.status);
  EXPECT_EQ("GET, HEAD, POST", wrong.header("allow"));
}

TEST_F(Notes, AttachmentsGetSafeNamesUnderTheirNoteAndUnknownNotesRefuseThem) {
  ASSERT_EQ(201, write("POST", "/notes", R"({"title":"t"})").status);
  Request up{"", {"Authorization: Basic ZWRpdG9yOm5vdGVz"}, {},
             {{"file", "../../etc/list.txt", "one\ntwo\n"}}};
  Reply saved = fetch(url("/notes/1/files"), up);
  ASSERT_EQ(201, saved.status) << saved.body;
  EXPECT_EQ(R"(["list.txt"])", saved.body);
  EXPECT_TRUE(std::filesystem::exists(data_ / "1" / "list.txt"));
  EXPECT_EQ("one\ntwo\n", fetch(url("/notes/1/files/list.txt")).body);
  EXPECT_EQ(404, fetch(url("/notes/1/files/..%2F..%2Fetc")).status);

  // Refused on the head: the note does not exist, so nothing is stored.
  Reply refused = fetch(url("/notes/7/files"), up);
  EXPECT_EQ(404, refused.status);
  EXPECT_FALSE(std::filesystem::exists(data_ / "7"));
}

TEST_F(Notes, PagesOfItsOwnOriginReadEveryStatusAcrossOrigins) {
  Request preflight{"OPTIONS", {origin(), "Access-Control-Request-Method: POST",
                                "Access-Control-Request-Headers: authorization, content-type"}, {}, {}};
  Reply pre = fetch(url("/notes"), preflight);
  EXPECT_EQ(204, pre.status);
  EXPECT_EQ("http://localhost:" + std::to_string(port_),
            pre.header("access-control-allow-origin"));
  EXPECT_EQ("true", pre.header("access-control-allow-credentials"));

  const std::string editor = "Authorization: Basic ZWRpdG9yOm5vdGVz";
  for (const auto &[method, path, credentials, status] :
       std::vector<std::tuple<std::string, std::string, bool, long>>{
           {"GET", "/notes/5", false, 404}, {"DELETE", "/notes", true, 405},
           {"GET", "/notes", false, 200}, {"POST", "/notes", false, 401}}) {
    Request rq{method, {origin()}, {}, {}};
    if (credentials) rq.headers.push_back(editor);
    Reply r = fetch(url(path), rq);
    EXPECT_EQ(status, r.status) << method << " " << path;
    EXPECT_NE("", r.header("access-control-allow-origin")) << method << " " << path;
  }
  Reply evil = fetch(url("/notes"), {"", {"Origin: http://evil.example"}, {}, {}});
  EXPECT_EQ("", evil.header("access-control-allow-origin"));
  Reply page = fetch(url("/ui/"));
  EXPECT_EQ(200, page.status);
  EXPECT_NE(std::string::npos, page.body.find("<title>Notes</title>"));
}

TEST_F(Notes, SigtermDrainsAndExitsWith0) {
  ASSERT_EQ(0, kill(proc_->pid(), SIGTERM));
  oxtest::ExitStatus st = proc_->wait(kWaitMs);
  EXPECT_TRUE(st.exited);
  EXPECT_EQ(0, st.code);
}
