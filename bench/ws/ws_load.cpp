// ws_load: the WebSocket client of bench/ws/run, one thread on epoll,
// against a server on 127.0.0.1 (ws_server, or ws_server.mjs on Node's ws).
//   echo   --connections (default 100) to --path (default /echo), each
//          sending a 64-byte text message, waiting for its echo, then
//          sending the next, for --seconds (default 5) or --messages in
//          all (default 10 million), whichever comes first; the echoes
//          still on their way are then awaited for up to 2 s.  With
//          --deflate each connection offers permessage-deflate, and
//          compresses what it sends as a browser does.
//   bcast  --connections (default 10000) to --path (default /bcast); once
//          all are open, one sends "go" and the time until the last one
//          received the server's 64-byte message is measured, --repeat
//          times (default 5) after --warmup unmeasured ones (default 1).
//          With --pid, also the server's CPU time from the "go" to 100 ms
//          after the last message (its utime + stime, read in nanoseconds
//          through the process's CPU clock: /proc/PID/stat counts in
//          10 ms ticks, coarser than one broadcast).
//   idle   --connections (default 10000) to --path (default /echo),
//          opened and held; prints "OPEN ..." once all are, then waits for
//          a byte or the end of standard input, or SIGTERM or SIGINT (for
//          at most --hold seconds, default 300), and closes them.
// Connections open at most 64 at a time (--open-at-once; see kOpenAtOnce),
// within --open-timeout seconds (default 60).  Everything ends
// with a reset (SO_LINGER 0), which leaves no port in TIME_WAIT for the
// next run.  Prints one "RESULT key=value ..." line per run, per broadcast
// in bcast mode; exits 1 when the run could not be made.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Handshakes in flight at once.  Below Node's listen backlog (511), which
// a burst of 10000 connects would overflow into SYN retries a second
// late, and below 128: libmicrohttpd 0.9.75 takes epoll events 128 at a
// time and, when a call fills all 128, calls epoll_wait() again with its
// full timeout before serving them, so exactly 128 clients whose heads
// arrive together wait for the next event elsewhere (up to the library's
// 10 s head deadline).  --open-at-once 128 shows it.
constexpr long kOpenAtOnce = 64;
constexpr size_t kMessageSize = 64;
constexpr size_t kEchoTexts = 256;
// A frame or handshake larger than this is no reply of the bench servers.
constexpr size_t kMaxFrame = 16u << 20;
constexpr size_t kMaxHead = 16384;
constexpr int64_t kMs = 1000000;  // nanoseconds
constexpr int64_t kEchoDrainNs = 2000 * kMs;
constexpr int64_t kBroadcastWaitNs = 30000 * kMs;
constexpr int64_t kBroadcastSettleNs = 200 * kMs;
constexpr int64_t kBroadcastTailNs = 100 * kMs;
// The epoll tags of the two descriptors that are no connection.
constexpr uint64_t kStdinTag = UINT64_MAX;
constexpr uint64_t kSignalTag = UINT64_MAX - 1;

// The key of every handshake, and the accept value it must get back (RFC
// 6455 section 1.3): a benchmark needs no fresh key per connection.
constexpr char kKey[] = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr char kAccept[] = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
constexpr uint8_t kFlushTail[4] = {0x00, 0x00, 0xff, 0xff};

enum class load_mode { echo, bcast, idle };

struct load_options {
  load_mode mode = load_mode::echo;
  uint16_t port = 0;
  std::string path;      // "": the mode's
  long connections = 0;  // 0: the mode's
  double seconds = 5;
  long messages = 10000000;
  bool deflate = false;
  long repeat = 5;
  long warmup = 1;
  pid_t pid = 0;  // the server, for its CPU time; 0: not read
  double open_timeout = 60;
  long open_at_once = kOpenAtOnce;
  double hold = 300;
};

struct deflate_end {
  void operator()(z_stream *z) const noexcept {
    deflateEnd(z);
    delete z;
  }
};
struct inflate_end {
  void operator()(z_stream *z) const noexcept {
    inflateEnd(z);
    delete z;
  }
};
using deflate_ptr = std::unique_ptr<z_stream, deflate_end>;
using inflate_ptr = std::unique_ptr<z_stream, inflate_end>;

enum class conn_state { unused, connecting, handshake, open, closed };

struct conn {
  size_t index = 0;
  int fd = -1;
  conn_state state = conn_state::unused;
  bool polling_out = false;  // EPOLLOUT is asked for: |out| waits
  std::string in;            // read, not parsed yet (part of a frame)
  std::string out;           // not written yet
  uint32_t mask_state = 0;   // masks of this connection's frames
  // permessage-deflate as the server accepted it; NULL: off.
  deflate_ptr deflater;
  inflate_ptr inflater;
  bool reset_deflater = false;  // client_no_context_takeover
  bool reset_inflater = false;  // server_no_context_takeover
  // A fragmented message being gathered (first frame's opcode, or 0).
  uint8_t message_op = 0;
  bool message_compressed = false;
  std::string message;
  uint64_t sent = 0;      // echo: messages sent
  bool awaiting = false;  // echo: the last one's echo is not back yet
  long heard_rep = -1;    // bcast: the broadcast whose message came last
};

