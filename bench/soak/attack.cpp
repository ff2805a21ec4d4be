// soak_attack: slow clients and an upload storm against a server on
// 127.0.0.1, for bench/soak/run.  One thread polls every connection:
//   slow heads    send a request head one byte at a time, a byte every
//                 --drip-ms, and connect again when the server closes them;
//   slow bodies   send a whole head that announces a 64 MiB multipart body,
//                 then 8 bytes of a file part every --drip-ms, and connect
//                 again when the server closes them;
//   slow readers  shrink their receive buffer to 4096 bytes, ask for
//                 GET /big (a large buffered reply), then read at most
//                 --read-bytes of it every --drip-ms; once the server has
//                 cut a reply they are done, and they connect again only
//                 when it closes them before their reply began;
//   uploaders     post multipart bodies to /upload in a loop, taking turns
//                 between four kinds: complete (1 to 4 files of 1 to
//                 256 KiB), cut (the client closes half way through),
//                 tiny (--tiny-parts files of 10 bytes each) and fields
//                 (--fields form fields, no file); --kinds keeps some.
// Everything stops after --seconds, and no connection is opened past
// --max-connects.  Prints a summary and one "RESULT key=value ..." line.
//
// Usage: soak_attack --port PORT [--seconds 60] [--slow-heads 500]
//   [--slow-bodies 100] [--slow-readers 40] [--read-bytes 4096]
//   [--uploaders 8] [--drip-ms 3000]
//   [--tiny-parts 2000] [--fields 5000] [--upload-pause-ms 0]
//   [--reply-timeout-ms 30000] [--max-connects 200000] [--seed 1]
//   [--kinds complete,cut,tiny,fields]
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

struct attack_options {
  uint16_t port = 0;
  long seconds = 60;
  long slow_heads = 500;
  long slow_bodies = 100;
  long slow_readers = 40;
  long read_bytes = 4096;
  long uploaders = 8;
  long drip_ms = 3000;
  long tiny_parts = 2000;
  long fields = 5000;
  long upload_pause_ms = 0;
  long reply_timeout_ms = 30000;
  long max_connects = 200000;
  long seed = 1;
  std::vector<int> kinds = {0, 1, 2, 3};  // the upload kinds taken in turn
};

// Slow clients connect over this long at the start, so that the server
// meets a crowd rather than one burst of connects.
constexpr int64_t kRampMs = 2000;
// A slow client the server closed, or a connect that failed, is tried
// again after this long (plus up to a quarter second, so they spread).
constexpr int64_t kRetryMs = 1000;
// A cut upload closes as soon as its half is with the kernel, as a client
// that crashes does; its uploader then waits this long before the next
// upload, so that a storm of cut uploads stays a storm of uploads rather
// than of connects (and of ports in TIME_WAIT).
constexpr int64_t kCutPauseMs = 500;
constexpr size_t kSlowBodyDrip = 8;
constexpr uint64_t kSlowBodyLength = 64ull << 20;
// A slow reader's receive buffer, set before it connects so that the
// window it offers stays this small: the reply then waits on the server's
// side rather than in the client's kernel.
constexpr int kSlowReaderBuffer = 4096;
// More head than this is not a reply of the soak server; a slow reader
// keeps only its start, for the status and the length.
constexpr size_t kMaxHead = 16384;
// More than this is not a reply of the soak server; stop reading it.
constexpr size_t kMaxReply = 1 << 20;
constexpr char kBoundary[] = "soakBoundary7d41c9e2";

enum class conn_role { slow_head, slow_body, slow_reader, uploader };
enum class upload_kind { complete, cut, tiny, fields };
constexpr int kUploadKinds = 4;
constexpr const char *kKindNames[kUploadKinds] = {"complete", "cut", "tiny",
                                                  "fields"};

enum class conn_state { waiting, connecting, sending, dripping, reading, done };

struct conn {
  conn_role role = conn_role::slow_head;
  int index = 0;
  conn_state state = conn_state::waiting;
  int fd = -1;
  int64_t next_ms = 0;      // waiting: when to connect; dripping: next drip
  int64_t opened_ms = 0;    // when the connection was established, or 0
  int64_t deadline_ms = 0;  // the connect, or an upload's reply, is due
  std::string out;          // uploads and the slow body's head
  size_t sent = 0;          // bytes of |out|, or of the slow head, sent
  size_t send_limit = 0;    // a cut upload stops half way
  std::string in;           // what the server sent
  bool replied = false;     // slow clients: the reply's status was counted
  uint64_t got = 0;         // slow reader: bytes of its reply read
  uint64_t reply_size = 0;  // slow reader: head and body, once known
  upload_kind kind = upload_kind::complete;
  unsigned int turn = 0;  // uploads this uploader started
  uint64_t want_files = 0, want_bytes = 0, want_fields = 0;
};

