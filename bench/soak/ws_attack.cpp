// soak_ws: WebSocket clients against the soak server's /ws on 127.0.0.1,
// for bench/soak/run.  One thread polls every connection:
//   idle      hold a connection and read what comes (the room's
//             broadcasts); the "pong" half answer the server's pings, so
//             they stay, the "mute" half never do, so that the server
//             closes them after its idle timeout (--idle-timeout, counted
//             as overdue when one is still open 3 s past it); each comes
//             back a second after the server closes it;
//   chatty    send small messages, text and binary, each awaited as an
//             echo and checked byte for byte, with a pause between them,
//             and now and then "all", which the server sends to every
//             connection; two of three offer permessage-deflate (one of
//             them without context takeover) and then send half their
//             messages compressed;
//   slow      send a 16 KiB message every --slow-ms, "all" every 40th,
//             and read nothing after the handshake: the echoes and the
//             broadcasts fill the server's queue for them, and the server
//             closes them (1008 in its count; no close frame reaches a
//             client that does not read); each comes back a second later;
//   cut       send the header and half the payload of a frame (compressed
//             where deflate was agreed), then close, in turn with a FIN
//             and with a reset, and connect again;
//   oversize  send a message over the server's 64 KiB limit, in turn one
//             frame, five fragments of 16 KiB, and a compressed message
//             that inflates to 1 MiB, then wait for the close frame, which
//             must say 1009, and connect again a second later.
// Everything stops after --seconds, and no connection is opened past
// --max-connects.  Prints a summary and one "RESULT key=value ..." line.
//
// Usage: soak_ws --port PORT [--seconds 60] [--idle 500] [--chatty 50]
//   [--slow 20] [--cut 20] [--oversize 4] [--slow-ms 50]
//   [--idle-timeout 5] [--max-connects 200000] [--seed 1]
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct ws_options {
  uint16_t port = 0;
  long seconds = 60;
  long idle = 500;
  long chatty = 50;
  long slow = 20;
  long cut = 20;
  long oversize = 4;
  long slow_ms = 50;
  long idle_timeout = 5;
  long max_connects = 200000;
  long seed = 1;
};

// Clients connect over this long at the start, as the attack tool's do.
constexpr int64_t kRampMs = 2000;
// A client the server closed is back after this long (plus up to a
// quarter second, so that they spread).
constexpr int64_t kRetryMs = 1000;
// The connect and the 101, an echo, the close of an oversize message: each
// is due within this long, on a machine that the rest of the soak keeps
// busy.
constexpr int64_t kReplyTimeoutMs = 10000;
// A mute client still open this long past the idle timeout is overdue: the
// server looks at its connections once a second.
constexpr int64_t kOverdueSlackMs = 3000;
// The soak server's message limit (soak_server.cpp).
constexpr size_t kMessageMax = 64 * 1024;
constexpr size_t kSlowMessage = 16 * 1024;
// "all" goes to every connection, some 600 of them: sent by the slow and
// the chatty clients together some 15 times a second, it keeps the room
// busy without taking the machine from the normal load.
constexpr long kSlowAllEvery = 40;
constexpr int kChattyAllOneIn = 50;
constexpr int64_t kChattyPauseMaxMs = 250;
// No message of the soak server comes near this; more unread input than
// this is a stream gone wrong.
constexpr size_t kMaxInput = 1 << 20;
constexpr size_t kBombSize = 1 << 20;
constexpr char kFlushTail[] = "\x00\x00\xff\xff";
constexpr char kHandshake[] =
    "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
    "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\n";

enum class ws_role { pong, mute, chatty, slow, cut, oversize };
constexpr int kRoles = 6;
constexpr const char *kRoleNames[kRoles] = {"pong", "mute", "chatty",
                                            "slow", "cut",  "oversize"};

enum class ws_state { waiting, connecting, handshake, open, done };

// Opcodes, and the first byte's flags.
constexpr uint8_t kOpCont = 0x0, kOpText = 0x1, kOpBinary = 0x2, kOpClose = 0x8,
                  kOpPing = 0x9, kOpPong = 0xA;
constexpr uint8_t kFin = 0x80, kRsv1 = 0x40;

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
using deflater_ptr = std::unique_ptr<z_stream, deflate_end>;
using inflater_ptr = std::unique_ptr<z_stream, inflate_end>;

struct ws_conn {
  ws_role role = ws_role::pong;
  int index = 0;
  ws_state state = ws_state::waiting;
  int fd = -1;
  int64_t next_ms = 0;      // waiting: when to connect; open: the next send
                            // (chatty, slow) or the cut
  int64_t opened_ms = 0;    // when the 101 came, or 0
  int64_t deadline_ms = 0;  // the 101, an echo or a close is due; 0: none
  std::string out;          // bytes to send
  size_t sent = 0;          // ...of which sent
  std::string in;           // read, not yet parsed
  bool deflate = false;     // permessage-deflate agreed
  bool client_no_context = false;
  deflater_ptr deflater;  // made on the first message compressed
  inflater_ptr inflater;  // made on the first compressed message read
  std::string expect;     // chatty: the echo awaited ("": none)
  uint8_t expect_op = 0;
  unsigned int turn = 0;  // messages, cuts or oversize messages so far
  bool overdue = false;   // mute: counted overdue once
};