struct load {
  load_options opt;
  sockaddr_in addr{};
  int epfd = -1;
  int sigfd = -1;
  std::string request;  // the handshake, the same for every connection
  std::vector<conn> conns;
  std::vector<std::string> texts;  // echo: the messages sent in turn
  std::vector<uint8_t> scratch;    // one read of a socket
  std::string frame;               // a frame being made
  std::vector<uint8_t> zbuf;       // a message compressed or inflated
  std::vector<uint8_t> zin;        // a compressed message and its flush tail
  size_t next_to_open = 0;
  long opening = 0;         // connecting or in the handshake
  long open = 0;            // open now
  long lost = 0;            // open once, then closed by the server or reset
  std::string failure;      // why the run cannot go on ("": it can)
  uint64_t errors = 0;      // echoes that differ, messages nobody expects
  uint64_t compressed = 0;  // messages that came compressed (RSV1)
  // echo
  bool sending = false;
  uint64_t sent_total = 0, received_total = 0;
  int64_t last_echo_ns = 0;
  // bcast
  long rep = -1;  // the broadcast under way, warm-ups counted, from 0
  long heard = 0;
  int64_t last_heard_ns = 0;
  // idle
  bool stop = false;
};

int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t cpu_ns(clockid_t clock) {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return -1;
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The server's utime + stime in nanoseconds, every thread counted, or -1.
int64_t server_cpu_ns(pid_t pid) {
  clockid_t clock;
  if (pid == 0 || clock_getcpuclockid(pid, &clock) != 0) return -1;
  return cpu_ns(clock);
}

uint32_t xorshift(uint32_t *state) {
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return x;
}

// 64 bytes of lowercase words, a different text each, so that compression
// has the work of real chat lines rather than of one repeated string.
std::vector<std::string> echo_texts() {
  static const char *const words[] = {
      "the",    "server", "client", "message", "socket", "frame", "send",
      "echo",   "quick",  "brown",  "window",  "stream", "bytes", "ready",
      "events", "loop",   "text",   "reply",   "open",   "close", "group",
      "ping",   "and",    "of",     "to",      "a",      "on",    "with"};
  constexpr size_t nwords = sizeof words / sizeof words[0];
  std::vector<std::string> texts;
  uint32_t seed = 12345;
  for (size_t i = 0; i < kEchoTexts; i++) {
    std::string text;
    while (text.size() < kMessageSize) {
      if (!text.empty()) text += ' ';
      text += words[xorshift(&seed) % nwords];
    }
    text.resize(kMessageSize);
    texts.push_back(text);
  }
  return texts;
}

// ------------------------------------------------------------- writing

void conn_lost(load &l, conn &c, const char *why);

void conn_poll(load &l, conn &c, bool out) {
  if (c.polling_out == out) return;
  epoll_event ev{};
  ev.events = out ? EPOLLIN | EPOLLOUT : EPOLLIN;
  ev.data.u64 = c.index;
  epoll_ctl(l.epfd, EPOLL_CTL_MOD, c.fd, &ev);
  c.polling_out = out;
}

// Writes what the socket takes of |data| now and keeps the rest for when
// it is writable again, behind anything kept before.
void conn_write(load &l, conn &c, const char *data, size_t size) {
  if (c.out.empty()) {
    ssize_t w = send(c.fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      conn_lost(l, c, strerror(errno));
      return;
    }
    size_t done = w > 0 ? static_cast<size_t>(w) : 0;
    if (done == size) return;
    data += done;
    size -= done;
  }
  c.out.append(data, size);
  conn_poll(l, c, true);
}

void conn_flush(load &l, conn &c) {
  while (!c.out.empty()) {
    ssize_t w =
        send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      conn_lost(l, c, strerror(errno));
      return;
    }
    c.out.erase(0, static_cast<size_t>(w));
  }
  conn_poll(l, c, false);
}

// Compresses a message as permessage-deflate has it: raw deflate, a sync
// flush, its empty block's 00 00 ff ff taken off the end.
bool deflate_message(load &l, conn &c, const void *data, size_t size) {
  z_stream *z = c.deflater.get();
  l.zbuf.resize(deflateBound(z, size) + 16);
  z->next_in = static_cast<Bytef *>(const_cast<void *>(data));
  z->avail_in = static_cast<uInt>(size);
  size_t used = 0;
  do {
    if (used == l.zbuf.size()) l.zbuf.resize(l.zbuf.size() * 2);
    z->next_out = l.zbuf.data() + used;
    z->avail_out = static_cast<uInt>(l.zbuf.size() - used);
    if (deflate(z, Z_SYNC_FLUSH) == Z_STREAM_ERROR) return false;
    used = l.zbuf.size() - z->avail_out;
  } while (z->avail_out == 0);
  if (used >= 4 && memcmp(l.zbuf.data() + used - 4, kFlushTail, 4) == 0) {
    used -= 4;
  }
  l.zbuf.resize(used);
  if (c.reset_deflater) deflateReset(z);
  return true;
}