// Counts of the slow clients of one kind.
struct slow_counts {
  long connects = 0;
  long connect_failures = 0;
  long closed_by_server = 0;
  long drips = 0;
  std::map<int, long> statuses;  // replies the server sent them
  int64_t longest_ms = 0;        // the longest one connection was held
  long held_samples = 0;         // connections held, once a second after
  double held_sum = 0;           // the ramp
  long held_min = LONG_MAX;
  uint64_t bytes = 0;  // slow readers: reply bytes read
  long whole = 0;      // slow readers: replies read to their end
  long resets = 0;     // slow readers: closes that were resets
};

// Counts of the uploads of one kind.  Each started upload ends as exactly
// one of: ok, mismatched, another status, cut, closed by the server, timed
// out, connect failure, or unfinished when the run stopped.
struct upload_counts {
  long started = 0;
  long ok = 0;          // 2xx with the file and field counts that were sent
  long mismatched = 0;  // 2xx with other counts
  long cut = 0;         // sent half way, then closed by us
  long closed_by_server = 0;
  long timeouts = 0;
  long connect_failures = 0;
  long unfinished = 0;
  std::map<int, long> statuses;  // every reply, the 2xx ones included
  std::string first_mismatch;    // what was sent and what was counted
};

struct attack {
  attack_options opt;
  sockaddr_in addr{};
  int64_t start_ms = 0;
  int64_t end_ms = 0;
  long connects = 0;
  bool connects_exhausted = false;
  std::mt19937 rng;
  std::string slow_head;  // one long head that is never finished
  std::string slow_body_head;
  std::string reader_request;
  std::string read_buf;  // --read-bytes: one read of a slow reader
  std::vector<conn> conns;
  slow_counts heads, bodies, readers;
  upload_counts uploads[kUploadKinds];
};

int64_t now_ms() {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
      .count();
}

int64_t jitter(attack &a, int64_t max_ms) {
  return std::uniform_int_distribution<int64_t>(0, max_ms)(a.rng);
}

slow_counts &slow_of(attack &a, const conn &c) {
  switch (c.role) {
    case conn_role::slow_head:
      return a.heads;
    case conn_role::slow_reader:
      return a.readers;
    default:
      return a.bodies;
  }
}

upload_counts &upload_of(attack &a, const conn &c) {
  return a.uploads[static_cast<int>(c.kind)];
}

// The status of an HTTP reply, or 0 when |in| does not start with one.
int reply_status(const std::string &in) {
  if (in.size() < 12 || in.compare(0, 5, "HTTP/") != 0) return 0;
  return atoi(in.c_str() + 9);
}

// The size of the reply that starts |in|, head and Content-Length bytes
// of body, or 0 while its head is incomplete or has no length (a reply
// without one ends when the server closes).
uint64_t reply_size(const std::string &in) {
  size_t end = in.find("\r\n\r\n");
  if (end == std::string::npos) return 0;
  static const char name[] = "content-length:";
  for (size_t pos = 0; pos < end;) {
    size_t eol = in.find("\r\n", pos);
    if (eol > end) eol = end;
    if (eol - pos > sizeof(name) - 1 &&
        strncasecmp(in.c_str() + pos, name, sizeof(name) - 1) == 0) {
      return end + 4 +
             strtoull(in.c_str() + pos + sizeof(name) - 1, nullptr, 10);
    }
    pos = eol + 2;
  }
  return 0;
}

// True once |in| holds a whole reply.
bool reply_complete(const std::string &in) {
  uint64_t size = reply_size(in);
  return size != 0 && in.size() >= size;
}

// Appends a file part named |field|N, of file |file|N.bin, with |size|
// bytes of |fill|.
void body_file(std::string &body, const char *field, const char *file, long n,
               size_t size, char fill) {
  char head[256];
  snprintf(head, sizeof(head),
           "--%s\r\nContent-Disposition: form-data; name=\"%s%ld\"; "
           "filename=\"%s%ld.bin\"\r\nContent-Type: "
           "application/octet-stream\r\n\r\n",
           kBoundary, field, n, file, n);
  body += head;
  body.append(size, fill);
  body += "\r\n";
}

