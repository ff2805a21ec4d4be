// The whole server: each input is the byte stream a client sends on one
// connection (one request, several pipelined, or garbage).  The connection
// is a socketpair handed straight to the daemon, so no port is dialled and
// an input costs a thread start rather than a TCP handshake.
//
// One server serves every input: a thread per connection, small limits, an
// authentication callback that denies some paths and a request callback
// that reads all of a request and answers it by its path:
//   /private...   401 unless Basic credentials qvk:748 (realm "fuzz")
//   /forbidden... 403 from the authentication callback
//   /cancel...    canceled by the authentication callback
//   /lenient...   denied, then let through anyway
//   /z...         the summary deflated (ox_httpres_zsendbinary)
//   /stream...    the summary as a stream of known size; /chunked... of none
//   /chunked0...  an empty stream of no known size (a chunked body of
//                 nothing but its last chunk)
//   /iso...       answered from an isolated callback
//   /file...      a file of the upload directory, from ?off= for ?max= bytes
//   /none...      no answer (the core's 500)
//   anything else the summary (ox_httpres_sendbinary)
// and under /upload... every upload is saved under its own name first
// (then removed, so that a long run does not fill the disk).
// The summary is one line that lists the method, path, maps, payload and
// uploads, with every byte outside printable ASCII escaped, so that the
// only line breaks of a reply are the ones libmicrohttpd writes.  ?h= becomes a
// reply header, ?cn=&cv= a cookie: a line break there must never reach the wire
// as a header of its own.
//
// Checks, besides the sanitizers: the server answers or closes within a
// safety time; no injected header; a stream handle is released exactly
// once, by the time the connection is gone; a saved upload has the size the
// request reported.  And the framing, read again by the strict readers of
// http_strict.h: the server answers no more requests than a strict server
// finds in the input, plus the one that reader stops in (a refusal, or a
// 413 before the body), and none after a request with Connection: close;
// every reply parses and ends where RFC 9112 §6.3 says (no body for HEAD,
// 1xx, 204 or 304; nothing after a 2xx to CONNECT), so that the next reply
// starts right after it; the n-th reply that names its request names the
// n-th request's method.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "http_strict.h"
#include "input.h"
#include "ombrix.h"
#include "ox_httpsrv.h"