// Counts of one role.
struct role_counts {
  long connects = 0;
  long connect_failures = 0;    // refused, reset or timed out before a 101
  long handshake_failures = 0;  // another status than 101
  long opened = 0;
  long closed_by_server = 0;        // ends the client did not ask for
  std::map<int, long> close_codes;  // close frames received, by code
  int64_t closed_sum_ms = 0;        // how long those connections were open
  int64_t longest_ms = 0;           // the longest one connection was open
  long held_samples = 0;            // connections open, once a second after
  double held_sum = 0;              // the ramp
  long held_min = LONG_MAX;
  long pings = 0;
  long broadcasts = 0;  // "all" messages received
  long sent = 0;        // messages sent
  uint64_t bytes_sent = 0;
  long compressed_sent = 0;
  long compressed_received = 0;
  long echoes = 0;      // chatty: echoes as sent
  long mismatched = 0;  // ...other messages than the one awaited
  long timeouts = 0;    // ...echoes not come in time
  long unfinished = 0;  // ...awaited when the run stopped
  long bad_frames = 0;  // frames a server may not send
  std::string first_mismatch;
  long cuts = 0;
  long too_big = 0;      // oversize: closed with 1009
  long wrong_close = 0;  // ...with another code
  long no_close = 0;     // ...without a close frame, or none came
  long overdue = 0;      // mute: open past the idle timeout
};

struct ws_attack {
  ws_options opt;
  sockaddr_in addr{};
  int64_t start_ms = 0;
  int64_t end_ms = 0;
  long connects = 0;
  bool connects_exhausted = false;
  // The longest the loop kept a connection waiting beyond its timers: a
  // turn's work, or a poll that came back late (the machine is busy).
  // What the clients time (the mute ones' closes, say) is that much less
  // exact.
  int64_t lag_ms = 0;
  std::mt19937 rng;
  std::string noise;  // kSlowMessage random bytes, made once
  std::vector<ws_conn> conns;
  role_counts counts[kRoles];
};

int64_t now_ms() {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
      .count();
}

int64_t jitter(ws_attack &a, int64_t max_ms) {
  return std::uniform_int_distribution<int64_t>(0, max_ms)(a.rng);
}

role_counts &counts_of(ws_attack &a, const ws_conn &c) {
  return a.counts[static_cast<int>(c.role)];
}

// ---------------------------------------------------------------- frames

// Appends a masked client frame with first byte |first| and |payload|.
void frame_append(ws_attack &a, std::string &out, uint8_t first,
                  std::string_view payload) {
  size_t size = payload.size();
  out += static_cast<char>(first);
  if (size < 126) {
    out += static_cast<char>(0x80 | size);
  } else if (size <= 0xffff) {
    out += static_cast<char>(0x80 | 126);
    out += static_cast<char>(size >> 8);
    out += static_cast<char>(size & 0xff);
  } else {
    out += static_cast<char>(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8) {
      out += static_cast<char>((static_cast<uint64_t>(size) >> shift) & 0xff);
    }
  }
  uint32_t key = a.rng();
  char mask[4];
  memcpy(mask, &key, sizeof mask);
  out.append(mask, sizeof mask);
  size_t at = out.size();
  out.append(payload);
  for (size_t i = 0; i < size; i++) out[at + i] ^= mask[i % 4];
}

// Takes the next whole server frame off |in| from |*pos|: 1 when one was
// found (|*first| and |*payload| set), 0 while it is incomplete, -1 when it
// is masked or longer than any the server sends.
int frame_next(const std::string &in, size_t *pos, uint8_t *first,
               std::string_view *payload) {
  size_t left = in.size() - *pos;
  if (left < 2) return 0;
  auto byte = [&](size_t i) { return static_cast<uint8_t>(in[*pos + i]); };
  if ((byte(1) & 0x80) != 0) return -1;
  uint64_t size = byte(1) & 0x7f;
  size_t head = 2;
  if (size == 126) {
    head = 4;
    if (left < head) return 0;
    size = (static_cast<uint64_t>(byte(2)) << 8) | byte(3);
  } else if (size == 127) {
    head = 10;
    if (left < head) return 0;
    size = 0;
    for (size_t i = 2; i < 10; i++) size = (size << 8) | byte(i);
  }
  if (size > kMaxInput) return -1;
  if (left < head + size) return 0;
  *first = byte(0);
  *payload = std::string_view(in).substr(*pos + head, size);
  *pos += head + static_cast<size_t>(size);
  return 1;
}