// Appends a field part named |name|N whose value is |value|N.
void body_field(std::string &body, const char *name, const char *value,
                long n) {
  char part[256];
  snprintf(part, sizeof(part),
           "--%s\r\nContent-Disposition: form-data; name=\"%s%ld\"\r\n\r\n"
           "%s%ld\r\n",
           kBoundary, name, n, value, n);
  body += part;
}

// Builds the next upload of |c| into c.out, with what the server should
// count of it.
void upload_build(attack &a, conn &c) {
  const std::vector<int> &kinds = a.opt.kinds;
  c.kind = static_cast<upload_kind>(
      kinds[(static_cast<size_t>(c.index) + c.turn) % kinds.size()]);
  c.turn++;
  c.want_files = c.want_bytes = c.want_fields = 0;
  std::string body;
  switch (c.kind) {
    case upload_kind::complete:
    case upload_kind::cut: {
      int files = c.kind == upload_kind::cut
                      ? 2
                      : std::uniform_int_distribution<int>(1, 4)(a.rng);
      std::uniform_int_distribution<size_t> size(1024, 256 * 1024);
      for (long i = 0; i < files; i++) {
        size_t n = size(a.rng);
        body_file(body, "file", "f", i, n,
                  static_cast<char>('a' + (c.turn + i) % 26));
        c.want_bytes += n;
      }
      body_field(body, "note", "soak", 0);
      c.want_files = static_cast<uint64_t>(files);
      c.want_fields = 1;
      break;
    }
    case upload_kind::tiny:
      for (long i = 0; i < a.opt.tiny_parts; i++) {
        body_file(body, "t", "t", i, 10, 't');
      }
      c.want_files = static_cast<uint64_t>(a.opt.tiny_parts);
      c.want_bytes = 10 * c.want_files;
      break;
    case upload_kind::fields:
      for (long i = 0; i < a.opt.fields; i++) {
        body_field(body, "field", "value", i);
      }
      c.want_fields = static_cast<uint64_t>(a.opt.fields);
      break;
  }
  body += "--";
  body += kBoundary;
  body += "--\r\n";
  c.out =
      "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Type: multipart/form-data; boundary=";
  c.out += kBoundary;
  c.out += "\r\nContent-Length: ";
  c.out += std::to_string(body.size());
  c.out += "\r\n\r\n";
  c.out += body;
  c.sent = 0;
  c.send_limit = c.kind == upload_kind::cut ? c.out.size() / 2 : c.out.size();
}

// Ends the connection of |c|.  Slow clients come back after a pause;
// uploaders go on with their next upload.
void conn_end(attack &a, conn &c, int64_t now, int64_t retry_ms) {
  if (c.role != conn_role::uploader && c.opened_ms > 0) {
    slow_counts &s = slow_of(a, c);
    s.longest_ms = std::max(s.longest_ms, now - c.opened_ms);
  }
  if (c.fd >= 0) close(c.fd);
  c.fd = -1;
  c.opened_ms = 0;
  c.in.clear();
  c.out.clear();
  c.sent = 0;
  c.replied = false;
  c.got = 0;
  c.reply_size = 0;
  c.state = conn_state::waiting;
  c.next_ms = now + retry_ms;
}

void conn_retry(attack &a, conn &c, int64_t now) {
  conn_end(a, c, now, kRetryMs + jitter(a, 250));
}

void conn_connect_failed(attack &a, conn &c, int64_t now) {
  if (c.role == conn_role::uploader) {
    upload_of(a, c).connect_failures++;
  } else {
    slow_of(a, c).connect_failures++;
  }
  conn_retry(a, c, now);
}

void conn_start(attack &a, conn &c, int64_t now) {
  if (a.connects >= a.opt.max_connects) {
    a.connects_exhausted = true;
    c.state = conn_state::done;
    return;
  }
  a.connects++;
  if (c.role == conn_role::uploader) {
    upload_build(a, c);
    upload_of(a, c).started++;
  } else {
    slow_of(a, c).connects++;
  }
  c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (c.fd < 0) {
    conn_connect_failed(a, c, now);
    return;
  }
  // Drips are single small writes that must leave at once.
  int one = 1;
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (c.role == conn_role::slow_reader) {
    // Before connect(): the window scale is agreed in the handshake.
    int size = kSlowReaderBuffer;
    setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }
  int rc = connect(c.fd, reinterpret_cast<const sockaddr *>(&a.addr),
                   sizeof(a.addr));
  if (rc != 0 && errno != EINPROGRESS) {
    conn_connect_failed(a, c, now);
    return;
  }
  c.state = conn_state::connecting;
  c.deadline_ms = now + a.opt.reply_timeout_ms;
}