namespace {

// How long the server may take to answer and close before the input counts
// as a hang; far above what any input needs.
constexpr auto safety_time = std::chrono::seconds(10);
constexpr size_t reply_cap = 16u << 20;  // more is a runaway reply
// Upload directories are /tmp/ombrix-fuzz-<pid>-XXXXXX.
constexpr char upload_dir_prefix[] = "ombrix-fuzz-";
constexpr char sample_file[] = "sample.txt";
constexpr char sample_text[] = "0123456789abcdefghijklmnopqrstuvwxyz";

struct Fixture {
  ox_httpsrv *srv = nullptr;
  std::string dir;  // the upload directory, made for this process
};
Fixture fixture;

// Stream handles alive: each is released by the stream's free callback.
std::atomic<int> live_streams{0};

bool has_prefix(const char *text, const char *prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

void escape_into(std::string &out, const char *text, size_t len) {
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < len; i++) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
}

void escape_into(std::string &out, const char *text) {
  escape_into(out, text, strlen(text));
}

struct MapWalk {
  std::string *out;
  ox_strmap *map;
  unsigned int seen;
};

int walk_pair(void *cls, ox_strmap *pair) {
  auto *w = static_cast<MapWalk *>(cls);
  const char *name = ox_strmap_name(pair);
  const char *val = ox_strmap_val(pair);
  OXF_CHECK(name != nullptr && val != nullptr);
  // The first pair of each name is found, whichever case is asked for.
  OXF_CHECK(ox_strmap_get(w->map, name) != nullptr);
  w->seen++;
  *w->out += ' ';
  escape_into(*w->out, name);
  *w->out += '=';
  escape_into(*w->out, val);
  return 0;
}

void summarize_map(std::string &out, const char *title, ox_strmap **map) {
  OXF_CHECK(map != nullptr);
  out += "; ";
  out += title;
  out += ':';
  MapWalk w{&out, *map, 0};
  OXF_CHECK(ox_strmap_iter(*map, walk_pair, &w) == 0);
  OXF_CHECK(w.seen == ox_strmap_count(*map));
}

// Saves an upload under its own name and checks the file that lands.
void save_upload(ox_httpupld *upld) {
  const char *name = ox_httpupld_name(upld);
  if (strcmp(name, sample_file) == 0) return;  // keep the file /file sends
  // The names the library must refuse: anything but one plain component.
  size_t len = strlen(name);
  bool safe = len != 0 && len <= 255 && strcmp(name, ".") != 0 &&
              strcmp(name, "..") != 0;
  for (const char *p = name; safe && *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') safe = false;
  }
  int rc = ox_httpupld_save(upld, true);
  OXF_CHECK(rc == (safe ? 0 : EINVAL));
  if (rc != 0) return;
  std::string path = fixture.dir + "/" + name;
  struct stat st;
  OXF_CHECK(stat(path.c_str(), &st) == 0);
  OXF_CHECK(static_cast<uint64_t>(st.st_size) == ox_httpupld_size(upld));
  OXF_CHECK(ox_httpupld_save(upld, true) == EALREADY);
  unlink(path.c_str());  // a long run must not fill the disk
}

std::string summarize(ox_httpreq *req) {
  std::string out = "request ";
  escape_into(out, ox_httpreq_method(req));
  out += ' ';
  escape_into(out, ox_httpreq_path(req));
  summarize_map(out, "headers", ox_httpreq_headers(req));
  summarize_map(out, "cookies", ox_httpreq_cookies(req));
  summarize_map(out, "params", ox_httpreq_params(req));
  summarize_map(out, "fields", ox_httpreq_fields(req));
  ox_str *payload = ox_httpreq_payload(req);
  OXF_CHECK(payload != nullptr);
  const char *body = ox_str_content(payload);
  size_t body_len = ox_str_length(payload);
  OXF_CHECK(body[body_len] == '\0');
  out += "; payload " + std::to_string(body_len) + ": ";
  escape_into(out, body, body_len < 256 ? body_len : 256);
  bool any = false;
  for (ox_httpupld *u = ox_httpreq_uploads(req); u != nullptr;) {
    any = true;
    const char *mime = ox_httpupld_mime(u);
    out += "; upload ";
    escape_into(out, ox_httpupld_field(u));
    out += ' ';
    escape_into(out, ox_httpupld_name(u));
    out += ' ';
    escape_into(out, mime != nullptr ? mime : "(none)");
    out += ' ' + std::to_string(ox_httpupld_size(u));
    OXF_CHECK(ox_httpuplds_next(&u) == 0);
  }
  OXF_CHECK(any == ox_httpreq_is_uploading(req));
  return out;
}

struct Stream {
  uint64_t left;
  char fill;
};

ssize_t stream_read(void *handle, uint64_t offset, char *buf, size_t size) {
  (void)offset;
  auto *s = static_cast<Stream *>(handle);
  if (s->left == 0) return ox_eor(false);
  size_t n = size < s->left ? size : static_cast<size_t>(s->left);
  memset(buf, s->fill, n);
  s->left -= n;
  return static_cast<ssize_t>(n);
}

void stream_free(void *handle) {
  delete static_cast<Stream *>(handle);
  live_streams--;
}

uint64_t param_number(ox_httpreq *req, const char *name) {
  const char *text = ox_strmap_get(*ox_httpreq_params(req), name);
  return text != nullptr ? strtoull(text, nullptr, 10) : 0;
}

// Answers |req| by its path; every answer sends once, and a second send is
// refused.
void answer(ox_httpreq *req, ox_httpres *res) {
  const char *path = ox_httpreq_path(req);
  std::string text = summarize(req);
  ox_strmap *params = *ox_httpreq_params(req);
  if (const char *h = ox_strmap_get(params, "h"); h != nullptr) {
    OXF_CHECK(ox_strmap_add(ox_httpres_headers(res), "X-Echo", h) == 0);
  }
  const char *cn = ox_strmap_get(params, "cn");
  const char *cv = ox_strmap_get(params, "cv");
  if (cn != nullptr && cv != nullptr) {
    int rc = ox_httpres_set_cookie(res, cn, cv);
    OXF_CHECK(rc == 0 || rc == EINVAL);
  }
  if (has_prefix(path, "/upload")) {
    for (ox_httpupld *u = ox_httpreq_uploads(req); u != nullptr;
         ox_httpuplds_next(&u)) {
      save_upload(u);
    }
  }
  int rc;
  if (has_prefix(path, "/none")) {
    return;
  } else if (has_prefix(path, "/z")) {
    rc = ox_httpres_zsendbinary(res, text.data(), text.size(), "text/plain",
                                200);
  } else if (has_prefix(path, "/stream") || has_prefix(path, "/chunked")) {
    uint64_t size = has_prefix(path, "/chunked0")
                        ? 0
                        : text.size() + param_number(req, "n") % 100000;
    live_streams++;
    auto *s = new Stream{size, 's'};
    rc = ox_httpres_sendstream(res, path[1] == 's' ? size : 0, stream_read, s,
                               stream_free, 200);
  } else if (has_prefix(path, "/file")) {
    std::string file = fixture.dir + "/" + sample_file;
    rc = ox_httpres_sendfile2(res, 0, param_number(req, "max"),
                              param_number(req, "off"), file.c_str(),
                              "attachment", 200);
    if (rc == EINVAL) {  // an offset past the end
      OXF_CHECK(param_number(req, "off") > sizeof sample_text - 1);
      rc = ox_httpres_sendbinary(res, nullptr, 0, nullptr, 416);
    }
  } else {
    rc =
        ox_httpres_sendbinary(res, text.data(), text.size(), "text/plain", 200);
  }
  OXF_CHECK(rc == 0);
  OXF_CHECK(ox_httpres_sendbinary(res, "x", 1, nullptr, 200) == EALREADY);
}

void on_isolated(void *cls, ox_httpreq *req, ox_httpres *res) noexcept {
  (void)cls;
  answer(req, res);
}

void on_request(void *cls, ox_httpreq *req, ox_httpres *res) noexcept {
  (void)cls;
  if (has_prefix(ox_httpreq_path(req), "/iso")) {
    OXF_CHECK(ox_httpreq_isolate(req, on_isolated, nullptr) == 0);
    OXF_CHECK(ox_httpreq_isolate(req, on_isolated, nullptr) == EALREADY);
    return;
  }
  answer(req, res);
}

bool on_auth(void *cls, ox_httpauth *auth, ox_httpreq *req,
             ox_httpres *res) noexcept {
  (void)cls;
  (void)res;
  const char *path = ox_httpreq_path(req);
  const char *usr = ox_httpauth_usr(auth);
  const char *pwd = ox_httpauth_pwd(auth);
  OXF_CHECK(ox_httpreq_headers(req) != nullptr);
  if (has_prefix(path, "/private")) {
    if (usr != nullptr && pwd != nullptr && strcmp(usr, "qvk") == 0 &&
        strcmp(pwd, "748") == 0) {
      return true;
    }
    OXF_CHECK(ox_httpauth_set_realm(auth, "fuzz") == 0);
    OXF_CHECK(ox_httpauth_deny(auth, "denied", "text/plain") == 0);
    OXF_CHECK(ox_httpauth_deny(auth, "again", "text/plain") == EALREADY);
    return false;
  }
  if (has_prefix(path, "/forbidden")) {
    OXF_CHECK(ox_httpauth_deny2(auth, "no", "text/plain", 403) == 0);
    return false;
  }
  if (has_prefix(path, "/cancel")) {
    OXF_CHECK(ox_httpauth_cancel(auth) == 0);
    return false;
  }
  if (has_prefix(path, "/lenient")) {
    OXF_CHECK(ox_httpauth_deny(auth, "denied", "text/plain") == 0);
  }
  return true;
}

void on_error(void *cls, const char *err) noexcept {
  // The server's complaints about bad requests are expected here.
  (void)cls;
  (void)err;
}

void stop_server() {
  ox_httpsrv_free(fixture.srv);
  fixture.srv = nullptr;
  std::string file = fixture.dir + "/" + sample_file;
  unlink(file.c_str());
  rmdir(fixture.dir.c_str());
}

// A run that ends on a finding leaves without its exit handlers, and so
// its upload directory behind: the directories of processes that are gone
// are removed before a new one is made.
void sweep_old_dirs() {
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator("/tmp", ec)) {
    std::string name = entry.path().filename();
    if (name.compare(0, sizeof upload_dir_prefix - 1, upload_dir_prefix) != 0) {
      continue;
    }
    auto pid =
        static_cast<pid_t>(atol(name.c_str() + sizeof upload_dir_prefix - 1));
    if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) {
      std::filesystem::remove_all(entry.path(), ec);
    }
  }
}