// A permessage-deflate payload of |msg| into |out|: the flush's empty block
// taken off its end.  Without context takeover the deflater starts afresh
// after each message, as the client promised.
bool deflate_message(ws_conn &c, std::string_view msg, std::string &out) {
  if (!c.deflater) {
    auto *fresh = new z_stream{};
    if (deflateInit2(fresh, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      delete fresh;  // nothing to end: it never started
      return false;
    }
    c.deflater.reset(fresh);
  }
  z_stream *z = c.deflater.get();
  z->next_in = reinterpret_cast<Bytef *>(const_cast<char *>(msg.data()));
  z->avail_in = static_cast<uInt>(msg.size());
  out.clear();
  do {
    size_t at = out.size();
    out.resize(at + 4096 + msg.size() / 2);
    z->next_out = reinterpret_cast<Bytef *>(&out[at]);
    z->avail_out = static_cast<uInt>(out.size() - at);
    if (deflate(z, Z_SYNC_FLUSH) == Z_STREAM_ERROR) return false;
    out.resize(out.size() - z->avail_out);
  } while (z->avail_out == 0 || z->avail_in != 0);
  if (out.size() < 4 || out.compare(out.size() - 4, 4, kFlushTail, 4) != 0) {
    return false;
  }
  out.resize(out.size() - 4);
  if (c.client_no_context) deflateReset(z);
  return true;
}

// The message of the compressed |payload| into |out|; false when it does
// not inflate, or inflates past kMaxInput.
bool inflate_message(ws_conn &c, std::string_view payload, std::string &out) {
  if (!c.inflater) {
    auto *fresh = new z_stream{};
    if (inflateInit2(fresh, -15) != Z_OK) {
      delete fresh;
      return false;
    }
    c.inflater.reset(fresh);
  }
  std::string in(payload);
  in.append(kFlushTail, 4);
  z_stream *z = c.inflater.get();
  z->next_in = reinterpret_cast<Bytef *>(in.data());
  z->avail_in = static_cast<uInt>(in.size());
  out.clear();
  for (;;) {
    size_t at = out.size();
    if (at >= kMaxInput) return false;
    out.resize(at + 16384);
    z->next_out = reinterpret_cast<Bytef *>(&out[at]);
    z->avail_out = 16384;
    int rc = inflate(z, Z_SYNC_FLUSH);
    out.resize(out.size() - z->avail_out);
    if (rc == Z_STREAM_END) inflateReset(z);
    if (rc != Z_OK && rc != Z_BUF_ERROR && rc != Z_STREAM_END) return false;
    if (z->avail_in == 0 && z->avail_out != 0) return true;
  }
}

// ----------------------------------------------------------- connections

void conn_end(ws_attack &a, ws_conn &c, int64_t now, int64_t retry_ms) {
  if (c.opened_ms > 0) {
    role_counts &k = counts_of(a, c);
    k.longest_ms = std::max(k.longest_ms, now - c.opened_ms);
  }
  if (c.fd >= 0) close(c.fd);
  c.fd = -1;
  c.opened_ms = 0;
  c.deadline_ms = 0;
  c.out.clear();
  c.sent = 0;
  c.in.clear();
  c.deflate = c.client_no_context = false;
  c.deflater.reset();
  c.inflater.reset();
  c.expect.clear();
  c.overdue = false;
  c.state = ws_state::waiting;
  c.next_ms = now + retry_ms;
}

void conn_retry(ws_attack &a, ws_conn &c, int64_t now) {
  conn_end(a, c, now, kRetryMs + jitter(a, 250));
}

void conn_connect_failed(ws_attack &a, ws_conn &c, int64_t now) {
  counts_of(a, c).connect_failures++;
  conn_retry(a, c, now);
}

// What each role offers of permessage-deflate.
const char *conn_offer(const ws_conn &c) {
  switch (c.role) {
    case ws_role::chatty:
      if (c.index % 3 == 1) {
        return "permessage-deflate; client_max_window_bits";
      }
      if (c.index % 3 == 2) {
        return "permessage-deflate; client_no_context_takeover; "
               "server_no_context_takeover";
      }
      return nullptr;
    case ws_role::slow:
    case ws_role::cut:
      return c.index % 2 == 0 ? "permessage-deflate" : nullptr;
    case ws_role::oversize:
      return "permessage-deflate";
    default:
      return nullptr;
  }
}

void conn_start(ws_attack &a, ws_conn &c, int64_t now) {
  if (a.connects >= a.opt.max_connects) {
    a.connects_exhausted = true;
    c.state = ws_state::done;
    return;
  }
  a.connects++;
  counts_of(a, c).connects++;
  c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (c.fd < 0) {
    conn_connect_failed(a, c, now);
    return;
  }
  int one = 1;
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (c.role == ws_role::slow) {
    // Before connect(), as the slow readers of the attack tool: a small
    // window keeps what the client does not read on the server's side.
    int size = 4096;
    setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }
  int rc = connect(c.fd, reinterpret_cast<const sockaddr *>(&a.addr),
                   sizeof(a.addr));
  if (rc != 0 && errno != EINPROGRESS) {
    conn_connect_failed(a, c, now);
    return;
  }
  // Each client names its role: the server times the mute ones' closes.
  c.out = kHandshake;
  c.out += "X-Soak-Client: ";
  c.out += kRoleNames[static_cast<int>(c.role)];
  c.out += "\r\n";
  if (const char *offer = conn_offer(c)) {
    c.out += "Sec-WebSocket-Extensions: ";
    c.out += offer;
    c.out += "\r\n";
  }
  c.out += "\r\n";
  c.sent = 0;
  c.state = ws_state::connecting;
  c.deadline_ms = now + kReplyTimeoutMs;
}

// Sends what |c.out| holds while the socket takes it.  When the socket
// fails, what was to go is dropped and the connection stays as it is: the
// next poll reports the end, after what the server sent before it (a close
// frame, say), which a read then finds.
void conn_flush(ws_conn &c) {
  while (c.sent < c.out.size()) {
    ssize_t n =
        send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n > 0) {
      c.sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  c.out.clear();
  c.sent = 0;
}

// Queues a message of |op| and sends what it can; compressed when |zip|
// and deflate was agreed.
void conn_send(ws_attack &a, ws_conn &c, uint8_t op, std::string_view msg,
               bool zip) {
  role_counts &k = counts_of(a, c);
  std::string packed;
  uint8_t first = kFin | op;
  if (zip && c.deflate && deflate_message(c, msg, packed)) {
    first |= kRsv1;
    msg = packed;
    k.compressed_sent++;
  }
  frame_append(a, c.out, first, msg);
  k.sent++;
  k.bytes_sent += msg.size();
  conn_flush(c);
}

// ------------------------------------------------------------- the roles

// A chatty client's next message: "all" now and then, else text of words
// (so that it compresses) or random bytes, 8 to 1500 of them.
void chatty_next(ws_attack &a, ws_conn &c, int64_t now) {
  bool zip = (a.rng() & 1) != 0;
  if (std::uniform_int_distribution<int>(1, kChattyAllOneIn)(a.rng) == 1) {
    conn_send(a, c, kOpText, "all", zip);
    c.next_ms = now + jitter(a, kChattyPauseMaxMs);
    return;
  }
  static const char *const words[] = {"soak ",    "echo ",  "room ",
                                      "deflate ", "frame ", "queue "};
  size_t size = std::uniform_int_distribution<size_t>(8, 1500)(a.rng);
  bool text = a.rng() % 10 < 7;
  // Its number first, so that an echo of another message cannot pass.
  std::string msg = "c";
  msg += std::to_string(c.index);
  msg += '.';
  msg += std::to_string(c.turn++);
  msg += ' ';
  while (msg.size() < size) {
    if (text) {
      msg += words[a.rng() % 6];
    } else {
      msg += static_cast<char>(a.rng() & 0xff);
    }
  }
  msg.resize(size);
  c.expect = msg;
  c.expect_op = text ? kOpText : kOpBinary;
  c.deadline_ms = now + kReplyTimeoutMs;
  conn_send(a, c, c.expect_op, msg, zip);
}

// The first bytes of |msg|, each unprintable one as a dot, for the report.
std::string msg_start(std::string_view msg) {
  std::string text(msg.substr(0, 24));
  for (char &ch : text) {
    if (ch < 0x20 || ch > 0x7e || ch == '"') ch = '.';
  }
  return text;
}

// A message that is not the awaited echo, or an echo with none awaited.
void chatty_mismatch(ws_attack &a, ws_conn &c, std::string_view msg,
                     int64_t now) {
  role_counts &k = counts_of(a, c);
  if (k.mismatched++ == 0) {
    k.first_mismatch = "awaited " + std::to_string(c.expect.size()) +
                       " bytes \"" + msg_start(c.expect) + "\", got " +
                       std::to_string(msg.size()) + " bytes \"" +
                       msg_start(msg) + "\"";
  }
  c.expect.clear();
  c.deadline_ms = 0;
  c.next_ms = now + jitter(a, kChattyPauseMaxMs);
}

void chatty_message(ws_attack &a, ws_conn &c, uint8_t op, std::string_view msg,
                    bool compressed, int64_t now) {
  if (c.expect.empty() || op != c.expect_op || msg != c.expect) {
    chatty_mismatch(a, c, msg, now);
    return;
  }
  role_counts &k = counts_of(a, c);
  k.echoes++;
  if (compressed) k.compressed_received++;
  c.expect.clear();
  c.deadline_ms = 0;
  c.next_ms = now + jitter(a, kChattyPauseMaxMs);
}

void slow_next(ws_attack &a, ws_conn &c, int64_t now) {
  // A message still going out waits: the client must not grow without end.
  if (c.out.empty()) {
    if (c.turn++ % kSlowAllEvery == 0) {
      conn_send(a, c, kOpText, "all", false);
    } else {
      conn_send(a, c, kOpBinary, a.noise, false);
    }
  }
  c.next_ms = now + a.opt.slow_ms;
}

// Half a frame, then the end: a FIN one time, a reset the next.  Where
// deflate was agreed the frame is compressed, so that the server is cut
// off inside a message it is inflating.
void cut_now(ws_attack &a, ws_conn &c, int64_t now) {
  size_t size = std::uniform_int_distribution<size_t>(2000, 16000)(a.rng);
  std::string_view msg = std::string_view(a.noise).substr(0, size);
  std::string packed;
  uint8_t first = kFin | kOpBinary;
  if (c.deflate && deflate_message(c, msg, packed)) {
    first |= kRsv1;
    msg = packed;
  }
  std::string frame;
  frame_append(a, frame, first, msg);
  frame.resize(frame.size() - msg.size() / 2);
  ssize_t n = send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL);
  (void)n;  // whatever went, the connection ends here
  if (c.turn++ % 2 == 1) {
    linger reset{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  }
  counts_of(a, c).cuts++;
  conn_end(a, c, now, 500 + jitter(a, 500));
}

// One message over the limit, in one of three shapes, on a new connection;
// its close is due from now.
void oversize_send(ws_attack &a, ws_conn &c, int64_t now) {
  c.deadline_ms = now + kReplyTimeoutMs;
  unsigned int shape = c.turn++ % 3;
  if (shape == 2 && c.deflate) {
    // About 1 KiB on the wire that inflates to 1 MiB: the limit is on the
    // inflated message.
    conn_send(a, c, kOpBinary, std::string(kBombSize, '\0'), true);
  } else if (shape == 1) {
    std::string piece(16 * 1024, 'f');
    frame_append(a, c.out, kOpText, piece);
    for (int i = 0; i < 3; i++) frame_append(a, c.out, kOpCont, piece);
    frame_append(a, c.out, kFin | kOpCont, piece);
    counts_of(a, c).sent++;
    conn_flush(c);
  } else {
    conn_send(a, c, kOpBinary, std::string(kMessageMax + 1024, 'o'), false);
  }
}

// The 101 came: each role starts its work.
void conn_opened(ws_attack &a, ws_conn &c, int64_t now) {
  counts_of(a, c).opened++;
  c.state = ws_state::open;
  c.opened_ms = now;
  c.deadline_ms = 0;
  switch (c.role) {
    case ws_role::chatty:
    case ws_role::slow:
      c.next_ms = now;
      break;
    case ws_role::cut:
      c.next_ms = now + 50 + jitter(a, 150);
      break;
    case ws_role::oversize:
      oversize_send(a, c, now);
      break;
    default:
      break;
  }
}

// The end of a connection the client did not ask for: the server closed
// it, with a close frame (|code|) or without (0).  An oversize message has
// one right answer, the close with 1009.
void conn_closed_by_server(ws_attack &a, ws_conn &c, int64_t now, int code) {
  role_counts &k = counts_of(a, c);
  k.closed_by_server++;
  if (c.opened_ms > 0) k.closed_sum_ms += now - c.opened_ms;
  if (c.role == ws_role::oversize) {
    if (code == 1009) {
      k.too_big++;
    } else if (code != 0) {
      k.wrong_close++;
    } else {
      k.no_close++;
    }
  }
  conn_retry(a, c, now);
}

void conn_lost(ws_attack &a, ws_conn &c, int64_t now) {
  if (c.state == ws_state::connecting || c.state == ws_state::handshake) {
    conn_connect_failed(a, c, now);
    return;
  }
  conn_closed_by_server(a, c, now, 0);
}

void conn_message(ws_attack &a, ws_conn &c, uint8_t first,
                  std::string_view payload, int64_t now) {
  role_counts &k = counts_of(a, c);
  uint8_t op = first & 0x0f;
  bool compressed = (first & kRsv1) != 0;
  std::string inflated;
  if (compressed) {
    if (!c.deflate || !inflate_message(c, payload, inflated)) {
      k.bad_frames++;
      conn_retry(a, c, now);
      return;
    }
    payload = inflated;
  }
  if (op == kOpText && payload == "all") {
    k.broadcasts++;
    return;
  }
  if (c.role == ws_role::chatty) {
    chatty_message(a, c, op, payload, compressed, now);
  }
}

// Handles one frame; false once the connection is gone.
bool conn_frame(ws_attack &a, ws_conn &c, uint8_t first,
                std::string_view payload, int64_t now) {
  role_counts &k = counts_of(a, c);
  uint8_t op = first & 0x0f;
  switch (op) {
    case kOpPing:
      k.pings++;
      if (c.role != ws_role::mute) {
        frame_append(a, c.out, kFin | kOpPong, payload);
        conn_flush(c);
      }
      break;
    case kOpPong:
      break;
    case kOpClose: {
      int code = payload.size() >= 2 ? (static_cast<uint8_t>(payload[0]) << 8) |
                                           static_cast<uint8_t>(payload[1])
                                     : 1005;
      k.close_codes[code]++;
      conn_closed_by_server(a, c, now, code);
      return false;
    }
    case kOpText:
    case kOpBinary:
      // The soak server sends each message in one frame.
      if ((first & kFin) != 0) {
        conn_message(a, c, first, payload, now);
        break;
      }
      [[fallthrough]];
    default:
      k.bad_frames++;
      conn_retry(a, c, now);
      return false;
  }
  return c.fd >= 0;
}

// The head of the reply to the handshake, once whole: 101 opens, anything
// else fails.  What follows the head is frames.
void conn_handshake(ws_attack &a, ws_conn &c, int64_t now) {
  size_t end = c.in.find("\r\n\r\n");
  if (end == std::string::npos) return;
  if (c.in.compare(0, 13, "HTTP/1.1 101 ") != 0) {
    counts_of(a, c).handshake_failures++;
    conn_retry(a, c, now);
    return;
  }
  std::string head = c.in.substr(0, end + 2);
  c.in.erase(0, end + 4);
  for (char &ch : head) ch = static_cast<char>(tolower(ch));
  size_t ext = head.find("\r\nsec-websocket-extensions:");
  if (ext != std::string::npos) {
    std::string value = head.substr(ext, head.find("\r\n", ext + 2) - ext);
    c.deflate = value.find("permessage-deflate") != std::string::npos;
    c.client_no_context =
        value.find("client_no_context_takeover") != std::string::npos;
  }
  conn_opened(a, c, now);
}

void conn_frames(ws_attack &a, ws_conn &c, int64_t now) {
  size_t pos = 0;
  for (;;) {
    uint8_t first = 0;
    std::string_view payload;
    int found = frame_next(c.in, &pos, &first, &payload);
    if (found == 0) break;
    if (found < 0) {
      counts_of(a, c).bad_frames++;
      conn_retry(a, c, now);
      return;
    }
    if (!conn_frame(a, c, first, payload, now)) return;
  }
  c.in.erase(0, pos);
}

// Reads what came; a slow client reads only the reply to its handshake.
void conn_read(ws_attack &a, ws_conn &c, int64_t now) {
  char buf[65536];
  bool ended = false;
  for (;;) {
    ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
    if (n > 0) {
      c.in.append(buf, static_cast<size_t>(n));
      if (c.in.size() > kMaxInput + 16) break;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0 && errno == EINTR) continue;
    ended = true;
    break;
  }
  // Frames first: a close frame may have come just before the end.
  if (c.state == ws_state::handshake) conn_handshake(a, c, now);
  if (c.fd >= 0 && c.state == ws_state::open && c.role != ws_role::slow) {
    conn_frames(a, c, now);
  }
  if (c.fd >= 0 && ended) conn_lost(a, c, now);
}

void conn_connected(ws_attack &a, ws_conn &c, int64_t now) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
    conn_connect_failed(a, c, now);
    return;
  }
  c.state = ws_state::handshake;
  conn_flush(c);
}

