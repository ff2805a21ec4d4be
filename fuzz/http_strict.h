// Strict readers of an HTTP/1.1 connection, one for each direction: the
// server target reads its input and the server's answer again with them.
//
// A server that reads a request stream more loosely than a strict reader
// does lets a client smuggle a request past a proxy in front of it: the
// proxy forwards one request, the server finds two.  A reply with body
// bytes where none belong makes the client read the next reply from the
// middle of them.  So the request reader counts the requests a strict
// server would accept, up to the first thing it would refuse, and the reply
// reader checks that the replies frame each other as RFC 9112 §6.3 says.
//
// Both refuse what moves a message boundary or hides a field (obs-fold,
// bare CR or LF, a field name that is no token, two framings of one body)
// and accept what does not (control bytes inside a field value, empty lines
// before a request): refusing those too would only flag harmless leniency.
#ifndef OX_FUZZ_HTTP_STRICT_H
#define OX_FUZZ_HTTP_STRICT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace oxfuzz::http {

// How the read of one element ended: whole, cut by the end of the bytes,
// or against the grammar.
enum class Scan { ok, cut, bad };

// Why the request reader stopped.
enum class Stop {
  end,      // the bytes ended between two requests
  cut,      // the bytes ended inside a request
  refused,  // a strict server refuses what comes next
  closed,   // after a request that closes the connection
};

struct RequestScan {
  std::vector<std::string> methods;  // of each complete request, in order
  // The method of the request the reader stopped in, when its request line
  // was read: a server may answer that one too, before it closes.
  std::string stopped_method;
  Stop stop = Stop::end;
  const char *why = "";  // what was refused
  size_t offset = 0;     // where the request the reader stopped in starts
};

// What is wrong with the reply bytes, if anything.
enum class ReplyFault {
  none,
  first_line,    // the first bytes are no status line
  head,          // a reply head breaks the grammar
  framing,       // a reply's body is framed twice or badly
  chunk,         // a chunked body breaks the grammar
  head_body,     // bytes after a reply to HEAD that start no reply
  stray_bytes,   // bytes after another complete reply that start no reply
  tunnel_bytes,  // bytes after a 2xx to CONNECT, which opens a tunnel
};

struct ReplyScan {
  std::vector<int> statuses;  // of each final reply, the last maybe cut
  // The body of each final reply when a length or the close frames it,
  // else empty: the server target's summaries name the request they answer.
  std::vector<std::string_view> bodies;
  bool cut = false;  // the last reply was cut by the close
  ReplyFault fault = ReplyFault::none;
  const char *why = "";
  size_t offset = 0;  // where the faulty element starts
};