// Sends one masked frame: |first| is its first byte (FIN, RSV1, opcode).
void conn_send_frame(load &l, conn &c, uint8_t first, const void *payload,
                     size_t size) {
  std::string &f = l.frame;
  f.clear();
  f += static_cast<char>(first);
  if (size < 126) {
    f += static_cast<char>(0x80 | size);
  } else if (size <= 0xffff) {
    f += static_cast<char>(0x80 | 126);
    f += static_cast<char>(size >> 8);
    f += static_cast<char>(size & 0xff);
  } else {
    f += static_cast<char>(0x80 | 127);
    for (int i = 7; i >= 0; i--)
      f += static_cast<char>((size >> (8 * i)) & 0xff);
  }
  uint32_t key = xorshift(&c.mask_state);
  uint8_t mask[4] = {static_cast<uint8_t>(key), static_cast<uint8_t>(key >> 8),
                     static_cast<uint8_t>(key >> 16),
                     static_cast<uint8_t>(key >> 24)};
  f.append(reinterpret_cast<const char *>(mask), 4);
  size_t at = f.size();
  f.append(static_cast<const char *>(payload), size);
  for (size_t i = 0; i < size; i++) f[at + i] ^= static_cast<char>(mask[i & 3]);
  conn_write(l, c, f.data(), f.size());
}

// Sends a text message, compressed when the connection deflates.
void conn_send_text(load &l, conn &c, const std::string &text) {
  if (c.deflater == nullptr) {
    conn_send_frame(l, c, 0x81, text.data(), text.size());
    return;
  }
  if (!deflate_message(l, c, text.data(), text.size())) {
    conn_lost(l, c, "deflate failed");
    return;
  }
  conn_send_frame(l, c, 0xc1, l.zbuf.data(), l.zbuf.size());
}

// ------------------------------------------------------------- opening

void load_fail(load &l, const std::string &why) {
  if (l.failure.empty()) l.failure = why;
}

void conn_close(load &l, conn &c) {
  if (c.fd < 0) return;
  // A reset: no port of this run stays in TIME_WAIT for the next one.
  linger off{1, 0};
  setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
  epoll_ctl(l.epfd, EPOLL_CTL_DEL, c.fd, nullptr);
  close(c.fd);
  c.fd = -1;
  c.deflater.reset();
  c.inflater.reset();
  std::string().swap(c.in);
  std::string().swap(c.out);
  std::string().swap(c.message);
}

// The server closed |c| or its socket failed.  Before the handshake ended
// that fails the run; after, it is counted.
void conn_lost(load &l, conn &c, const char *why) {
  if (c.state == conn_state::closed) return;
  if (c.state == conn_state::open) {
    l.open--;
    l.lost++;
    if (l.lost == 1) fprintf(stderr, "ws_load: a connection ended: %s\n", why);
  } else {
    l.opening--;
    load_fail(l, std::string("a connection failed to open: ") + why);
  }
  c.state = conn_state::closed;
  conn_close(l, c);
}

void conn_start(load &l, conn &c) {
  c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (c.fd < 0) {
    load_fail(l, std::string("socket: ") + strerror(errno));
    return;
  }
  int one = 1;
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  c.state = conn_state::connecting;
  c.mask_state = static_cast<uint32_t>(c.index * 2654435761u + 1);
  l.opening++;
  if (connect(c.fd, reinterpret_cast<sockaddr *>(&l.addr), sizeof l.addr) !=
          0 &&
      errno != EINPROGRESS) {
    // EADDRNOTAVAIL: no local port left.
    conn_lost(l, c, strerror(errno));
    return;
  }
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.u64 = c.index;
  epoll_ctl(l.epfd, EPOLL_CTL_ADD, c.fd, &ev);
  c.polling_out = true;
}

void load_open_more(load &l) {
  while (l.failure.empty() && l.opening < l.opt.open_at_once &&
         l.next_to_open < l.conns.size()) {
    conn_start(l, l.conns[l.next_to_open++]);
  }
}

void conn_connected(load &l, conn &c) {
  int err = 0;
  socklen_t len = sizeof err;
  getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
  if (err != 0) {
    conn_lost(l, c, strerror(err));
    return;
  }
  c.state = conn_state::handshake;
  conn_poll(l, c, false);
  conn_write(l, c, l.request.data(), l.request.size());
}

// The value of header |name| (lowercase, with its colon) in |head|
// (lowercased), or "".
std::string head_value(const std::string &head, const char *name) {
  size_t at = head.find(std::string("\r\n") + name);
  if (at == std::string::npos) return "";
  at += 2 + strlen(name);
  size_t end = head.find("\r\n", at);
  std::string value = head.substr(at, end - at);
  size_t first = value.find_first_not_of(" \t");
  size_t last = value.find_last_not_of(" \t");
  return first == std::string::npos ? ""
                                    : value.substr(first, last - first + 1);
}