// What a connection waits for, as poll events: a slow client, once open,
// waits for nothing but room to send (a reset shows all the same).
short conn_events(const ws_conn &c) {
  if (c.state == ws_state::connecting) return POLLOUT;
  short events = c.out.empty() ? 0 : POLLOUT;
  if (c.role != ws_role::slow || c.state != ws_state::open) events |= POLLIN;
  return events;
}

// The timers of an open connection: sends, cuts, deadlines, overdue mute
// clients.
void conn_timers(ws_attack &a, ws_conn &c, int64_t now) {
  role_counts &k = counts_of(a, c);
  if (c.deadline_ms != 0 && now >= c.deadline_ms) {
    if (c.state != ws_state::open) {
      conn_connect_failed(a, c, now);
    } else if (c.role == ws_role::chatty) {
      k.timeouts++;
      conn_retry(a, c, now);
    } else {
      k.no_close++;  // an oversize message left unanswered
      conn_retry(a, c, now);
    }
    return;
  }
  if (c.state != ws_state::open) return;
  if (c.role == ws_role::mute && !c.overdue &&
      now - c.opened_ms > a.opt.idle_timeout * 1000 + kOverdueSlackMs) {
    c.overdue = true;
    k.overdue++;
  }
  if (now < c.next_ms) return;
  if (c.role == ws_role::chatty && c.expect.empty()) chatty_next(a, c, now);
  if (c.role == ws_role::slow) slow_next(a, c, now);
  if (c.role == ws_role::cut) cut_now(a, c, now);
}