void conn_connected(attack &a, conn &c, int64_t now) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
    conn_connect_failed(a, c, now);
    return;
  }
  c.opened_ms = now;
  switch (c.role) {
    case conn_role::slow_head:
      c.state = conn_state::dripping;
      c.next_ms = now;
      break;
    case conn_role::slow_body:
    case conn_role::slow_reader:
      c.out =
          c.role == conn_role::slow_body ? a.slow_body_head : a.reader_request;
      c.sent = 0;
      c.send_limit = c.out.size();
      c.state = conn_state::sending;
      break;
    case conn_role::uploader:
      c.state = conn_state::sending;
      c.deadline_ms = now + a.opt.reply_timeout_ms;
      break;
  }
}

// Counts the reply in c.in and ends the upload.
void upload_replied(attack &a, conn &c, int64_t now) {
  upload_counts &u = upload_of(a, c);
  int status = reply_status(c.in);
  u.statuses[status]++;
  if (status >= 200 && status < 300) {
    unsigned long long files = 0, bytes = 0, fields = 0;
    size_t body = c.in.find("\r\n\r\n");
    bool counted =
        body != std::string::npos &&
        sscanf(c.in.c_str() + body + 4, "files=%llu bytes=%llu fields=%llu",
               &files, &bytes, &fields) == 3;
    if (counted && files == c.want_files && bytes == c.want_bytes &&
        fields == c.want_fields) {
      u.ok++;
    } else {
      if (u.mismatched++ == 0) {
        char text[200];
        snprintf(text, sizeof(text),
                 "sent files=%llu bytes=%llu fields=%llu, the server "
                 "counted files=%llu bytes=%llu fields=%llu",
                 static_cast<unsigned long long>(c.want_files),
                 static_cast<unsigned long long>(c.want_bytes),
                 static_cast<unsigned long long>(c.want_fields), files, bytes,
                 fields);
        u.first_mismatch = counted ? text : "a 2xx reply without the counts";
      }
    }
  }
  conn_end(a, c, now, a.opt.upload_pause_ms);
}

// The server closed the connection, or reset it.
void conn_lost(attack &a, conn &c, int64_t now) {
  if (c.role == conn_role::uploader) {
    // A reply that ends with the connection still counts as a reply.
    if (reply_status(c.in) != 0 && c.in.find("\r\n\r\n") != std::string::npos) {
      upload_replied(a, c, now);
      return;
    }
    upload_of(a, c).closed_by_server++;
    conn_end(a, c, now, a.opt.upload_pause_ms);
    return;
  }
  slow_of(a, c).closed_by_server++;
  // A reader whose reply the server cut does not come back: another
  // GET /big would have the server hold another copy of the reply for its
  // deadline, round after round, and the soak's RSS criteria would judge
  // the rounds rather than the server.
  if (c.role == conn_role::slow_reader && c.replied) {
    conn_end(a, c, now, 0);
    c.state = conn_state::done;
    return;
  }
  conn_retry(a, c, now);
}

// One read of at most --read-bytes, all a slow reader takes at a time, so
// that the rest of its reply waits on the server's side.
void reader_take(attack &a, conn &c, int64_t now) {
  slow_counts &s = a.readers;
  ssize_t n = recv(c.fd, a.read_buf.data(), a.read_buf.size(), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return;
  }
  if (n <= 0) {
    if (n < 0 && errno == ECONNRESET) s.resets++;
    conn_lost(a, c, now);
    return;
  }
  auto got = static_cast<size_t>(n);
  s.bytes += got;
  c.got += got;
  if (c.reply_size == 0 && c.in.size() < kMaxHead) {
    c.in.append(a.read_buf.data(), std::min(got, kMaxHead - c.in.size()));
    c.reply_size = reply_size(c.in);
  }
  if (!c.replied && reply_status(c.in) != 0) {
    c.replied = true;
    s.statuses[reply_status(c.in)]++;
  }
  // The connection stays: the server closes it once it stops waiting for
  // a next request.
  if (c.reply_size != 0 && c.got >= c.reply_size &&
      c.got - got < c.reply_size) {
    s.whole++;
  }
}

void conn_read(attack &a, conn &c, int64_t now) {
  if (c.role == conn_role::slow_reader) {
    reader_take(a, c, now);
    return;
  }
  char buf[16384];
  for (;;) {
    ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
    if (n > 0) {
      if (c.in.size() < kMaxReply) c.in.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0 && errno == EINTR) continue;
    conn_lost(a, c, now);
    return;
  }
  if (c.role != conn_role::uploader) {
    // A slow client is not meant to finish: a reply is the server giving
    // up on it.  Its status is counted once; the close follows.
    if (!c.replied && reply_status(c.in) != 0) {
      c.replied = true;
      slow_of(a, c).statuses[reply_status(c.in)]++;
    }
    return;
  }
  if (reply_complete(c.in)) upload_replied(a, c, now);
}