// The value of parameter |name| in an extension's |value|: "" when it has
// none, "-" when it is not there.
std::string ext_param(const std::string &value, const std::string &name) {
  size_t at = 0;
  while ((at = value.find(name, at)) != std::string::npos) {
    size_t end = at + name.size();
    bool starts = at == 0 || value[at - 1] == ';' || value[at - 1] == ' ';
    bool ends = end == value.size() || value[end] == ';' || value[end] == ' ' ||
                value[end] == '=';
    if (starts && ends) {
      if (end == value.size() || value[end] != '=') return "";
      size_t stop = value.find(';', end);
      return value.substr(end + 1, stop == std::string::npos ? std::string::npos
                                                             : stop - end - 1);
    }
    at = end;
  }
  return "-";
}

// Sets up permessage-deflate as the server accepted it in |value|.
bool conn_deflate_setup(load &l, conn &c, const std::string &value) {
  if (value.compare(0, 18, "permessage-deflate") != 0) {
    load_fail(l, "the server did not accept permessage-deflate");
    return false;
  }
  // Not offered, so not the server's to set (RFC 7692 section 7.1.2.2).
  if (ext_param(value, "client_max_window_bits") != "-") {
    load_fail(l, "client_max_window_bits in the reply, though not offered");
    return false;
  }
  c.reset_deflater = ext_param(value, "client_no_context_takeover") != "-";
  c.reset_inflater = ext_param(value, "server_no_context_takeover") != "-";
  // The stream is owned once initialised: the deleters end it.
  auto *d = new z_stream{};
  if (deflateInit2(d, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    delete d;
    load_fail(l, "deflateInit2 failed");
    return false;
  }
  c.deflater.reset(d);
  // A 15-bit window inflates whatever window the server chose.
  auto *i = new z_stream{};
  if (inflateInit2(i, -15) != Z_OK) {
    delete i;
    load_fail(l, "inflateInit2 failed");
    return false;
  }
  c.inflater.reset(i);
  return true;
}

// The server's reply to the handshake, |size| bytes up to its blank line.
void conn_handshake_done(load &l, conn &c, const char *head, size_t size) {
  std::string lower(head, size);
  for (char &ch : lower) ch = static_cast<char>(tolower(ch));
  if (lower.compare(0, 13, "http/1.1 101 ") != 0) {
    std::string line(head, std::min(size, lower.find("\r\n")));
    conn_lost(l, c, ("the server answered \"" + line + "\"").c_str());
    return;
  }
  std::string accept = head_value(lower, "sec-websocket-accept:");
  std::string lower_accept(kAccept);
  for (char &ch : lower_accept) ch = static_cast<char>(tolower(ch));
  if (accept != lower_accept) {
    conn_lost(l, c, "a wrong Sec-WebSocket-Accept");
    return;
  }
  std::string ext = head_value(lower, "sec-websocket-extensions:");
  if (l.opt.deflate && !conn_deflate_setup(l, c, ext)) {
    conn_lost(l, c, "no permessage-deflate");
    return;
  }
  if (!l.opt.deflate && !ext.empty()) {
    conn_lost(l, c, "an extension nobody asked for");
    return;
  }
  c.state = conn_state::open;
  l.opening--;
  l.open++;
  load_open_more(l);
}

// ------------------------------------------------------------- reading

// Inflates a compressed message (the flush tail put back) into l.zbuf.
bool inflate_message(load &l, conn &c, const uint8_t *data, size_t size) {
  z_stream *z = c.inflater.get();
  l.zin.resize(size + sizeof kFlushTail);
  if (size != 0) memcpy(l.zin.data(), data, size);
  memcpy(l.zin.data() + size, kFlushTail, sizeof kFlushTail);
  z->next_in = l.zin.data();
  z->avail_in = static_cast<uInt>(l.zin.size());
  l.zbuf.resize(std::max<size_t>(256, size * 4));
  size_t used = 0;
  while (true) {
    if (used == l.zbuf.size()) {
      if (l.zbuf.size() >= kMaxFrame) return false;
      l.zbuf.resize(l.zbuf.size() * 2);
    }
    z->next_out = l.zbuf.data() + used;
    z->avail_out = static_cast<uInt>(l.zbuf.size() - used);
    int rc = inflate(z, Z_SYNC_FLUSH);
    used = l.zbuf.size() - z->avail_out;
    if (rc != Z_OK && rc != Z_BUF_ERROR && rc != Z_STREAM_END) return false;
    if (z->avail_in == 0 && z->avail_out != 0) break;
  }
  l.zbuf.resize(used);
  if (c.reset_inflater) inflateReset(z);
  return true;
}

void echo_heard(load &l, conn &c, const uint8_t *data, size_t size);

// A whole data message: what the mode expects of it.
void conn_message(load &l, conn &c, uint8_t op, const uint8_t *data,
                  size_t size) {
  switch (l.opt.mode) {
    case load_mode::echo:
      echo_heard(l, c, data, size);
      return;
    case load_mode::bcast:
      if (op != 0x1 || size != kMessageSize || c.heard_rep == l.rep) {
        l.errors++;
        return;
      }
      c.heard_rep = l.rep;
      l.heard++;
      l.last_heard_ns = now_ns();
      return;
    case load_mode::idle:
      l.errors++;
      return;
  }
}

void conn_data(load &l, conn &c, uint8_t op, bool compressed,
               const uint8_t *data, size_t size) {
  if (!compressed) {
    conn_message(l, c, op, data, size);
    return;
  }
  l.compressed++;
  if (c.inflater == nullptr || !inflate_message(l, c, data, size)) {
    l.errors++;
    conn_lost(l, c, "a compressed message that does not inflate");
    return;
  }
  // Moved out of l.zbuf: the echo's reply is compressed in it.
  std::vector<uint8_t> message;
  message.swap(l.zbuf);
  conn_message(l, c, op, message.data(), message.size());
  message.swap(l.zbuf);
}

// One whole frame from the server.
void conn_frame(load &l, conn &c, uint8_t b0, const uint8_t *payload,
                size_t size) {
  bool fin = (b0 & 0x80) != 0;
  bool rsv1 = (b0 & 0x40) != 0;
  uint8_t op = b0 & 0x0f;
  switch (op) {
    case 0x1:
    case 0x2:
      if (c.message_op != 0) {
        conn_lost(l, c, "a data frame inside a fragmented message");
      } else if (fin) {
        conn_data(l, c, op, rsv1, payload, size);
      } else {
        c.message_op = op;
        c.message_compressed = rsv1;
        c.message.assign(reinterpret_cast<const char *>(payload), size);
      }
      return;
    case 0x0:
      if (c.message_op == 0) {
        conn_lost(l, c, "a continuation of no message");
        return;
      }
      c.message.append(reinterpret_cast<const char *>(payload), size);
      if (fin) {
        std::string whole;
        whole.swap(c.message);
        uint8_t first = c.message_op;
        c.message_op = 0;
        conn_data(l, c, first, c.message_compressed,
                  reinterpret_cast<const uint8_t *>(whole.data()),
                  whole.size());
      }
      return;
    case 0x8:
      // Answered, then counted as lost: neither server closes on its own
      // during a run.
      conn_send_frame(l, c, 0x88, payload, std::min<size_t>(size, 2));
      conn_lost(l, c, "the server closed it");
      return;
    case 0x9:
      conn_send_frame(l, c, 0x8a, payload, size);
      return;
    case 0xa:
      return;
    default:
      conn_lost(l, c, "an unknown opcode");
      return;
  }
}

// Parses the |n| bytes at |p|; returns how many it used: what is left is
// the start of a frame (or of the handshake's reply).
size_t conn_parse(load &l, conn &c, const uint8_t *p, size_t n) {
  size_t used = 0;
  if (c.state == conn_state::handshake) {
    const char *start = reinterpret_cast<const char *>(p);
    std::string_view view(start, n);
    size_t end = view.find("\r\n\r\n");
    if (end == std::string_view::npos) {
      if (n > kMaxHead) conn_lost(l, c, "a reply head without end");
      return 0;
    }
    conn_handshake_done(l, c, start, end + 2);
    used = end + 4;
  }
  while (c.state == conn_state::open && n - used >= 2) {
    const uint8_t *f = p + used;
    size_t avail = n - used;
    if (f[1] & 0x80) {
      conn_lost(l, c, "a masked frame from the server");
      break;
    }
    uint64_t size = f[1] & 0x7f;
    size_t head = 2;
    if (size == 126) {
      head = 4;
      if (avail < head) break;
      size = (uint64_t{f[2]} << 8) | f[3];
    } else if (size == 127) {
      head = 10;
      if (avail < head) break;
      size = 0;
      for (int i = 0; i < 8; i++) size = (size << 8) | f[2 + i];
    }
    if (size > kMaxFrame) {
      conn_lost(l, c, "a frame too large");
      break;
    }
    if (avail < head + size) break;
    used += head + static_cast<size_t>(size);
    conn_frame(l, c, f[0], f + head, static_cast<size_t>(size));
  }
  return used;
}

void conn_readable(load &l, conn &c) {
  ssize_t n = recv(c.fd, l.scratch.data(), l.scratch.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return;
  }
  if (n <= 0) {
    conn_lost(l, c, n == 0 ? "closed by the server" : strerror(errno));
    return;
  }
  auto len = static_cast<size_t>(n);
  // Most reads hold whole frames: parsed where they lie, without a copy.
  if (c.in.empty()) {
    size_t used = conn_parse(l, c, l.scratch.data(), len);
    if (c.fd >= 0 && used < len) {
      c.in.assign(reinterpret_cast<const char *>(l.scratch.data()) + used,
                  len - used);
    }
    return;
  }
  c.in.append(reinterpret_cast<const char *>(l.scratch.data()), len);
  std::string pending;
  pending.swap(c.in);
  size_t used = conn_parse(
      l, c, reinterpret_cast<const uint8_t *>(pending.data()), pending.size());
  if (c.fd >= 0) c.in.assign(pending, used, std::string::npos);
}

// --------------------------------------------------------------- the loop

void load_event(load &l, const epoll_event &ev) {
  if (ev.data.u64 == kStdinTag || ev.data.u64 == kSignalTag) {
    char buf[256];
    ssize_t n = read(ev.data.u64 == kStdinTag ? STDIN_FILENO : l.sigfd, buf,
                     sizeof buf);
    (void)n;  // a byte, the end of input or a signal: all mean stop
    l.stop = true;
    // Standard input at its end stays readable: watched no more.
    if (ev.data.u64 == kStdinTag) {
      epoll_ctl(l.epfd, EPOLL_CTL_DEL, STDIN_FILENO, nullptr);
    }
    return;
  }
  conn &c = l.conns[ev.data.u64];
  if (c.fd < 0) return;
  if (c.state == conn_state::connecting) {
    conn_connected(l, c);
    return;
  }
  if ((ev.events & EPOLLOUT) != 0) conn_flush(l, c);
  if (c.fd >= 0 && (ev.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
    conn_readable(l, c);
  }
}

// Serves every connection until |done| holds, the run fails, or
// |deadline| (monotonic nanoseconds) passes; returns |done|'s last word.
template <typename Done>
bool load_run_until(load &l, int64_t deadline, Done done) {
  constexpr int batch = 1024;
  static epoll_event events[batch];
  while (l.failure.empty() && !done()) {
    int64_t left = deadline - now_ns();
    if (left <= 0) return false;
    int timeout = static_cast<int>(std::min<int64_t>(left / kMs + 1, 100));
    int n = epoll_wait(l.epfd, events, batch, timeout);
    if (n < 0 && errno != EINTR) {
      load_fail(l, std::string("epoll_wait: ") + strerror(errno));
      break;
    }
    for (int i = 0; i < n; i++) load_event(l, events[i]);
  }
  return l.failure.empty() && done();
}

// Lets |ns| pass while serving the connections (pings, late bytes).
void load_pause(load &l, int64_t ns) {
  load_run_until(l, now_ns() + ns, [] { return false; });
}

// Opens every connection; false (and a line on stderr) when they did not
// all open in time.
bool load_open_all(load &l, double *seconds) {
  int64_t start = now_ns();
  load_open_more(l);
  int64_t deadline = start + static_cast<int64_t>(l.opt.open_timeout * 1e9);
  auto all = [&] { return static_cast<size_t>(l.open) == l.conns.size(); };
  bool ok = load_run_until(l, deadline, all);
  *seconds = static_cast<double>(now_ns() - start) / 1e9;
  if (!ok) {
    fprintf(stderr, "ws_load: %ld of %zu connections open after %.1f s%s%s\n",
            l.open, l.conns.size(), *seconds, l.failure.empty() ? "" : ": ",
            l.failure.c_str());
  }
  return ok;
}

// ---------------------------------------------------------------- modes

void echo_send_next(load &l, conn &c) {
  const std::string &text = l.texts[(c.index * 7 + c.sent) % l.texts.size()];
  c.sent++;
  c.awaiting = true;
  l.sent_total++;
  conn_send_text(l, c, text);
}

void echo_heard(load &l, conn &c, const uint8_t *data, size_t size) {
  if (!c.awaiting) {
    l.errors++;
    return;
  }
  const std::string &text =
      l.texts[(c.index * 7 + c.sent - 1) % l.texts.size()];
  if (size != text.size() || memcmp(data, text.data(), size) != 0) l.errors++;
  c.awaiting = false;
  l.received_total++;
  l.last_echo_ns = now_ns();
  if (l.sending && l.sent_total < static_cast<uint64_t>(l.opt.messages)) {
    echo_send_next(l, c);
  }
}

int run_echo(load &l) {
  double open_s = 0;
  if (!load_open_all(l, &open_s)) return 1;
  int64_t start = now_ns();
  l.sending = true;
  for (conn &c : l.conns) {
    if (c.state == conn_state::open &&
        l.sent_total < static_cast<uint64_t>(l.opt.messages)) {
      echo_send_next(l, c);
    }
  }
  int64_t end = start + static_cast<int64_t>(l.opt.seconds * 1e9);
  auto all_sent = [&] {
    return l.sent_total >= static_cast<uint64_t>(l.opt.messages) &&
           l.received_total == l.sent_total;
  };
  load_run_until(l, end, all_sent);
  l.sending = false;
  auto all_back = [&] { return l.received_total == l.sent_total; };
  load_run_until(l, now_ns() + kEchoDrainNs, all_back);
  if (!l.failure.empty()) {
    fprintf(stderr, "ws_load: %s\n", l.failure.c_str());
    return 1;
  }
  int64_t last = l.received_total > 0 ? l.last_echo_ns : now_ns();
  double secs = static_cast<double>(last - start) / 1e9;
  printf(
      "RESULT mode=echo connections=%zu deflate=%d messages=%llu "
      "seconds=%.3f mps=%.0f unanswered=%llu lost=%ld errors=%llu "
      "compressed=%llu open_s=%.3f\n",
      l.conns.size(), l.opt.deflate ? 1 : 0,
      static_cast<unsigned long long>(l.received_total), secs,
      secs > 0 ? static_cast<double>(l.received_total) / secs : 0.0,
      static_cast<unsigned long long>(l.sent_total - l.received_total), l.lost,
      static_cast<unsigned long long>(l.errors),
      static_cast<unsigned long long>(l.compressed), open_s);
  return 0;
}

// One broadcast: "go" on the first open connection, then the wait for
// every open one to hear it.  Prints its line unless it is a warm-up.
void bcast_once(load &l, long round, long rep, bool measured) {
  load_pause(l, kBroadcastSettleNs);
  conn *sender = nullptr;
  for (conn &c : l.conns) {
    if (c.state == conn_state::open) {
      sender = &c;
      break;
    }
  }
  if (sender == nullptr) {
    load_fail(l, "no connection left open");
    return;
  }
  l.rep = round;
  l.heard = 0;
  l.last_heard_ns = 0;
  uint64_t errors_before = l.errors;
  int64_t server0 = server_cpu_ns(l.opt.pid);
  int64_t client0 = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
  int64_t start = now_ns();
  conn_send_frame(l, *sender, 0x81, "go", 2);
  load_run_until(l, start + kBroadcastWaitNs,
                 [&] { return l.heard >= l.open; });
  int64_t client1 = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
  int64_t last = l.last_heard_ns != 0 ? l.last_heard_ns : now_ns();
  load_pause(l, kBroadcastTailNs);
  int64_t server1 = server_cpu_ns(l.opt.pid);
  if (!measured) return;
  double server_ms = server0 >= 0 && server1 >= 0
                         ? static_cast<double>(server1 - server0) / 1e6
                         : -1;
  printf(
      "RESULT mode=bcast rep=%ld connections=%ld received=%ld last_ms=%.3f "
      "server_cpu_ms=%.3f client_cpu_ms=%.3f lost=%ld errors=%llu\n",
      rep, l.open, l.heard, static_cast<double>(last - start) / 1e6, server_ms,
      static_cast<double>(client1 - client0) / 1e6, l.lost,
      static_cast<unsigned long long>(l.errors - errors_before));
  fflush(stdout);
}

int run_bcast(load &l) {
  double open_s = 0;
  if (!load_open_all(l, &open_s)) return 1;
  printf("OPEN connections=%ld open_s=%.3f\n", l.open, open_s);
  fflush(stdout);
  for (long i = 0; i < l.opt.warmup + l.opt.repeat && l.failure.empty(); i++) {
    bool measured = i >= l.opt.warmup;
    bcast_once(l, i, i - l.opt.warmup + 1, measured);
  }
  if (!l.failure.empty()) {
    fprintf(stderr, "ws_load: %s\n", l.failure.c_str());
    return 1;
  }
  return 0;
}

// Watches standard input and SIGTERM/SIGINT in the loop: either ends the
// hold.
bool idle_watch(load &l) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  l.sigfd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kSignalTag;
  if (l.sigfd < 0 || epoll_ctl(l.epfd, EPOLL_CTL_ADD, l.sigfd, &ev) != 0) {
    return false;
  }
  ev.data.u64 = kStdinTag;
  if (epoll_ctl(l.epfd, EPOLL_CTL_ADD, STDIN_FILENO, &ev) != 0) {
    fprintf(stderr,
            "ws_load: idle waits on standard input: give it a pipe or a "
            "terminal (%s)\n",
            strerror(errno));
    return false;
  }
  return true;
}

int run_idle(load &l) {
  if (!idle_watch(l)) return 1;
  double open_s = 0;
  if (!load_open_all(l, &open_s)) return 1;
  printf("OPEN connections=%ld open_s=%.3f\n", l.open, open_s);
  fflush(stdout);
  int64_t held = now_ns();
  load_run_until(l, held + static_cast<int64_t>(l.opt.hold * 1e9),
                 [&] { return l.stop; });
  printf(
      "RESULT mode=idle connections=%zu open=%ld held_s=%.1f lost=%ld "
      "errors=%llu\n",
      l.conns.size(), l.open, static_cast<double>(now_ns() - held) / 1e9,
      l.lost, static_cast<unsigned long long>(l.errors));
  return l.failure.empty() ? 0 : 1;
}

// ---------------------------------------------------------------- setup

// Raises the descriptor limit to what |connections| need.
bool load_raise_nofile(long connections) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  auto need = static_cast<rlim_t>(connections + 32);
  if (lim.rlim_cur >= need) return true;
  rlimit want = lim;
  want.rlim_cur = need;
  if (want.rlim_max < need) want.rlim_max = need;  // root only
  if (setrlimit(RLIMIT_NOFILE, &want) == 0) return true;
  fprintf(stderr,
          "ws_load: %ld connections need %llu descriptors, and the limit is "
          "%llu (hard %llu): raise it (ulimit -n, limits.conf)\n",
          connections, static_cast<unsigned long long>(need),
          static_cast<unsigned long long>(lim.rlim_cur),
          static_cast<unsigned long long>(lim.rlim_max));
  return false;
}