// The next time |c| needs the loop without an event, or INT64_MAX.
int64_t conn_wake(const ws_conn &c) {
  int64_t wake = c.deadline_ms != 0 ? c.deadline_ms : INT64_MAX;
  bool timed = c.state == ws_state::waiting ||
               (c.state == ws_state::open &&
                (c.role == ws_role::slow || c.role == ws_role::cut ||
                 (c.role == ws_role::chatty && c.expect.empty())));
  if (timed) wake = std::min(wake, c.next_ms);
  return wake;
}

void held_sample(role_counts &k, long held) {
  k.held_samples++;
  k.held_sum += static_cast<double>(held);
  k.held_min = std::min(k.held_min, held);
}

// Once a second after the ramp: how many connections of each role are
// open.
void attack_sample(ws_attack &a) {
  long held[kRoles] = {};
  for (const ws_conn &c : a.conns) {
    if (c.state == ws_state::open) held[static_cast<int>(c.role)]++;
  }
  for (int r = 0; r < kRoles; r++) held_sample(a.counts[r], held[r]);
}

void attack_run(ws_attack &a) {
  std::vector<pollfd> fds;
  std::vector<ws_conn *> owners;
  int64_t next_sample = a.start_ms + kRampMs + 1000;
  int64_t polled_ms = now_ms();  // when the last poll came back
  for (;;) {
    int64_t now = now_ms();
    if (now >= a.end_ms) break;
    if (now >= next_sample) {
      attack_sample(a);
      next_sample += 1000;
    }
    int64_t wake = std::min(a.end_ms, next_sample);
    fds.clear();
    owners.clear();
    for (ws_conn &c : a.conns) {
      if (c.state == ws_state::waiting && c.next_ms <= now) {
        conn_start(a, c, now);
      }
      if (c.fd >= 0) conn_timers(a, c, now);
      wake = std::min(wake, conn_wake(c));
      if (c.fd < 0) continue;
      fds.push_back({c.fd, conn_events(c), 0});
      owners.push_back(&c);
    }
    int timeout = static_cast<int>(std::clamp<int64_t>(wake - now, 0, 200));
    int64_t calling_ms = now_ms();
    a.lag_ms = std::max(a.lag_ms, calling_ms - polled_ms);
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      perror("soak_ws: poll");
      break;
    }
    now = polled_ms = now_ms();
    if (ready == 0) a.lag_ms = std::max(a.lag_ms, now - calling_ms - timeout);
    for (size_t i = 0; i < fds.size() && ready > 0; i++) {
      short revents = fds[i].revents;
      if (revents == 0) continue;
      ready--;
      ws_conn &c = *owners[i];
      if (c.state == ws_state::connecting) {
        conn_connected(a, c, now);
        continue;
      }
      if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        if ((fds[i].events & POLLIN) != 0) {
          conn_read(a, c, now);
        } else {
          conn_lost(a, c, now);  // a slow client, reset or shut down
        }
      }
      if (c.fd >= 0 && (revents & POLLOUT) != 0) conn_flush(c);
    }
  }
  int64_t now = now_ms();
  for (ws_conn &c : a.conns) {
    if (c.role == ws_role::chatty && c.state == ws_state::open &&
        !c.expect.empty()) {
      counts_of(a, c).unfinished++;
    }
    conn_end(a, c, now, 0);
  }
}