void conn_write(attack &a, conn &c, int64_t now) {
  while (c.sent < c.send_limit) {
    ssize_t n =
        send(c.fd, c.out.data() + c.sent, c.send_limit - c.sent, MSG_NOSIGNAL);
    if (n > 0) {
      c.sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    // The server went away mid-body; a reply it sent first may be waiting.
    conn_read(a, c, now);
    if (c.fd >= 0) conn_lost(a, c, now);
    return;
  }
  switch (c.role) {
    case conn_role::slow_body:
    case conn_role::slow_reader:
      c.state = conn_state::dripping;
      c.next_ms = now + a.opt.drip_ms;
      break;
    case conn_role::uploader:
      if (c.kind == upload_kind::cut) {
        upload_of(a, c).cut++;
        conn_end(a, c, now, a.opt.upload_pause_ms + kCutPauseMs);
      } else {
        c.state = conn_state::reading;
      }
      break;
    case conn_role::slow_head:
      break;
  }
}

void conn_drip(attack &a, conn &c, int64_t now) {
  if (c.role == conn_role::slow_reader) {
    a.readers.drips++;
    reader_take(a, c, now);
    if (c.fd >= 0) c.next_ms = now + a.opt.drip_ms;
    return;
  }
  const char *data;
  size_t size;
  if (c.role == conn_role::slow_head) {
    if (c.sent >= a.slow_head.size()) {
      // The whole head went out (a very short drip interval): start over.
      conn_end(a, c, now, 0);
      return;
    }
    data = a.slow_head.data() + c.sent;
    size = 1;
  } else {
    static const char bytes[kSlowBodyDrip + 1] = "xxxxxxxx";
    data = bytes;
    size = kSlowBodyDrip;
  }
  ssize_t n = send(c.fd, data, size, MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    c.next_ms = now + 100;
    return;
  }
  if (n <= 0) {
    conn_read(a, c, now);
    if (c.fd >= 0) conn_lost(a, c, now);
    return;
  }
  if (c.role == conn_role::slow_head) c.sent += static_cast<size_t>(n);
  slow_of(a, c).drips++;
  c.next_ms = now + a.opt.drip_ms;
}

void slow_sample(slow_counts &s, long held) {
  s.held_samples++;
  s.held_sum += static_cast<double>(held);
  s.held_min = std::min(s.held_min, held);
}

// Once a second after the ramp: how many slow clients the server holds.
void attack_sample(attack &a) {
  long heads = 0, bodies = 0, readers = 0;
  for (const conn &c : a.conns) {
    if (c.state != conn_state::dripping) continue;
    if (c.role == conn_role::slow_head) heads++;
    if (c.role == conn_role::slow_body) bodies++;
    if (c.role == conn_role::slow_reader) readers++;
  }
  slow_sample(a.heads, heads);
  slow_sample(a.bodies, bodies);
  slow_sample(a.readers, readers);
}

// Connects and whole uploads are bounded in time; slow clients, once
// connected, are bounded only by the run.
bool conn_timed(const conn &c) {
  return c.state == conn_state::connecting ||
         (c.role == conn_role::uploader &&
          (c.state == conn_state::sending || c.state == conn_state::reading));
}

void conn_timeout(attack &a, conn &c, int64_t now) {
  if (c.state == conn_state::connecting) {
    conn_connect_failed(a, c, now);
    return;
  }
  upload_of(a, c).timeouts++;
  conn_end(a, c, now, a.opt.upload_pause_ms);
}

void attack_run(attack &a) {
  std::vector<pollfd> fds;
  std::vector<conn *> owners;
  int64_t next_sample = a.start_ms + kRampMs + 1000;
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
    for (conn &c : a.conns) {
      if (c.state == conn_state::waiting && c.next_ms <= now) {
        conn_start(a, c, now);
      }
      if (c.state == conn_state::dripping && c.next_ms <= now) {
        conn_drip(a, c, now);
      }
      if (conn_timed(c) && now >= c.deadline_ms) conn_timeout(a, c, now);
      if (c.state == conn_state::waiting || c.state == conn_state::dripping) {
        wake = std::min(wake, c.next_ms);
      }
      if (conn_timed(c)) wake = std::min(wake, c.deadline_ms);
      if (c.fd < 0) continue;
      // A slow reader reads on its drips only: polled for input, it would
      // wake the loop for as long as the server has more to send.
      if (c.role == conn_role::slow_reader && c.state == conn_state::dripping) {
        continue;
      }
      short events = POLLIN;
      if (c.state == conn_state::connecting || c.state == conn_state::sending) {
        events |= POLLOUT;
      }
      fds.push_back({c.fd, events, 0});
      owners.push_back(&c);
    }
    int timeout = static_cast<int>(std::clamp<int64_t>(wake - now, 0, 200));
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      perror("attack: poll");
      break;
    }
    now = now_ms();
    for (size_t i = 0; i < fds.size() && ready > 0; i++) {
      if (fds[i].revents == 0) continue;
      ready--;
      conn &c = *owners[i];
      if (c.state == conn_state::connecting) {
        conn_connected(a, c, now);
        if (c.state == conn_state::connecting || c.fd < 0) continue;
      }
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        conn_read(a, c, now);
      }
      if (c.fd >= 0 && c.state == conn_state::sending) {
        conn_write(a, c, now);
      }
    }
  }
  int64_t now = now_ms();
  for (conn &c : a.conns) {
    if (c.role == conn_role::uploader &&
        (c.state == conn_state::connecting || c.state == conn_state::sending ||
         c.state == conn_state::reading)) {
      upload_of(a, c).unfinished++;
    }
    conn_end(a, c, now, 0);
  }
}