namespace detail {

inline bool is_tchar(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  if (c >= '0' && c <= '9') return true;
  constexpr std::string_view marks = "!#$%&'*+-.^_`|~";
  return c != '\0' && marks.find(static_cast<char>(c)) != marks.npos;
}

inline bool is_ctl(unsigned char c) { return c < 0x20 || c == 0x7f; }

inline bool is_hex(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

inline unsigned hex_value(unsigned char c) {
  if (c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}

inline bool is_token(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!is_tchar(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

inline bool is_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

inline bool equal_caseless(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  }
  return true;
}

// Without the optional whitespace (SP, HTAB) around a field value.
inline std::string_view trim_ows(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

// Whether the comma list |list| holds |token| (case-insensitive), as in
// "Connection: keep-alive, close".
inline bool list_has(std::string_view list, std::string_view token) {
  for (;;) {
    size_t comma = list.find(',');
    if (equal_caseless(trim_ows(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) return false;
    list.remove_prefix(comma + 1);
  }
}

// The last element of the comma list |list|.
inline std::string_view list_last(std::string_view list) {
  size_t comma = list.rfind(',');
  return trim_ows(comma == std::string_view::npos ? list
                                                  : list.substr(comma + 1));
}

// A decimal or hexadecimal length, saturated: a length past any input is
// as good as infinite, and a reader that wraps it around is what the
// readers here are meant to catch, not to copy.
constexpr uint64_t length_cap = uint64_t{1} << 48;

inline uint64_t decimal_length(std::string_view digits) {
  uint64_t n = 0;
  for (char c : digits) {
    n = n * 10 + static_cast<unsigned>(c - '0');
    if (n >= length_cap) return length_cap;
  }
  return n;
}

// Reads the bytes front to back.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : s_(bytes) {}

  size_t pos() const { return pos_; }
  bool at_end() const { return pos_ == s_.size(); }
  std::string_view rest() const { return s_.substr(pos_); }
  // Whether the last bad line held a LF without CR, rather than a CR
  // without LF.
  bool bare_lf() const { return bare_lf_; }
  // Whether the last line read ended with a LF alone.
  bool ended_by_lf() const { return lf_ended_; }

  // The next line, without its CRLF.  A line ends at CRLF only: a CR or LF
  // on its own is bad, for a reader that ends lines there would see other
  // lines than these (bare_lf() tells which).  When the bytes end first,
  // |*text| is as much of the line as there is, to be checked as the start
  // of one.
  // With |lf_ends|, a LF on its own ends the line too.
  // A NUL right before a LF ends the line as a CR does: libmicrohttpd
  // overwrites a line's CR with a NUL, so the two cannot be told apart
  // afterwards, and the line ends there for every reader.
  Scan line(std::string_view *text, bool lf_ends = false) {
    lf_ended_ = false;
    for (size_t i = pos_; i < s_.size(); i++) {
      // A LF alone after a lone colon: see fields().
      if (s_[i] == '\n' && i == pos_ + 1 && s_[pos_] == ':') {
        *text = s_.substr(pos_, 1);
        pos_ = i + 1;
        lf_ended_ = true;
        return Scan::ok;
      }
      bare_lf_ = s_[i] == '\n' && !(i > pos_ && s_[i - 1] == '\0');
      if (s_[i] == '\n' && !bare_lf_) {
        *text = s_.substr(pos_, i - 1 - pos_);
        pos_ = i + 1;
        return Scan::ok;
      }
      if (bare_lf_ && lf_ends) {
        *text = s_.substr(pos_, i - pos_);
        pos_ = i + 1;
        return Scan::ok;
      }
      if (bare_lf_) return Scan::bad;
      if (s_[i] != '\r') continue;
      if (i + 1 == s_.size()) break;
      if (s_[i + 1] != '\n') return Scan::bad;
      *text = s_.substr(pos_, i - pos_);
      pos_ = i + 2;
      return Scan::ok;
    }
    *text = s_.substr(pos_);
    if (!text->empty() && text->back() == '\r') text->remove_suffix(1);
    pos_ = s_.size();
    return Scan::cut;
  }

  // Whether an empty line comes next; one before a request is skipped
  // this way (RFC 9112 §2.2).  libmicrohttpd takes a LF alone for one
  // there, which hides nothing: the request line that follows is the
  // same for either reading.
  // A line that starts with a NUL is skipped too: libmicrohttpd takes it
  // for an empty one, and the request line after it is read the same.
  bool skip_crlf() {
    if (s_.substr(pos_, 1) == "\n") {
      pos_ += 1;
      return true;
    }
    if (s_.substr(pos_, 1) == std::string_view("\0", 1)) {
      size_t lf = s_.find('\n', pos_);
      if (lf == std::string_view::npos) return false;
      pos_ = lf + 1;
      return true;
    }
    if (s_.substr(pos_, 2) != "\r\n") return false;
    pos_ += 2;
    return true;
  }

  // Skips |n| bytes of content.
  Scan skip(uint64_t n) {
    if (n > s_.size() - pos_) {
      pos_ = s_.size();
      return Scan::cut;
    }
    pos_ += static_cast<size_t>(n);
    return Scan::ok;
  }

  // The CRLF that ends chunk data (with |lf_ends|, a LF does too).
  Scan crlf(bool lf_ends = false) {
    if (lf_ends && s_.substr(pos_, 1) == "\n") {
      pos_++;
      return Scan::ok;
    }
    std::string_view two = s_.substr(pos_, 2);
    if (std::string_view("\r\n").substr(0, two.size()) != two) {
      return Scan::bad;
    }
    pos_ += two.size();
    return two.size() == 2 ? Scan::ok : Scan::cut;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
  bool bare_lf_ = false;
  bool lf_ended_ = false;
};

// Checks a field line and splits it into name and value.  Returns nullptr,
// or what is wrong.  A line cut by the end of the bytes (!|whole|) is
// checked as far as it goes.
// |in_trailer|: a trailer's field, which the server reads past but never
// processes, so a NUL in its value (which libmicrohttpd would cut it at)
// changes nothing; its line still ends at its CRLF for every reader.
inline const char *field_line(std::string_view line, bool whole,
                              std::string_view *name, std::string_view *value,
                              bool in_trailer = false) {
  // RFC 9112 §5.2: a server must refuse a folded line, or replace the fold
  // by spaces; a proxy that keeps it as a field of its own disagrees with
  // one that joins it to the field before.
  if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
    return "a folded field line (obs-fold)";
  }
  size_t colon = 0;
  while (colon < line.size() &&
         is_tchar(static_cast<unsigned char>(line[colon]))) {
    colon++;
  }
  if (colon == line.size()) {
    return whole ? "a field line without a colon" : nullptr;
  }
  // "Name : v" is refused too (RFC 9112 §5.1): a reader that drops the
  // space reads a field that a reader keeping it does not.
  if (line[colon] == ' ' || line[colon] == '\t') {
    return "whitespace between a field name and its colon";
  }
  if (line[colon] != ':') return "a field name that is no token";
  if (colon == 0) return "an empty field name";
  *name = line.substr(0, colon);
  *value = trim_ows(line.substr(colon + 1));
  if (!in_trailer && value->find('\0') != std::string_view::npos) {
    return "a NUL in a field value";  // RFC 9110 §5.5
  }
  return nullptr;
}

// The fields of one head that decide how its body is framed and what
// follows it.
struct Head {
  std::string codings;      // every Transfer-Encoding, as one list
  std::string_view length;  // the first Content-Length
  unsigned codings_fields = 0;
  unsigned length_fields = 0;
  unsigned hosts = 0;
  bool lengths_differ = false;
  bool close = false;  // Connection holds "close"
};

inline void head_add(Head *h, std::string_view name, std::string_view value) {
  if (equal_caseless(name, "Transfer-Encoding")) {
    if (h->codings_fields++ != 0) h->codings += ", ";
    h->codings += value;
  } else if (equal_caseless(name, "Content-Length")) {
    if (h->length_fields++ == 0) {
      h->length = value;
    } else if (value != h->length) {
      h->lengths_differ = true;
    }
  } else if (equal_caseless(name, "Host")) {
    h->hosts++;
  } else if (equal_caseless(name, "Connection")) {
    h->close = h->close || list_has(value, "close");
  }
}

// Reads field lines up to the empty line that ends them, for a head or a
// chunked body's trailer (|lf_ends| as for its chunks).  Returns ok, cut,
// or bad with |*why| set.
inline Scan fields(Cursor *c, Head *h, const char **why,
                   bool lf_ends = false, bool in_trailer = false) {
  for (;;) {
    std::string_view line, name, value;
    Scan s = c->line(&line, lf_ends);
    if (s == Scan::bad) {
      *why = c->bare_lf() ? "a LF without CR in a head"
                          : "a CR without LF in a head";
      return s;
    }
    if (s == Scan::ok && line.empty()) return Scan::ok;
    // libmicrohttpd takes a lone colon ended by a LF for the empty line that
    // ends a head: it overwrites both with NULs as it parses, and nothing
    // tells them apart afterwards.  (Ended by a CRLF, the library sees the
    // extra byte and refuses it.)  A proxy that took the line for a field
    // would have to accept both a field without a name and a bare LF.
    if (s == Scan::ok && line == ":" && c->ended_by_lf()) return Scan::ok;
    if (const char *fault =
            field_line(line, s == Scan::ok, &name, &value, in_trailer)) {
      *why = fault;
      return Scan::bad;
    }
    if (s == Scan::cut) return s;
    head_add(h, name, value);
  }
}

// A chunk-size line: hex digits, then chunk extensions, which are not read
// further than that they start with ';' and hold no control byte but HTAB.
inline const char *chunk_size_line(std::string_view line, bool whole,
                                   uint64_t *size) {
  size_t i = 0;
  uint64_t n = 0;
  while (i < line.size() && is_hex(static_cast<unsigned char>(line[i]))) {
    n = n * 16 + hex_value(static_cast<unsigned char>(line[i]));
    if (n >= length_cap) n = length_cap;
    i++;
  }
  if (i == 0 && (whole || !line.empty())) return "a chunk without a size";
  std::string_view ext = trim_ows(line.substr(i));
  if (!ext.empty() && ext[0] != ';') return "bytes after a chunk size";
  for (char c : ext) {
    if (c != '\t' && is_ctl(static_cast<unsigned char>(c))) {
      return "a control byte in a chunk extension";
    }
  }
  *size = n;
  return nullptr;
}

// Reads a chunked body up to the end of its trailer.  With |lf_ends| a LF
// on its own ends a chunk's lines, as libmicrohttpd reads a request body
// (RFC 9112 §2.2 lets a recipient): it decodes the chunks before the
// library sees any, so the library cannot refuse such a body.  A proxy
// that reads on past such a LF (in a chunk extension, say) would disagree;
// that gap is libmicrohttpd's.
inline Scan chunked(Cursor *c, const char **why, bool lf_ends = false) {
  for (;;) {
    std::string_view line;
    Scan s = c->line(&line, lf_ends);
    if (s == Scan::bad) {
      *why = c->bare_lf() ? "a LF without CR in a chunk-size line"
                          : "a CR without LF in a chunk-size line";
      return s;
    }
    uint64_t size = 0;
    if (const char *fault = chunk_size_line(line, s == Scan::ok, &size)) {
      *why = fault;
      return Scan::bad;
    }
    if (s == Scan::cut) return s;
    if (size == 0) {
      Head trailer;
      return fields(c, &trailer, why, lf_ends, true);
    }
    if (c->skip(size) == Scan::cut) return Scan::cut;
    s = c->crlf(lf_ends);
    if (s == Scan::bad) *why = "chunk data not followed by CRLF";
    if (s != Scan::ok) return s;
  }
}

// Checks a request line "method SP request-target SP HTTP/1.x".  Returns
// nullptr, or what is wrong.
inline const char *request_line(std::string_view line, bool *http11) {
  size_t sp1 = line.find(' ');
  size_t sp2 = line.find(' ', sp1 + 1);
  if (sp1 == std::string_view::npos || sp2 == std::string_view::npos) {
    return "a request line with fewer than two spaces";
  }
  // A reader that takes the target up to the last space would find another
  // target, and maybe another version, than one that stops at the second.
  if (line.find(' ', sp2 + 1) != std::string_view::npos) {
    return "a request line with more than two spaces";
  }
  if (!is_token(line.substr(0, sp1))) return "a method that is no token";
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  if (target.empty()) return "an empty request target";
  for (char c : target) {
    if (is_ctl(static_cast<unsigned char>(c))) {
      return "a control byte in the request target";
    }
  }
  std::string_view version = line.substr(sp2 + 1);
  // RFC 9110 §2.5: a later minor version of HTTP/1 is read as the latest
  // the server knows, 1.1.
  if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." ||
      version[7] < '0' || version[7] > '9') {
    return "a version other than HTTP/1.x";
  }
  *http11 = version != "HTTP/1.0";
  return nullptr;
}

// Reads one request.  Returns ok, cut, or bad with |*why| set.  |*method|
// is set even when the request line is bad, from what stands before its
// first space: a lenient server may answer by it, HEAD without a body.
inline Scan request(Cursor *c, std::string *method, bool *close,
                    const char **why) {
  std::string_view rest = c->rest();
  std::string_view first = rest.substr(0, rest.find(' '));
  if (first.size() < rest.size() && is_token(first)) *method = first;
  std::string_view line;
  Scan s = c->line(&line);
  if (s == Scan::bad) {
    *why = c->bare_lf() ? "a LF without CR in the request line"
                        : "a CR without LF in the request line";
  }
  if (s != Scan::ok) return s;
  bool http11 = false;
  if (const char *fault = request_line(line, &http11)) {
    *why = fault;
    return Scan::bad;
  }
  Head h;
  if (s = fields(c, &h, why); s != Scan::ok) return s;
  // RFC 9112 §3.2: one Host in HTTP/1.1, never two.
  if (h.hosts > 1 || (http11 && h.hosts == 0)) {
    *why = http11 ? "an HTTP/1.1 or later request without exactly one Host"
                  : "a request with two Host fields";
    return Scan::bad;
  }
  *close = h.close;
  // RFC 9112 §6.1 and §6.3: a length beside a coding, a coding in HTTP/1.0
  // or one that is not chunked alone leaves the body's end to guesswork.
  if (h.codings_fields != 0) {
    if (h.length_fields != 0) {
      *why = "Content-Length beside Transfer-Encoding";
    } else if (!http11) {
      *why = "Transfer-Encoding in HTTP/1.0";
    } else if (!equal_caseless(trim_ows(h.codings), "chunked")) {
      *why = "a Transfer-Encoding other than chunked alone";
    } else {
      // The server closes after a chunked request: libmicrohttpd reads
      // chunk lines and trailers more leniently than a proxy may, so
      // nothing after such a body is read as a request.
      *close = true;
      return chunked(c, why, true);
    }
    return Scan::bad;
  }
  if (h.length_fields != 0) {
    if (!is_digits(h.length)) {
      *why = "a Content-Length that is not all digits";
      return Scan::bad;
    }
    if (h.lengths_differ) {
      *why = "Content-Length fields that differ";
      return Scan::bad;
    }
    return c->skip(decimal_length(h.length));
  }
  return Scan::ok;
}

// Checks as much of a status line "HTTP/1.1 DDD reason" as there is: all
// of it when |whole|.  Sets |*status| once its three digits are there.
inline bool status_line(std::string_view line, bool whole, int *status) {
  constexpr std::string_view version = "HTTP/1.1 ";
  if (version.substr(0, line.size()) != line.substr(0, version.size())) {
    return false;
  }
  if (line.size() < version.size()) return !whole;
  std::string_view rest = line.substr(version.size());
  int code = 0;
  for (size_t i = 0; i < 3; i++) {
    if (i == rest.size()) return !whole;
    if (rest[i] < '0' || rest[i] > '9') return false;
    code = code * 10 + (rest[i] - '0');
  }
  if (code < 100) return false;
  *status = code;
  if (rest.size() == 3) return !whole;
  if (rest[3] != ' ') return false;
  for (char c : rest.substr(4)) {
    if (c != '\t' && is_ctl(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace detail

// Counts the requests of |bytes| a strict server accepts, up to the first
// thing it refuses or the first request after which it closes.
inline RequestScan scan_requests(std::string_view bytes) {
  RequestScan out;
  detail::Cursor c(bytes);
  for (;;) {
    while (c.skip_crlf()) {
    }
    out.offset = c.pos();
    if (c.at_end()) {
      out.stop = Stop::end;
      return out;
    }
    std::string method;
    bool close = false;
    Scan s = detail::request(&c, &method, &close, &out.why);
    if (s != Scan::ok) {
      out.stopped_method = method;
      out.stop = s == Scan::cut ? Stop::cut : Stop::refused;
      return out;
    }
    out.methods.push_back(method);
    if (close) {
      out.stop = Stop::closed;
      out.why = "Connection: close";
      return out;
    }
  }
}

// Reads |bytes| as the replies to requests whose methods are |methods|, in
// order (an empty method past their end), as a client would (RFC 9112
// §6.3): nothing after the head of a reply to HEAD or of a 1xx, 204 or 304,
// otherwise a chunked body, a Content-Length, or all the rest.  Interim
// (1xx) replies are skipped.  The last reply may be cut by the close.
inline ReplyScan scan_replies(std::string_view bytes,
                              const std::vector<std::string> &methods) {
  ReplyScan out;
  detail::Cursor c(bytes);
  // What the previous reply was, to name the fault when the bytes after it
  // start no reply.
  ReplyFault after = ReplyFault::first_line;
  auto fail = [&](ReplyFault fault, const char *why, size_t at) {
    out.fault = fault;
    out.why = why;
    out.offset = at;
    return out;
  };
  while (!c.at_end()) {
    size_t start = c.pos();
    size_t n = out.statuses.size();
    std::string_view method;
    if (n < methods.size()) method = methods[n];
    std::string_view line;
    Scan s = c.line(&line);
    int status = 0;
    if (s == Scan::bad || !detail::status_line(line, s == Scan::ok, &status)) {
      return fail(after, "no status line", start);
    }
    bool is_final = status >= 200 || status == 101;
    if (s == Scan::cut) {
      out.cut = status != 0 && is_final;
      if (out.cut) {
        out.statuses.push_back(status);
        out.bodies.emplace_back();
      }
      return out;
    }
    detail::Head h;
    const char *why = "";
    s = detail::fields(&c, &h, &why);
    if (s == Scan::bad) return fail(ReplyFault::head, why, start);
    // libmicrohttpd 0.9.75 writes the head of its own 400 and 413 for a
    // Content-Length it cannot read twice, before a page announced by the
    // first; the connection closes after it, so no later reply is misread.
    // The library never sees such a request to mend it; the copy is taken
    // as part of the one reply.
    std::string_view head_bytes = bytes.substr(start, c.pos() - start);
    if ((status == 400 || status == 413) &&
        c.rest().substr(0, head_bytes.size()) == head_bytes) {
      c.skip(head_bytes.size());
    }
    if (is_final) {
      out.statuses.push_back(status);
      out.bodies.emplace_back();
    }
    if (s == Scan::cut) {
      out.cut = is_final;
      return out;
    }
    // RFC 9112 §6.3 ¶2: after a 2xx to CONNECT, or a 101, the connection
    // carries another protocol; a server that tunnels nothing sends
    // nothing more.
    if ((method == "CONNECT" && status / 100 == 2) || status == 101) {
      if (c.at_end()) return out;
      return fail(ReplyFault::tunnel_bytes,
                  "bytes after a reply that opens a tunnel", c.pos());
    }
    if (!is_final) continue;
    if (method == "HEAD" || status == 204 || status == 304) {
      after =
          method == "HEAD" ? ReplyFault::head_body : ReplyFault::stray_bytes;
      continue;
    }
    after = ReplyFault::stray_bytes;
    size_t body = c.pos();
    if (h.codings_fields != 0) {
      // RFC 9112 §6.2: a server must not send both.
      if (h.length_fields != 0) {
        return fail(ReplyFault::framing,
                    "Content-Length beside Transfer-Encoding", start);
      }
      if (detail::equal_caseless(detail::list_last(h.codings), "chunked")) {
        s = detail::chunked(&c, &why);
        if (s == Scan::bad) return fail(ReplyFault::chunk, why, body);
        out.cut = s == Scan::cut;
        continue;
      }
      c.skip(bytes.size());  // a body that ends with the connection
    } else if (h.length_fields != 0) {
      if (!detail::is_digits(h.length) || h.lengths_differ) {
        return fail(ReplyFault::framing, "a bad Content-Length", start);
      }
      out.cut = c.skip(detail::decimal_length(h.length)) == Scan::cut;
    } else {
      c.skip(bytes.size());
    }
    out.bodies.back() = bytes.substr(body, c.pos() - body);
  }
  return out;
}

}  // namespace oxfuzz::http

#endif  // OX_FUZZ_HTTP_STRICT_H