// ------------------------------------------------------------ the report

std::string codes_text(const std::map<int, long> &codes) {
  std::string text;
  for (auto [code, count] : codes) {
    if (!text.empty()) text += ",";
    text += std::to_string(code) + ":" + std::to_string(count);
  }
  return text.empty() ? "none" : text;
}

double held_mean(const role_counts &k) {
  return k.held_samples > 0 ? k.held_sum / static_cast<double>(k.held_samples)
                            : 0;
}

long held_min(const role_counts &k) {
  return k.held_samples > 0 ? k.held_min : 0;
}

double closed_mean_s(const role_counts &k) {
  return k.closed_by_server > 0
             ? static_cast<double>(k.closed_sum_ms) /
                   static_cast<double>(k.closed_by_server) / 1000
             : 0;
}

long role_wanted(const ws_options &o, int r) {
  const long wanted[kRoles] = {
      o.idle - o.idle / 2, o.idle / 2, o.chatty, o.slow, o.cut, o.oversize};
  return wanted[r];
}

void attack_report(const ws_attack &a) {
  const ws_options &o = a.opt;
  printf(
      "soak_ws: %ld s against 127.0.0.1:%u, %ld connections opened%s, the "
      "loop %.1f s late at most\n",
      o.seconds, static_cast<unsigned int>(o.port), a.connects,
      a.connects_exhausted ? " (the --max-connects bound was reached)" : "",
      static_cast<double>(a.lag_ms) / 1000);
  for (int r = 0; r < kRoles; r++) {
    const role_counts &k = a.counts[r];
    printf(
        "ws %-8s: %ld wanted, held mean %.1f min %ld (after the ramp), "
        "longest held %.1f s, %ld connects, %ld opened, %ld connect "
        "failures, %ld handshake failures, %ld closed by the server (after "
        "%.1f s on average), close frames %s, %ld pings, %ld broadcasts, "
        "%ld messages sent (%ld compressed, %.1f MiB), %ld bad frames\n",
        kRoleNames[r], role_wanted(o, r), held_mean(k), held_min(k),
        static_cast<double>(k.longest_ms) / 1000, k.connects, k.opened,
        k.connect_failures, k.handshake_failures, k.closed_by_server,
        closed_mean_s(k), codes_text(k.close_codes).c_str(), k.pings,
        k.broadcasts, k.sent, k.compressed_sent,
        static_cast<double>(k.bytes_sent) / (1 << 20), k.bad_frames);
  }
  const role_counts &chatty = a.counts[static_cast<int>(ws_role::chatty)];
  const role_counts &mute = a.counts[static_cast<int>(ws_role::mute)];
  const role_counts &cut = a.counts[static_cast<int>(ws_role::cut)];
  const role_counts &big = a.counts[static_cast<int>(ws_role::oversize)];
  printf(
      "ws chatty  : %ld echoes as sent (%ld compressed), %ld mismatched, %ld "
      "timed out, %ld awaited at the end\n",
      chatty.echoes, chatty.compressed_received, chatty.mismatched,
      chatty.timeouts, chatty.unfinished);
  if (!chatty.first_mismatch.empty()) {
    printf("ws chatty  : first mismatch: %s\n", chatty.first_mismatch.c_str());
  }
  printf("ws mute    : %ld open more than %ld s past the idle timeout\n",
         mute.overdue, kOverdueSlackMs / 1000);
  printf("ws cut     : %ld frames cut\n", cut.cuts);
  printf(
      "ws oversize: %ld sent, %ld closed with 1009, %ld with another code, "
      "%ld without a close frame in time\n",
      big.sent, big.too_big, big.wrong_close, big.no_close);
  printf("RESULT connects=%ld lag_s=%.1f", a.connects,
         static_cast<double>(a.lag_ms) / 1000);
  for (int r = 0; r < kRoles; r++) {
    const role_counts &k = a.counts[r];
    const char *n = kRoleNames[r];
    printf(
        " %s_held_mean=%.1f %s_held_min=%ld %s_longest_s=%.1f %s_connects=%ld "
        "%s_opened=%ld %s_connect_failures=%ld %s_handshake_failures=%ld "
        "%s_closed=%ld %s_closed_mean_s=%.1f %s_close_codes=%s %s_pings=%ld "
        "%s_broadcasts=%ld %s_sent=%ld %s_bad_frames=%ld",
        n, held_mean(k), n, held_min(k), n,
        static_cast<double>(k.longest_ms) / 1000, n, k.connects, n, k.opened, n,
        k.connect_failures, n, k.handshake_failures, n, k.closed_by_server, n,
        closed_mean_s(k), n, codes_text(k.close_codes).c_str(), n, k.pings, n,
        k.broadcasts, n, k.sent, n, k.bad_frames);
  }
  const role_counts &slow = a.counts[static_cast<int>(ws_role::slow)];
  printf(
      " chatty_echoes=%ld chatty_compressed_sent=%ld "
      "chatty_compressed_echoes=%ld chatty_mismatched=%ld chatty_timeouts=%ld "
      "chatty_unfinished=%ld mute_overdue=%ld mute_overdue_after_s=%ld "
      "slow_sent_mib=%.1f cut_cuts=%ld "
      "oversize_1009=%ld oversize_wrong_close=%ld oversize_no_close=%ld\n",
      chatty.echoes, chatty.compressed_sent, chatty.compressed_received,
      chatty.mismatched, chatty.timeouts, chatty.unfinished, mute.overdue,
      o.idle_timeout + kOverdueSlackMs / 1000,
      static_cast<double>(slow.bytes_sent) / (1 << 20), cut.cuts, big.too_big,
      big.wrong_close, big.no_close);
  fflush(stdout);
}