std::string statuses_text(const std::map<int, long> &statuses) {
  std::string text;
  for (auto [status, count] : statuses) {
    if (!text.empty()) text += ",";
    text += std::to_string(status);
    text += ':';
    text += std::to_string(count);
  }
  return text.empty() ? "none" : text;
}

double held_mean(const slow_counts &s) {
  return s.held_samples > 0 ? s.held_sum / static_cast<double>(s.held_samples)
                            : 0;
}

long held_min(const slow_counts &s) {
  return s.held_samples > 0 ? s.held_min : 0;
}

void slow_report(const char *name, const slow_counts &s, long wanted) {
  printf(
      "%s: %ld wanted, held mean %.1f min %ld (after the ramp), longest "
      "held %.1f s, %ld connects, %ld closed by the server, %ld connect "
      "failures, %ld drips, replies %s\n",
      name, wanted, held_mean(s), held_min(s),
      static_cast<double>(s.longest_ms) / 1000, s.connects, s.closed_by_server,
      s.connect_failures, s.drips, statuses_text(s.statuses).c_str());
}

void reader_report(const slow_counts &s, long wanted) {
  slow_report("slow readers", s, wanted);
  printf(
      "slow readers: %.1f MiB read, %ld replies read whole, %ld of the "
      "closes were resets\n",
      static_cast<double>(s.bytes) / (1 << 20), s.whole, s.resets);
}