bool parse_number(const char *text, double min, double max, double *out) {
  char *end = nullptr;
  errno = 0;
  double v = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) {
    return false;
  }
  *out = v;
  return true;
}

void usage() {
  fprintf(stderr,
          "usage: ws_load echo|bcast|idle --port PORT [--path PATH]\n"
          "  [--connections N] [--seconds S] [--messages N] [--deflate]\n"
          "  [--repeat R] [--warmup W] [--pid SERVER_PID]\n"
          "  [--open-timeout S] [--open-at-once N] [--hold S]\n");
}

bool parse_options(int argc, char *argv[], load_options &o) {
  if (argc < 2) return false;
  std::string mode = argv[1];
  if (mode == "echo") {
    o.mode = load_mode::echo;
  } else if (mode == "bcast") {
    o.mode = load_mode::bcast;
  } else if (mode == "idle") {
    o.mode = load_mode::idle;
  } else {
    return false;
  }
  static const option longs[] = {
      {"port", required_argument, nullptr, 'p'},
      {"path", required_argument, nullptr, 'P'},
      {"connections", required_argument, nullptr, 'c'},
      {"seconds", required_argument, nullptr, 's'},
      {"messages", required_argument, nullptr, 'n'},
      {"deflate", no_argument, nullptr, 'd'},
      {"repeat", required_argument, nullptr, 'r'},
      {"warmup", required_argument, nullptr, 'w'},
      {"pid", required_argument, nullptr, 'i'},
      {"open-timeout", required_argument, nullptr, 'o'},
      {"hold", required_argument, nullptr, 'h'},
      {"open-at-once", required_argument, nullptr, 'a'},
      {nullptr, 0, nullptr, 0},
  };
  optind = 2;
  for (;;) {
    int ch = getopt_long(argc, argv, "c:", longs, nullptr);
    if (ch == -1) break;
    double v = 0;
    switch (ch) {
      case 'p':
        if (!parse_number(optarg, 1, 65535, &v)) return false;
        o.port = static_cast<uint16_t>(v);
        break;
      case 'P':
        if (optarg[0] != '/') return false;
        o.path = optarg;
        break;
      case 'c':
        if (!parse_number(optarg, 1, 1000000, &v)) return false;
        o.connections = static_cast<long>(v);
        break;
      case 's':
        if (!parse_number(optarg, 0.001, 3600, &o.seconds)) return false;
        break;
      case 'n':
        if (!parse_number(optarg, 1, 1e12, &v)) return false;
        o.messages = static_cast<long>(v);
        break;
      case 'd':
        o.deflate = true;
        break;
      case 'r':
        if (!parse_number(optarg, 1, 1000, &v)) return false;
        o.repeat = static_cast<long>(v);
        break;
      case 'w':
        if (!parse_number(optarg, 0, 1000, &v)) return false;
        o.warmup = static_cast<long>(v);
        break;
      case 'i':
        if (!parse_number(optarg, 1, 1e9, &v)) return false;
        o.pid = static_cast<pid_t>(v);
        break;
      case 'o':
        if (!parse_number(optarg, 0.1, 3600, &o.open_timeout)) return false;
        break;
      case 'h':
        if (!parse_number(optarg, 0.1, 86400, &o.hold)) return false;
        break;
      case 'a':
        if (!parse_number(optarg, 1, 100000, &v)) return false;
        o.open_at_once = static_cast<long>(v);
        break;
      default:
        return false;
    }
  }
  if (optind != argc || o.port == 0) return false;
  if (o.path.empty()) o.path = o.mode == load_mode::bcast ? "/bcast" : "/echo";
  if (o.connections == 0)
    o.connections = o.mode == load_mode::echo ? 100 : 10000;
  return true;
}