void usage(const char *prog) {
  fprintf(stderr,
          "usage: %s --port PORT [--seconds 60] [--idle 500] [--chatty 50] "
          "[--slow 20] [--cut 20] [--oversize 4] [--slow-ms 50] "
          "[--idle-timeout 5] [--max-connects 200000] [--seed 1]\n",
          prog);
}

// Reads the options into |o|; false on a bad one.
bool parse_options(int argc, char *argv[], ws_options &o) {
  static const option longs[] = {
      {"port", required_argument, nullptr, 'p'},
      {"seconds", required_argument, nullptr, 's'},
      {"idle", required_argument, nullptr, 'i'},
      {"chatty", required_argument, nullptr, 'c'},
      {"slow", required_argument, nullptr, 'w'},
      {"cut", required_argument, nullptr, 'x'},
      {"oversize", required_argument, nullptr, 'o'},
      {"slow-ms", required_argument, nullptr, 'm'},
      {"idle-timeout", required_argument, nullptr, 't'},
      {"max-connects", required_argument, nullptr, 'M'},
      {"seed", required_argument, nullptr, 'S'},
      {nullptr, 0, nullptr, 0},
  };
  long port = 0;
  for (;;) {
    int ch = getopt_long(argc, argv, "", longs, nullptr);
    if (ch == -1) break;
    char *end = nullptr;
    errno = 0;
    long value = strtol(optarg != nullptr ? optarg : "", &end, 10);
    if (ch == '?' || errno != 0 || end == optarg || *end != '\0' || value < 0) {
      if (ch != '?') fprintf(stderr, "soak_ws: bad value '%s'\n", optarg);
      return false;
    }
    long *field = nullptr;
    switch (ch) {
      case 'p':
        field = &port;
        break;
      case 's':
        field = &o.seconds;
        break;
      case 'i':
        field = &o.idle;
        break;
      case 'c':
        field = &o.chatty;
        break;
      case 'w':
        field = &o.slow;
        break;
      case 'x':
        field = &o.cut;
        break;
      case 'o':
        field = &o.oversize;
        break;
      case 'm':
        field = &o.slow_ms;
        break;
      case 't':
        field = &o.idle_timeout;
        break;
      case 'M':
        field = &o.max_connects;
        break;
      case 'S':
        field = &o.seed;
        break;
      default:
        return false;
    }
    *field = value;
  }
  if (optind != argc || port < 1 || port > 65535 || o.seconds < 1 ||
      o.slow_ms < 1 ||
      o.idle + o.chatty + o.slow + o.cut + o.oversize > 60000) {
    return false;
  }
  o.port = static_cast<uint16_t>(port);
  return true;
}

}  // namespace