void attack_report(const attack &a) {
  const attack_options &o = a.opt;
  printf("attack: %ld s against 127.0.0.1:%u, %ld connections opened%s\n",
         o.seconds, static_cast<unsigned int>(o.port), a.connects,
         a.connects_exhausted ? " (the --max-connects bound was reached)" : "");
  slow_report("slow heads", a.heads, o.slow_heads);
  slow_report("slow bodies", a.bodies, o.slow_bodies);
  reader_report(a.readers, o.slow_readers);
  upload_counts total;
  for (int k = 0; k < kUploadKinds; k++) {
    const upload_counts &u = a.uploads[k];
    printf(
        "uploads %-8s: %ld started, %ld ok, %ld mismatched, %ld cut, %ld "
        "closed by the server, %ld timed out, %ld connect failures, %ld "
        "unfinished, replies %s\n",
        kKindNames[k], u.started, u.ok, u.mismatched, u.cut, u.closed_by_server,
        u.timeouts, u.connect_failures, u.unfinished,
        statuses_text(u.statuses).c_str());
    if (!u.first_mismatch.empty()) {
      printf("uploads %-8s: first mismatch: %s\n", kKindNames[k],
             u.first_mismatch.c_str());
    }
    total.started += u.started;
    total.ok += u.ok;
    total.mismatched += u.mismatched;
    total.cut += u.cut;
    total.closed_by_server += u.closed_by_server;
    total.timeouts += u.timeouts;
    total.connect_failures += u.connect_failures;
    total.unfinished += u.unfinished;
    for (auto [status, count] : u.statuses) total.statuses[status] += count;
  }
  long by_class[6] = {0, 0, 0, 0, 0, 0};  // 1xx..5xx, and anything else
  for (auto [status, count] : total.statuses) {
    int cls = status / 100;
    by_class[cls >= 1 && cls <= 5 ? cls : 0] += count;
  }
  printf(
      "RESULT connects=%ld heads_held_mean=%.1f heads_held_min=%ld "
      "heads_longest_s=%.1f heads_closed=%ld heads_connect_failures=%ld "
      "heads_replies=%s bodies_held_mean=%.1f bodies_held_min=%ld "
      "bodies_longest_s=%.1f bodies_closed=%ld bodies_connect_failures=%ld "
      "bodies_replies=%s readers_held_mean=%.1f readers_held_min=%ld "
      "readers_longest_s=%.1f readers_connects=%ld readers_closed=%ld "
      "readers_resets=%ld readers_connect_failures=%ld readers_replies=%s "
      "readers_whole=%ld readers_read_kib=%llu uploads_started=%ld "
      "uploads_ok=%ld uploads_mismatched=%ld uploads_cut=%ld "
      "uploads_closed=%ld uploads_timeouts=%ld uploads_connect_failures=%ld "
      "uploads_unfinished=%ld uploads_2xx=%ld uploads_4xx=%ld "
      "uploads_5xx=%ld uploads_other=%ld",
      a.connects, held_mean(a.heads), held_min(a.heads),
      static_cast<double>(a.heads.longest_ms) / 1000, a.heads.closed_by_server,
      a.heads.connect_failures, statuses_text(a.heads.statuses).c_str(),
      held_mean(a.bodies), held_min(a.bodies),
      static_cast<double>(a.bodies.longest_ms) / 1000,
      a.bodies.closed_by_server, a.bodies.connect_failures,
      statuses_text(a.bodies.statuses).c_str(), held_mean(a.readers),
      held_min(a.readers), static_cast<double>(a.readers.longest_ms) / 1000,
      a.readers.connects, a.readers.closed_by_server, a.readers.resets,
      a.readers.connect_failures, statuses_text(a.readers.statuses).c_str(),
      a.readers.whole, static_cast<unsigned long long>(a.readers.bytes / 1024),
      total.started, total.ok, total.mismatched, total.cut,
      total.closed_by_server, total.timeouts, total.connect_failures,
      total.unfinished, by_class[2], by_class[4], by_class[5],
      by_class[0] + by_class[1] + by_class[3]);
  for (int k = 0; k < kUploadKinds; k++) {
    const upload_counts &u = a.uploads[k];
    printf(" %s_started=%ld %s_ok=%ld %s_closed=%ld", kKindNames[k], u.started,
           kKindNames[k], u.ok, kKindNames[k], u.closed_by_server);
  }
  printf("\n");
  fflush(stdout);
}

void usage(const char *prog) {
  fprintf(stderr,
          "usage: %s --port PORT [--seconds 60] [--slow-heads 500] "
          "[--slow-bodies 100] [--slow-readers 40] [--read-bytes 4096] "
          "[--uploaders 8] [--drip-ms 3000] "
          "[--tiny-parts 2000] [--fields 5000] [--upload-pause-ms 0] "
          "[--reply-timeout-ms 30000] [--max-connects 200000] [--seed 1] "
          "[--kinds complete,cut,tiny,fields]\n",
          prog);
}

// Reads a comma-separated list of upload kind names into |kinds|.
bool parse_kinds(const char *text, std::vector<int> &kinds) {
  kinds.clear();
  std::string list = text;
  for (size_t pos = 0; pos <= list.size();) {
    size_t comma = std::min(list.find(',', pos), list.size());
    std::string name = list.substr(pos, comma - pos);
    int k = 0;
    while (k < kUploadKinds && name != kKindNames[k]) k++;
    if (k == kUploadKinds) {
      fprintf(stderr, "attack: no upload kind '%s'\n", name.c_str());
      return false;
    }
    kinds.push_back(k);
    pos = comma + 1;
  }
  return true;
}