void start_server() {
  sweep_old_dirs();
  std::string pattern = "/tmp/" + std::string(upload_dir_prefix) +
                        std::to_string(getpid()) + "-XXXXXX";
  OXF_CHECK(mkdtemp(pattern.data()) != nullptr);
  fixture.dir = pattern;
  const char *dir = fixture.dir.c_str();
  std::string file = fixture.dir + "/" + sample_file;
  FILE *f = fopen(file.c_str(), "w");
  OXF_CHECK(f != nullptr);
  fputs(sample_text, f);
  fclose(f);

  ox_httpsrv *srv = ox_httpsrv_new2(on_auth, on_request, on_error, nullptr);
  OXF_CHECK(srv != nullptr);
  OXF_CHECK(ox_httpsrv_set_payld_limit(srv, 64 * 1024) == 0);
  OXF_CHECK(ox_httpsrv_set_uplds_limit(srv, 256 * 1024) == 0);
  OXF_CHECK(ox_httpsrv_set_con_timeout(srv, 3) == 0);
  // Small, so that inputs reach the head-too-large path too.
  OXF_CHECK(ox_httpsrv_set_con_mem_limit(srv, 16 * 1024) == 0);
  OXF_CHECK(ox_httpsrv_set_upld_dir(srv, dir) == 0);
  OXF_CHECK(ox_httpsrv_listen(srv, 0, true));
  fixture.srv = srv;
  atexit(stop_server);
}