int main(int argc, char *argv[]) {
  ws_attack a;
  if (!parse_options(argc, argv, a.opt)) {
    usage(argv[0]);
    return 2;
  }
  a.rng.seed(static_cast<std::mt19937::result_type>(a.opt.seed));
  a.addr.sin_family = AF_INET;
  a.addr.sin_port = htons(a.opt.port);
  a.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (size_t i = 0; i < kSlowMessage; i++) {
    a.noise += static_cast<char>(a.rng() & 0xff);
  }

  a.start_ms = now_ms();
  a.end_ms = a.start_ms + a.opt.seconds * 1000;
  const ws_options &o = a.opt;
  long total = o.idle + o.chatty + o.slow + o.cut + o.oversize;
  a.conns.resize(static_cast<size_t>(total));
  // Roles in the order of ws_role, each a block; every client starts at
  // its place in the ramp.
  long bound = 0;
  size_t i = 0;
  for (int r = 0; r < kRoles; r++) {
    bound += role_wanted(o, r);
    for (; static_cast<long>(i) < bound; i++) {
      ws_conn &c = a.conns[i];
      c.role = static_cast<ws_role>(r);
      c.index = static_cast<int>(i);
      c.next_ms =
          a.start_ms + kRampMs * static_cast<long>(i) / std::max(total, 1L);
    }
  }
  attack_run(a);
  attack_report(a);
  return 0;
}