// Reads the options into |o|; false (after a message) on a bad one.
bool parse_options(int argc, char *argv[], attack_options &o) {
  static const option longs[] = {
      {"port", required_argument, nullptr, 'p'},
      {"seconds", required_argument, nullptr, 's'},
      {"slow-heads", required_argument, nullptr, 'H'},
      {"slow-bodies", required_argument, nullptr, 'B'},
      {"slow-readers", required_argument, nullptr, 'R'},
      {"read-bytes", required_argument, nullptr, 'b'},
      {"uploaders", required_argument, nullptr, 'U'},
      {"drip-ms", required_argument, nullptr, 'd'},
      {"tiny-parts", required_argument, nullptr, 't'},
      {"fields", required_argument, nullptr, 'f'},
      {"upload-pause-ms", required_argument, nullptr, 'P'},
      {"reply-timeout-ms", required_argument, nullptr, 'r'},
      {"max-connects", required_argument, nullptr, 'm'},
      {"seed", required_argument, nullptr, 'S'},
      {"kinds", required_argument, nullptr, 'k'},
      {nullptr, 0, nullptr, 0},
  };
  long port = 0;
  for (;;) {
    int ch = getopt_long(argc, argv, "", longs, nullptr);
    if (ch == -1) break;
    if (ch == 'k') {
      if (!parse_kinds(optarg, o.kinds)) return false;
      continue;
    }
    char *end = nullptr;
    errno = 0;
    long value = strtol(optarg != nullptr ? optarg : "", &end, 10);
    if (ch == '?' || errno != 0 || end == optarg || *end != '\0' || value < 0) {
      if (ch != '?') fprintf(stderr, "attack: bad value '%s'\n", optarg);
      return false;
    }
    switch (ch) {
      case 'p':
        port = value;
        break;
      case 's':
        o.seconds = value;
        break;
      case 'H':
        o.slow_heads = value;
        break;
      case 'B':
        o.slow_bodies = value;
        break;
      case 'R':
        o.slow_readers = value;
        break;
      case 'b':
        o.read_bytes = value;
        break;
      case 'U':
        o.uploaders = value;
        break;
      case 'd':
        o.drip_ms = value;
        break;
      case 't':
        o.tiny_parts = value;
        break;
      case 'f':
        o.fields = value;
        break;
      case 'P':
        o.upload_pause_ms = value;
        break;
      case 'r':
        o.reply_timeout_ms = value;
        break;
      case 'm':
        o.max_connects = value;
        break;
      case 'S':
        o.seed = value;
        break;
      default:
        return false;
    }
  }
  if (optind != argc || port < 1 || port > 65535 || o.drip_ms < 1 ||
      o.seconds < 1 || o.read_bytes < 1 || o.read_bytes > (16 << 20) ||
      o.slow_heads + o.slow_bodies + o.slow_readers + o.uploaders > 60000) {
    return false;
  }
  o.port = static_cast<uint16_t>(port);
  return true;
}

}  // namespace

int main(int argc, char *argv[]) {
  attack a;
  if (!parse_options(argc, argv, a.opt)) {
    usage(argv[0]);
    return 2;
  }
  a.rng.seed(static_cast<std::mt19937::result_type>(a.opt.seed));
  a.addr.sin_family = AF_INET;
  a.addr.sin_port = htons(a.opt.port);
  a.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  // A head far longer than any run drips: one byte every few seconds never
  // reaches its end, nor the server's head size limit.
  a.slow_head = "GET /slow HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Drip: ";
  a.slow_head.append(64 * 1024, 'a');
  a.slow_body_head =
      "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Type: multipart/form-data; boundary=";
  a.slow_body_head += kBoundary;
  a.slow_body_head += "\r\nContent-Length: ";
  a.slow_body_head += std::to_string(kSlowBodyLength);
  a.slow_body_head += "\r\n\r\n--";
  a.slow_body_head += kBoundary;
  a.slow_body_head +=
      "\r\nContent-Disposition: form-data; name=\"slow\"; "
      "filename=\"slow.bin\"\r\nContent-Type: application/octet-stream"
      "\r\n\r\n";
  a.reader_request = "GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  a.read_buf.resize(static_cast<size_t>(a.opt.read_bytes));

  a.start_ms = now_ms();
  a.end_ms = a.start_ms + a.opt.seconds * 1000;
  long slow = a.opt.slow_heads + a.opt.slow_bodies + a.opt.slow_readers;
  a.conns.resize(static_cast<size_t>(slow + a.opt.uploaders));
  for (size_t i = 0; i < a.conns.size(); i++) {
    conn &c = a.conns[i];
    auto n = static_cast<long>(i);
    c.index = static_cast<int>(i);
    if (n < a.opt.slow_heads) {
      c.role = conn_role::slow_head;
    } else if (n < a.opt.slow_heads + a.opt.slow_bodies) {
      c.role = conn_role::slow_body;
    } else if (n < slow) {
      c.role = conn_role::slow_reader;
    } else {
      c.role = conn_role::uploader;
    }
    // Slow clients spread over the ramp, uploaders start at once.
    c.next_ms = c.role == conn_role::uploader
                    ? a.start_ms
                    : a.start_ms + kRampMs * n / std::max(slow, 1L);
  }
  attack_run(a);
  attack_report(a);
  return 0;
}