void load_setup(load &l) {
  l.addr.sin_family = AF_INET;
  l.addr.sin_port = htons(l.opt.port);
  l.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  l.request = "GET " + l.opt.path +
              " HTTP/1.1\r\n"
              "Host: 127.0.0.1:" +
              std::to_string(l.opt.port) +
              "\r\n"
              "Upgrade: websocket\r\n"
              "Connection: Upgrade\r\n"
              "Sec-WebSocket-Key: " +
              kKey +
              "\r\n"
              "Sec-WebSocket-Version: 13\r\n";
  if (l.opt.deflate) {
    l.request += "Sec-WebSocket-Extensions: permessage-deflate\r\n";
  }
  l.request += "\r\n";
  l.conns.resize(static_cast<size_t>(l.opt.connections));
  for (size_t i = 0; i < l.conns.size(); i++) l.conns[i].index = i;
  l.texts = echo_texts();
  l.scratch.resize(64 * 1024);
}

}  // namespace

int main(int argc, char *argv[]) {
  load l;
  if (!parse_options(argc, argv, l.opt)) {
    usage();
    return 2;
  }
  if (!load_raise_nofile(l.opt.connections)) return 1;
  l.epfd = epoll_create1(EPOLL_CLOEXEC);
  if (l.epfd < 0) {
    perror("ws_load: epoll_create1");
    return 1;
  }
  load_setup(l);
  int rc = 1;
  switch (l.opt.mode) {
    case load_mode::echo:
      rc = run_echo(l);
      break;
    case load_mode::bcast:
      rc = run_bcast(l);
      break;
    case load_mode::idle:
      rc = run_idle(l);
      break;
  }
  for (conn &c : l.conns) conn_close(l, c);
  close(l.epfd);
  if (l.sigfd >= 0) close(l.sigfd);
  return rc;
}