// Connections the daemon still holds; a connection leaves the count only
// once its requests are completed and its reply released.
unsigned int open_connections() {
  const MHD_DaemonInfo *info = MHD_get_daemon_info(
      fixture.srv->daemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
  OXF_CHECK(info != nullptr);
  return __atomic_load_n(&info->num_connections, __ATOMIC_ACQUIRE);
}

// Sends |data| on a new connection, then half-closes it, and returns every
// byte the server wrote until it closed its end.  Writes and reads
// interleave, so a server that answers before reading all never blocks.
std::string exchange(const uint8_t *data, size_t size) {
  int sv[2];
  OXF_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
  // The daemon takes the other end as a client at 127.0.0.1.
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(40000);
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  OXF_CHECK(MHD_add_connection(fixture.srv->daemon, sv[1],
                               reinterpret_cast<sockaddr *>(&peer),
                               sizeof peer) == MHD_YES);
  int fd = sv[0];
  OXF_CHECK(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0);

  const auto deadline = std::chrono::steady_clock::now() + safety_time;
  std::string reply;
  size_t sent = 0;
  bool shut = false;
  for (;;) {
    if (!shut && sent == size) {
      shutdown(fd, SHUT_WR);
      shut = true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    OXF_CHECK(left.count() > 0 && "the server neither answered nor closed");
    pollfd p{fd, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
    int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    OXF_CHECK(n > 0 && "the server neither answered nor closed");
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buf[16384];
      ssize_t r = read(fd, buf, sizeof buf);
      if (r == 0) break;  // the server closed its end
      if (r < 0 && errno != EAGAIN && errno != EINTR) break;  // reset
      if (r > 0) reply.append(buf, static_cast<size_t>(r));
      OXF_CHECK(reply.size() <= reply_cap);
    }
    if (!shut && (p.revents & POLLOUT) != 0) {
      ssize_t w = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
      if (w > 0) {
        sent += static_cast<size_t>(w);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        sent = size;  // the server stopped reading: the rest is moot
      }
    }
  }
  close(fd);
  return reply;
}

// Waits for the daemon to let go of the connection, so that each input
// ends with the server idle and callbacks of one input never run during the
// next.
void wait_until_idle() {
  const auto deadline = std::chrono::steady_clock::now() + safety_time;
  while (open_connections() != 0) {
    OXF_CHECK(std::chrono::steady_clock::now() < deadline &&
              "a closed connection was never released");
    std::this_thread::yield();
  }
}

namespace http = oxfuzz::http;

// The method a summary names: "request GET /path; ...", escaped as it is.
std::string_view summary_method(std::string_view body) {
  constexpr std::string_view lead = "request ";
  if (body.substr(0, lead.size()) != lead) return {};
  body.remove_prefix(lead.size());
  return body.substr(0, body.find(' '));
}

const char *stop_name(http::Stop stop) {
  switch (stop) {
    case http::Stop::end:
      return "the end of the input";
    case http::Stop::cut:
      return "a request cut by the end of the input";
    case http::Stop::refused:
      return "a refusal";
    case http::Stop::closed:
      return "a request that closes the connection";
  }
  return "?";
}

// Tells what the strict readers saw, so that a finding can be understood
// without replaying it under a debugger.
void explain(std::string_view input, const http::RequestScan &req,
             std::string_view reply, const http::ReplyScan &rep) {
  std::string out =
      "strict request reader: " + std::to_string(req.methods.size()) +
      " request(s) [";
  for (const std::string &m : req.methods) out += " " + m;
  out += " ], then at byte " + std::to_string(req.offset) + " ";
  out += stop_name(req.stop);
  if (req.stop == http::Stop::refused) out += std::string(": ") + req.why;
  out += "\n  from there: ";
  escape_into(out, input.data() + req.offset,
              std::min<size_t>(input.size() - req.offset, 120));
  out += "\nstrict reply reader: " + std::to_string(rep.statuses.size()) +
         " final reply(ies) [";
  for (int status : rep.statuses) out += " " + std::to_string(status);
  out += rep.cut ? " ], the last cut by the close" : " ]";
  if (rep.fault != http::ReplyFault::none) {
    out += "; at byte " + std::to_string(rep.offset) + ": " + rep.why;
    out += "\n  from there: ";
    escape_into(out, reply.data() + rep.offset,
                std::min<size_t>(reply.size() - rep.offset, 160));
  }
  fprintf(stderr, "%s\n", out.c_str());
}

// Reads the input and the reply again with strict readers and checks that
// the server found no request a strict server would not have found, and
// that a client can tell where each reply ends.
void check_framing(std::string_view input, std::string_view reply) {
  http::RequestScan req = http::scan_requests(input);
  size_t requests = req.methods.size();
  // A server may answer the request a strict reader stops in, with a
  // refusal or early (413 before the body), and then close.
  std::vector<std::string> answered = req.methods;
  bool may_answer_one_more =
      req.stop == http::Stop::refused || req.stop == http::Stop::cut;
  if (may_answer_one_more) answered.push_back(req.stopped_method);
  size_t bound = answered.size();
  http::ReplyScan rep = http::scan_replies(reply, answered);
  size_t replies = rep.statuses.size();
  size_t misplaced = replies;  // the first reply that names another request
  for (size_t i = 0; i < replies && i < requests; i++) {
    std::string_view named = summary_method(rep.bodies[i]);
    if (!named.empty() && named != req.methods[i]) {
      misplaced = i;
      break;
    }
  }
  bool ok = rep.fault == http::ReplyFault::none && misplaced == replies &&
            replies <= bound;
  if (!ok) explain(input, req, reply, rep);
  // The count first: replies past the requests a strict reader finds are
  // read without knowing their requests (a HEAD among them throws the
  // reader off), so what they break is a consequence.
  OXF_CHECK((req.stop != http::Stop::closed || replies <= requests) &&
            "a reply to a request sent after Connection: close");
  OXF_CHECK(replies <= bound &&
            "more replies than requests a strict reader finds: smuggled?");
  using Fault = http::ReplyFault;
  OXF_CHECK(rep.fault != Fault::first_line && "the reply is no HTTP/1.1");
  OXF_CHECK(rep.fault != Fault::head_body &&
            "a reply to HEAD carries body bytes");
  OXF_CHECK(rep.fault != Fault::stray_bytes &&
            "bytes after a complete reply start no reply");
  OXF_CHECK(rep.fault != Fault::tunnel_bytes &&
            "bytes after a 2xx to CONNECT, where a tunnel starts");
  OXF_CHECK(rep.fault == Fault::none && "a reply does not parse");
  OXF_CHECK(misplaced == replies &&
            "a reply answers another request than the one in its place");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  (void)argc;
  (void)argv;
  start_server();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string reply = exchange(data, size);
  wait_until_idle();
  OXF_CHECK(reply.find("\nX-Injected") == std::string::npos);
  OXF_CHECK(live_streams == 0);
  check_framing({reinterpret_cast<const char *>(data), size}, reply);
  return 0;
}
