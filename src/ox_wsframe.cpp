// The WebSocket wire format, server side: the handshake's accept key, the
// permessage-deflate offer reader, the frame reader and the frame writer.
#include "ox_wsframe.h"

#include <gnutls/crypto.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_extra.h"

namespace {

// ---------------------------------------------------------------------------
// The handshake key
// ---------------------------------------------------------------------------

constexpr char ws_guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr size_t ws_key_len = 24;  // base64 of 16 bytes, "==" included
constexpr char base64_digits[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";


// Writes the padded base64 of the |size| bytes at |in| and a NUL to |out|.
void base64_encode(const uint8_t *in, size_t size, char *out) noexcept {
  for (size_t i = 0; i < size; i += 3) {
    size_t n = std::min<size_t>(3, size - i);
    uint32_t group = static_cast<uint32_t>(in[i]) << 16;
    if (n > 1) group |= static_cast<uint32_t>(in[i + 1]) << 8;
    if (n > 2) group |= in[i + 2];
    *out++ = base64_digits[group >> 18];
    *out++ = base64_digits[group >> 12 & 63];
    *out++ = n > 1 ? base64_digits[group >> 6 & 63] : '=';
    *out++ = n > 2 ? base64_digits[group & 63] : '=';
  }
  *out = '\0';
}

bool ws_blank(char c) noexcept { return c == ' ' || c == '\t'; }

// True when the |len| characters at |key| are the base64 of 16 bytes: 22
// digits and "==", the last digit carrying 2 bits of data and 4 of zeros
// (any other digit there would be a 17th byte's beginning).
bool ws_key_valid(const char *key, size_t len) noexcept {
  if (len != ws_key_len || key[22] != '=' || key[23] != '=') return false;
  for (size_t i = 0; i < 22; i++) {
    if (ox__base64_value(key[i]) < 0) return false;
  }
  return (ox__base64_value(key[21]) & 0x0f) == 0;
}

// ---------------------------------------------------------------------------
// permessage-deflate offers
// ---------------------------------------------------------------------------

// An RFC 7230 token character.
bool wsext_tchar(char c) noexcept {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
      (c >= '0' && c <= '9')) {
    return true;
  }
  return c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

void wsext_ows(const char *&p) noexcept {
  while (ws_blank(*p)) p++;
}

// The token at |p| (empty when there is none), |p| moved past it.
std::string_view wsext_token(const char *&p) noexcept {
  const char *start = p;
  while (wsext_tchar(*p)) p++;
  return {start, static_cast<size_t>(p - start)};
}

bool wsext_is(std::string_view name, std::string_view want) noexcept {
  if (name.size() != want.size()) return false;
  for (size_t i = 0; i < name.size(); i++) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != want[i]) return false;
  }
  return true;
}

// A parameter's value, a token or a quoted string's content unescaped.  The
// values that matter here are window sizes of one or two digits, so only
// the first few characters are kept; |len| counts them all.
struct wsext_value {
  char text[4];
  size_t len = 0;
  void add(char c) noexcept {
    if (len < sizeof text) text[len] = c;
    len++;
  }
};

// Reads a value at |p|; false when there is none or a quote is not closed.
bool wsext_read_value(const char *&p, wsext_value *v) noexcept {
  if (*p != '"') {
    while (wsext_tchar(*p)) v->add(*p++);
    return v->len != 0;
  }
  for (p++; *p != '"'; p++) {
    if (*p == '\\') p++;
    if (*p == '\0') return false;
    v->add(*p);
  }
  p++;
  return true;
}

// Window bits as RFC 7692 writes them: 8 to 15, no leading zero; 0 for
// anything else (a quoted value must be the same digits).
int wsext_window_bits(const wsext_value &v) noexcept {
  if (v.len == 1 && (v.text[0] == '8' || v.text[0] == '9')) {
    return v.text[0] - '0';
  }
  if (v.len == 2 && v.text[0] == '1' && v.text[1] >= '0' && v.text[1] <= '5') {
    return 10 + v.text[1] - '0';
  }
  return 0;
}

// What one permessage-deflate offer asks.
struct wsext_offer {
  bool valid = true;  // no unknown, repeated or malformed parameter
  bool server_no_context = false;
  bool client_no_context = false;
  int server_bits = 0;  // 0: not offered
  bool client_bits_offered = false;
  int client_bits = 0;  // 0: offered without a value, or not offered
};

// Takes one parameter of a permessage-deflate offer; false when it makes
// the offer unacceptable.
bool wsext_param(wsext_offer *o, std::string_view name, bool has_value,
                 const wsext_value &v) noexcept {
  if (wsext_is(name, "server_no_context_takeover")) {
    if (has_value || o->server_no_context) return false;
    o->server_no_context = true;
    return true;
  }
  if (wsext_is(name, "client_no_context_takeover")) {
    if (has_value || o->client_no_context) return false;
    o->client_no_context = true;
    return true;
  }
  if (wsext_is(name, "server_max_window_bits")) {
    if (!has_value || o->server_bits != 0) return false;
    o->server_bits = wsext_window_bits(v);
    // zlib's raw deflate refuses a window of 8 bits (it would silently use
    // 9, more than the client allowed): such an offer is declined.
    return o->server_bits >= 9;
  }
  if (wsext_is(name, "client_max_window_bits")) {
    if (o->client_bits_offered) return false;
    o->client_bits_offered = true;
    if (!has_value) return true;
    o->client_bits = wsext_window_bits(v);
    return o->client_bits != 0;
  }
  return false;
}

// Moves |p| past the rest of a list element and its comma, quoted strings
// included (they may hold commas).
void wsext_skip_element(const char *&p) noexcept {
  while (*p != '\0' && *p != ',') {
    if (*p++ != '"') continue;
    while (*p != '\0' && *p != '"') {
      if (*p == '\\' && p[1] != '\0') p++;
      p++;
    }
    if (*p == '"') p++;
  }
  if (*p == ',') p++;
}

// Reads one list element ("name; param=value; flag") and its comma.  True
// when it is a well-formed permessage-deflate offer (|o| then says what it
// asks and whether that is acceptable); other extensions, empty elements
// and malformed ones give false.
bool wsext_read_offer(const char *&p, wsext_offer *o) noexcept {
  wsext_ows(p);
  std::string_view name = wsext_token(p);
  bool deflate = wsext_is(name, "permessage-deflate");
  bool sound = !name.empty() || *p == ',';  // an empty element is allowed
  while (sound) {
    wsext_ows(p);
    if (*p == '\0') break;
    if (*p == ',') {
      p++;
      break;
    }
    if (*p != ';') {
      sound = false;
      break;
    }
    p++;
    wsext_ows(p);
    std::string_view param = wsext_token(p);
    wsext_ows(p);
    wsext_value value;
    bool has_value = *p == '=';
    if (has_value) {
      p++;
      wsext_ows(p);
      sound = wsext_read_value(p, &value);
    }
    sound = sound && !param.empty();
    if (sound && deflate && o->valid) {
      o->valid = wsext_param(o, param, has_value, value);
    }
  }
  if (!sound) wsext_skip_element(p);
  return sound && deflate;
}

// Writes the reply header value for the accepted offer |o| and fills
// |out|; false when |reply| is too small.
bool wsext_accept(const wsext_offer &o, ox__wsdeflate *out, char *reply,
                  size_t reply_size) noexcept {
  char server_bits[32] = "";
  char client_bits[32] = "";
  if (o.server_bits != 0) {
    snprintf(server_bits, sizeof server_bits, "; server_max_window_bits=%d",
             o.server_bits);
  }
  if (o.client_bits != 0) {
    snprintf(client_bits, sizeof client_bits, "; client_max_window_bits=%d",
             o.client_bits);
  }
  int n = snprintf(reply, reply_size, "permessage-deflate%s%s%s%s",
                   o.server_no_context ? "; server_no_context_takeover" : "",
                   o.client_no_context ? "; client_no_context_takeover" : "",
                   server_bits, client_bits);
  if (n < 0 || static_cast<size_t>(n) >= reply_size) {
    reply[0] = '\0';
    return false;
  }
  out->on = true;
  out->server_no_context = o.server_no_context;
  out->client_no_context = o.client_no_context;
  out->server_window = static_cast<uint8_t>(o.server_bits ? o.server_bits : 15);
  out->client_window = static_cast<uint8_t>(o.client_bits ? o.client_bits : 15);
  return true;
}

// ---------------------------------------------------------------------------
// UTF-8
// ---------------------------------------------------------------------------

// The check's state between bytes: 0 between characters, utf8_bad after an
// invalid byte, otherwise (count << 16 | hi << 8 | lo): |count|
// continuation bytes are still to come, the next one within [lo, hi].
// The ranges of the first continuation byte are what rule out overlong
// forms, surrogates and code points above U+10FFFF.
constexpr uint32_t utf8_bad = 1;
constexpr uint64_t utf8_high_bits = 0x8080808080808080u;

constexpr uint32_t utf8_expect(uint32_t count, uint32_t lo,
                               uint32_t hi) noexcept {
  return count << 16 | hi << 8 | lo;
}

// The state after the first byte |b| of a multi-byte character.
uint32_t utf8_lead(uint8_t b) noexcept {
  if (b < 0xc2) return utf8_bad;  // a continuation, or an overlong 2-byte
  if (b < 0xe0) return utf8_expect(1, 0x80, 0xbf);
  if (b == 0xe0) return utf8_expect(2, 0xa0, 0xbf);  // overlong below
  if (b == 0xed) return utf8_expect(2, 0x80, 0x9f);  // surrogates above
  if (b < 0xf0) return utf8_expect(2, 0x80, 0xbf);
  if (b == 0xf0) return utf8_expect(3, 0x90, 0xbf);  // overlong below
  if (b < 0xf4) return utf8_expect(3, 0x80, 0xbf);
  if (b == 0xf4) return utf8_expect(3, 0x80, 0x8f);  // over U+10FFFF above
  return utf8_bad;
}

uint32_t utf8_continue(uint32_t state, uint8_t b) noexcept {
  if (b < (state & 0xff) || b > (state >> 8 & 0xff)) return utf8_bad;
  uint32_t count = (state >> 16) - 1;
  return count != 0 ? utf8_expect(count, 0x80, 0xbf) : 0;
}

// Carries the check in |state| over the |n| bytes at |p|.  Runs of ASCII
// go 8 bytes at a time: most text is mostly ASCII.
uint32_t utf8_run(uint32_t state, const uint8_t *p, size_t n) noexcept {
  const uint8_t *end = p + n;
  while (p != end) {
    if (state == 0) {
      while (end - p >= 8) {
        uint64_t word;
        memcpy(&word, p, sizeof word);
        if ((word & utf8_high_bits) != 0) break;
        p += 8;
      }
      while (p != end && *p < 0x80) p++;
      if (p == end) break;
      state = utf8_lead(*p++);
    } else {
      state = utf8_continue(state, *p++);
    }
    if (state == utf8_bad) return utf8_bad;
  }
  return state;
}

// ---------------------------------------------------------------------------
// The reader
// ---------------------------------------------------------------------------

constexpr uint8_t ws_fin = 0x80;
constexpr uint8_t ws_rsv1 = 0x40;
constexpr uint8_t ws_rsv23 = 0x30;
constexpr uint8_t ws_opcode = 0x0f;
constexpr uint8_t ws_masked = 0x80;
constexpr uint8_t ws_len7 = 0x7f;
constexpr size_t ws_control_max = 125;
// Sync flushes end in this empty stored block; the sender drops it and the
// receiver puts it back before inflating.
constexpr uint8_t ws_flush_tail[4] = {0x00, 0x00, 0xff, 0xff};
// Where an empty payload points: never NULL, so memcpy() of it is defined.
constexpr uint8_t ws_empty[1] = {0};
// Inflating always uses the largest window: a client may use any smaller
// one, and a larger window reads those streams too.
constexpr int ws_inflate_bits = -15;
// zlib takes at most UINT_MAX bytes a call, in and out.
constexpr size_t ws_zstep = 1u << 30;

// A protocol failure: the close code and the text for the log.
struct ws_error {
  uint16_t code = 0;
  const char *why = nullptr;
};

constexpr ws_error ws_ok{};
constexpr ws_error ws_no_memory{ox__ws_internal, "out of memory"};

bool ws_control(uint8_t op) noexcept { return (op & 0x08) != 0; }

bool ws_op_known(uint8_t op) noexcept {
  return op <= 0x2 || (op >= 0x8 && op <= 0xa);
}

// Close codes an endpoint may send; the others are reserved, unassigned
// or only for reporting locally.
bool ws_close_code_ok(uint16_t code) noexcept {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
         (code >= 3000 && code <= 4999);
}

// Header bytes of a client frame whose second byte is |b1|, mask included.
size_t ws_head_size(uint8_t b1) noexcept {
  uint8_t len7 = b1 & ws_len7;
  return 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + 4;
}

uint64_t ws_be(const uint8_t *p, size_t n) noexcept {
  uint64_t v = 0;
  for (size_t i = 0; i < n; i++) v = v << 8 | p[i];
  return v;
}

// Unmasks the |n| payload bytes at |p|, which start |at| bytes into the
// payload, 8 bytes at a time.
void ws_unmask(uint8_t *p, size_t n, const uint8_t mask[4],
               uint64_t at) noexcept {
  uint8_t key[8];
  for (size_t i = 0; i < 8; i++) key[i] = mask[(at + i) & 3];
  uint64_t key64;
  memcpy(&key64, key, sizeof key64);
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t word;
    memcpy(&word, p, sizeof word);
    word ^= key64;
    memcpy(p, &word, sizeof word);
  }
  for (size_t i = 0; i < n; i++) p[i] ^= key[i];
}

// The message limit as a size, small enough that sums with it cannot wrap.
size_t wsread_limit(const ox__wsreader *r) noexcept {
  return static_cast<size_t>(std::min<uint64_t>(r->message_max, SIZE_MAX / 4));
}

// Compressed bytes a message may have on the wire: deflate adds 5 bytes a
// stored block (up to 64 KiB) and a flush, so data that does not compress
// grows by far less than this.
size_t wsread_wire_limit(const ox__wsreader *r) noexcept {
  size_t limit = wsread_limit(r);
  return limit + limit / 16 + 64;
}

// Releases the blocks of the last message handed out, so that an idle
// connection holds none.
void wsread_release(ox__wsreader *r) noexcept {
  ox_free(r->buf);
  r->buf = nullptr;
  r->buf_len = 0;
  r->buf_room = 0;
  ox_free(r->out);
  r->out = nullptr;
  r->out_len = 0;
  r->out_room = 0;
}

void wsread_free_inflater(ox__wsreader *r) noexcept {
  if (r->inflater == nullptr) return;
  inflateEnd(r->inflater);
  ox_free(r->inflater);
  r->inflater = nullptr;
}

void wsread_event(ox__wsresult *out, ox__wsevent event, uint8_t op,
                  uint16_t code, const uint8_t *data, size_t size) noexcept {
  *out = ox__wsresult{event, static_cast<ox__wsop>(op),
                      code,  size != 0 ? data : ws_empty,
                      size,  nullptr};
}

// Fails the connection: what the reader holds goes at once.
void wsread_fail(ox__wsreader *r, ws_error e, ox__wsresult *out) noexcept {
  wsread_release(r);
  wsread_free_inflater(r);
  r->failed = e.code;
  r->failed_why = e.why;
  wsread_event(out, ox__wsevent::fail, 0, e.code, nullptr, 0);
  out->why = e.why;
}

// Grows the gathering block to hold |need| bytes, doubling so that a
// message coming in small pieces is copied O(log n) times.  |need| is
// never over the message limit plus a control frame.
bool wsread_reserve(ox__wsreader *r, size_t need) noexcept {
  if (need <= r->buf_room) return true;
  size_t most = wsread_limit(r) + ws_control_max;
  size_t room =
      std::max(need, std::min(most, std::max<size_t>(r->buf_room * 2, 256)));
  auto *grown = static_cast<uint8_t *>(ox_realloc(r->buf, room));
  if (grown == nullptr) return false;
  r->buf = grown;
  r->buf_room = room;
  return true;
}

// What the first two header bytes |b0| and |b1| alone can break.
ws_error wsread_check_start(const ox__wsreader *r, uint8_t b0,
                            uint8_t b1) noexcept {
  uint8_t op = b0 & ws_opcode;
  if ((b0 & ws_rsv23) != 0) return {ox__ws_protocol, "RSV2 or RSV3 set"};
  if (!ws_op_known(op)) return {ox__ws_protocol, "an unknown opcode"};
  if ((b1 & ws_masked) == 0) return {ox__ws_protocol, "an unmasked frame"};
  if (ws_control(op)) {
    if ((b0 & ws_fin) == 0) {
      return {ox__ws_protocol, "a fragmented control frame"};
    }
    if ((b1 & ws_len7) > ws_control_max) {
      return {ox__ws_protocol, "a control frame over 125 bytes"};
    }
    if ((b0 & ws_rsv1) != 0) return {ox__ws_protocol, "RSV1 on a control"};
    return ws_ok;
  }
  if (op == 0x0) {
    if (r->msg_op == 0) {
      return {ox__ws_protocol, "a continuation outside a message"};
    }
    if ((b0 & ws_rsv1) != 0) {
      return {ox__ws_protocol, "RSV1 on a continuation"};
    }
    return ws_ok;
  }
  if (r->msg_op != 0) {
    return {ox__ws_protocol, "a new message inside a fragmented one"};
  }
  if ((b0 & ws_rsv1) != 0 && !r->deflate.on) {
    return {ox__ws_protocol, "RSV1 without permessage-deflate"};
  }
  return ws_ok;
}

// Takes the whole header at |h|: checks it and readies its payload.
ws_error wsread_begin_frame(ox__wsreader *r, const uint8_t *h) noexcept {
  if (ws_error e = wsread_check_start(r, h[0], h[1]); e.code != 0) return e;
  uint8_t op = h[0] & ws_opcode;
  uint8_t len7 = h[1] & ws_len7;
  size_t mask_at = 2;
  uint64_t size = len7;
  if (len7 == 126) {
    size = ws_be(h + 2, 2);
    mask_at = 4;
  } else if (len7 == 127) {
    size = ws_be(h + 2, 8);
    mask_at = 10;
    if ((size >> 63) != 0) {
      return {ox__ws_protocol, "a 64-bit length with its top bit set"};
    }
  }
  if (!ws_control(op)) {
    bool first = op != 0x0;
    bool compressed = first ? (h[0] & ws_rsv1) != 0 : r->msg_compressed;
    uint64_t held = first ? 0 : compressed ? r->msg_wire : r->buf_len;
    uint64_t most = compressed ? wsread_wire_limit(r) : wsread_limit(r);
    // Refused on its length alone, before a byte of it is held.
    if (size > most - held) return {ox__ws_too_big, "a message over the limit"};
    if (first) {
      r->msg_op = op;
      r->msg_compressed = compressed;
      r->msg_wire = 0;
      r->utf8_state = 0;
    }
    if (compressed) r->msg_wire += size;
  }
  memcpy(r->mask, h + mask_at, sizeof r->mask);
  r->frame_op = op;
  r->frame_fin = (h[0] & ws_fin) != 0;
  r->frame_rsv1 = (h[0] & ws_rsv1) != 0;
  r->frame_left = size;
  r->mask_at = 0;
  r->in_payload = true;
  r->head_len = 0;
  return ws_ok;
}

// Reads the next frame's header off |*data|: false while it is incomplete
// (every byte given taken) or when it fails (|*err|).  A header found whole
// is read where it lies; one cut short is gathered in |r->head|, its first
// two bytes checked as soon as they are in, as a header read whole would
// check them first too.
bool wsread_head(ox__wsreader *r, uint8_t **data, size_t *len,
                 ws_error *err) noexcept {
  const uint8_t *h = *data;
  if (r->head_len == 0 && *len >= 2 && *len >= ws_head_size(h[1])) {
    size_t size = ws_head_size(h[1]);
    *data += size;
    *len -= size;
  } else {
    size_t want = r->head_len < 2 ? 2 : ws_head_size(r->head[1]);
    while (r->head_len < want) {
      if (*len == 0) return false;
      size_t take = std::min(want - r->head_len, *len);
      memcpy(r->head + r->head_len, *data, take);
      r->head_len = static_cast<uint8_t>(r->head_len + take);
      *data += take;
      *len -= take;
      if (r->head_len == 2) {
        *err = wsread_check_start(r, r->head[0], r->head[1]);
        if (err->code != 0) return false;
        want = ws_head_size(r->head[1]);
      }
    }
    h = r->head;
  }
  *err = wsread_begin_frame(r, h);
  return err->code == 0;
}

// The event of the control frame whose payload is the |n| bytes at |p|.
void wsread_control_event(ox__wsreader *r, const uint8_t *p, size_t n,
                          ox__wsresult *out) noexcept {
  uint8_t op = r->frame_op;
  if (op == 0x9) return wsread_event(out, ox__wsevent::ping, op, 0, p, n);
  if (op == 0xa) return wsread_event(out, ox__wsevent::pong, op, 0, p, n);
  if (n == 0) {
    return wsread_event(out, ox__wsevent::close, op, 1005, p, 0);
  }
  if (n == 1) {
    return wsread_fail(r, {ox__ws_protocol, "a close frame of one byte"}, out);
  }
  auto code = static_cast<uint16_t>(ws_be(p, 2));
  if (!ws_close_code_ok(code)) {
    return wsread_fail(r, {ox__ws_protocol, "a close code not to be sent"},
                       out);
  }
  if (!ox__utf8_valid(p + 2, n - 2)) {
    return wsread_fail(r, {ox__ws_bad_data, "a close reason not UTF-8"}, out);
  }
  wsread_event(out, ox__wsevent::close, op, code, p + 2, n - 2);
}

// What a piece of payload led to.
enum class ws_step { event, more, next_frame };

// The failure of text whose check ended in |state| (ok: none), the same
// whether the text came whole or in pieces.
ws_error wsread_text_end(uint32_t state) noexcept {
  if (state == utf8_bad) return {ox__ws_bad_data, "text that is not UTF-8"};
  if (state != 0) return {ox__ws_bad_data, "text ending inside a character"};
  return ws_ok;
}

// A control frame's payload piece |p|, |n| bytes: handed out in place when
// the frame came whole, else gathered after the message under way.
ws_step wsread_control(ox__wsreader *r, const uint8_t *p, size_t n, bool whole,
                       ox__wsresult *out) noexcept {
  if (whole) {
    wsread_control_event(r, p, n, out);
    return ws_step::event;
  }
  size_t at = r->buf_len + static_cast<size_t>(r->mask_at - n);
  if (!wsread_reserve(r, at + n)) {
    wsread_fail(r, ws_no_memory, out);
    return ws_step::event;
  }
  if (n != 0) memcpy(r->buf + at, p, n);
  if (r->frame_left != 0) return ws_step::more;
  wsread_control_event(r, r->buf + r->buf_len, static_cast<size_t>(r->mask_at),
                       out);
  return ws_step::event;
}

// Hands out the data message that ends here, |n| bytes at |p|.
ws_step wsread_message(ox__wsreader *r, const uint8_t *p, size_t n,
                       ox__wsresult *out) noexcept {
  uint8_t op = r->msg_op;
  r->msg_op = 0;
  wsread_event(out, ox__wsevent::message, op, 0, p, n);
  return ws_step::event;
}

// An uncompressed data payload piece.  A whole unfragmented frame is
// handed out where it lies, without a copy; anything else is gathered, its
// UTF-8 checked as it comes so that bad text fails before the message ends.
ws_step wsread_plain(ox__wsreader *r, const uint8_t *p, size_t n, bool whole,
                     ox__wsresult *out) noexcept {
  bool text = r->msg_op == 0x1;
  if (whole && r->frame_fin && r->frame_op != 0x0) {
    ws_error e = text ? wsread_text_end(utf8_run(0, p, n)) : ws_ok;
    if (e.code != 0) {
      wsread_fail(r, e, out);
      return ws_step::event;
    }
    return wsread_message(r, p, n, out);
  }
  if (n != 0) {
    if (!wsread_reserve(r, r->buf_len + n)) {
      wsread_fail(r, ws_no_memory, out);
      return ws_step::event;
    }
    memcpy(r->buf + r->buf_len, p, n);
    r->buf_len += n;
    if (text) r->utf8_state = utf8_run(r->utf8_state, p, n);
  }
  bool ended = r->frame_left == 0 && r->frame_fin;
  // A character may be cut between pieces, not across the message's end.
  uint32_t state = r->utf8_state;
  ws_error e = wsread_text_end(ended || state == utf8_bad ? state : 0);
  if (e.code != 0) {
    wsread_fail(r, e, out);
    return ws_step::event;
  }
  if (r->frame_left != 0) return ws_step::more;
  if (!r->frame_fin) return ws_step::next_frame;
  return wsread_message(r, r->buf, r->buf_len, out);
}

// Starts the inflater on the first compressed message.
bool wsread_inflater(ox__wsreader *r) noexcept {
  if (r->inflater != nullptr) return true;
  auto *zs = static_cast<z_stream *>(ox_alloc(sizeof(z_stream)));
  if (zs == nullptr) return false;
  zs->zalloc = ox__zalloc;
  zs->zfree = ox__zfree;
  if (inflateInit2(zs, ws_inflate_bits) != Z_OK) {
    ox_free(zs);
    return false;
  }
  r->inflater = zs;
  return true;
}

// After a final block the client may go on with a new deflate stream whose
// matches still reach back into the old one: start it with the old window.
ws_error wsread_restart_inflate(z_stream *zs) noexcept {
  auto *window = static_cast<Bytef *>(ox__std_malloc(32768));
  if (window == nullptr) return ws_no_memory;
  uInt size = 0;
  inflateGetDictionary(zs, window, &size);
  inflateReset(zs);
  if (size != 0) inflateSetDictionary(zs, window, size);
  ox_free(window);
  return ws_ok;
}

// Makes room for more inflated bytes: doubling, up to one byte past the
// limit, which is how a message over it shows.
bool wsread_grow_out(ox__wsreader *r) noexcept {
  size_t most = wsread_limit(r) + 1;
  size_t room = std::min(most, std::max<size_t>(r->out_room * 2, 1024));
  auto *grown = static_cast<uint8_t *>(ox_realloc(r->out, room));
  if (grown == nullptr) return false;
  r->out = grown;
  r->out_room = room;
  return true;
}

// Inflates what the inflater was given, into |r->out|, in steps no larger
// than the room left under the limit: a few bytes that inflate to much
// more fail as soon as they pass it.
ws_error wsread_inflate_input(ox__wsreader *r) noexcept {
  z_stream *zs = r->inflater;
  size_t limit = wsread_limit(r);
  while (true) {
    if (r->out_len == r->out_room && !wsread_grow_out(r)) return ws_no_memory;
    size_t room = std::min(r->out_room - r->out_len, ws_zstep);
    zs->next_out = r->out + r->out_len;
    zs->avail_out = static_cast<uInt>(room);
    int rc = inflate(zs, Z_SYNC_FLUSH);
    r->out_len += room - zs->avail_out;
    if (r->out_len > limit) return {ox__ws_too_big, "a message over the limit"};
    if (rc == Z_STREAM_END) {
      r->inflate_ended = zs->avail_in == 0;
      if (ws_error e = wsread_restart_inflate(zs); e.code != 0) return e;
      if (zs->avail_in == 0) return ws_ok;
      continue;
    }
    if (rc == Z_MEM_ERROR) return ws_no_memory;
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      return {ox__ws_bad_data, "compressed data that does not inflate"};
    }
    // Room left over means the input is used up and nothing is pending.
    if (zs->avail_out != 0) return ws_ok;
  }
}

// Inflates the |n| compressed bytes at |p|.
ws_error wsread_inflate(ox__wsreader *r, const uint8_t *p, size_t n) noexcept {
  if (!wsread_inflater(r)) return ws_no_memory;
  while (n != 0) {
    size_t step = std::min(n, ws_zstep);
    r->inflate_ended = false;
    r->inflater->next_in = const_cast<Bytef *>(p);
    r->inflater->avail_in = static_cast<uInt>(step);
    if (ws_error e = wsread_inflate_input(r); e.code != 0) return e;
    p += step;
    n -= step;
  }
  return ws_ok;
}

// Ends a compressed message: the flush's empty block goes back on its end,
// unless the message was empty or ended with its own final block, and
// the inflater must then stand between blocks (else the message was cut
// inside one, and the next would be read as its rest).
ws_error wsread_inflate_end(ox__wsreader *r) noexcept {
  ws_error e = ws_ok;
  if (r->msg_wire != 0 && !r->inflate_ended) {
    e = wsread_inflate(r, ws_flush_tail, sizeof ws_flush_tail);
    bool between_blocks = (r->inflater->data_type & 128) != 0;
    if (e.code == 0 && !between_blocks && !r->inflate_ended) {
      e = {ox__ws_bad_data, "a compressed message cut inside a block"};
    }
  }
  r->inflate_ended = false;
  if (e.code == 0 && r->deflate.client_no_context && r->inflater != nullptr) {
    inflateReset(r->inflater);
  }
  return e;
}

// A compressed data payload piece: inflated as it comes, never gathered.
ws_step wsread_compressed(ox__wsreader *r, const uint8_t *p, size_t n,
                          ox__wsresult *out) noexcept {
  ws_error e = n != 0 ? wsread_inflate(r, p, n) : ws_ok;
  if (e.code == 0 && r->frame_left != 0) return ws_step::more;
  if (e.code == 0 && !r->frame_fin) return ws_step::next_frame;
  if (e.code == 0) e = wsread_inflate_end(r);
  if (e.code == 0 && r->msg_op == 0x1 && !ox__utf8_valid(r->out, r->out_len)) {
    e = {ox__ws_bad_data, "text that is not UTF-8"};
  }
  if (e.code != 0) {
    wsread_fail(r, e, out);
    return ws_step::event;
  }
  return wsread_message(r, r->out, r->out_len, out);
}

// Unmasks as much of the current payload as |*data| holds and takes it.
ws_step wsread_payload(ox__wsreader *r, uint8_t **data, size_t *len,
                       ox__wsresult *out) noexcept {
  uint8_t *p = *data;
  size_t n = static_cast<size_t>(std::min<uint64_t>(r->frame_left, *len));
  if (n == 0 && r->frame_left != 0) return ws_step::more;
  bool whole = r->mask_at == 0 && n == r->frame_left;
  ws_unmask(p, n, r->mask, r->mask_at);
  *data += n;
  *len -= n;
  r->frame_left -= n;
  r->mask_at += n;
  if (r->frame_left == 0) r->in_payload = false;
  if (ws_control(r->frame_op)) return wsread_control(r, p, n, whole, out);
  if (r->msg_compressed) return wsread_compressed(r, p, n, out);
  return wsread_plain(r, p, n, whole, out);
}

// ---------------------------------------------------------------------------
// The writer
// ---------------------------------------------------------------------------

// zlib's memory level sets the hash table and the block buffer: 8 (its
// default) takes 128 KiB for them beside the 128 KiB of a 15-bit window; 4
// takes 8 KiB, costing about 1% of the compressed size on the small
// messages WebSockets carry.  A deflater lives as long as its connection,
// so the smaller one wins.
constexpr int ws_mem_level = 4;

bool ws_op_writable(ox__wsop op) noexcept {
  auto v = static_cast<uint8_t>(op);
  return v != 0x0 && ws_op_known(v);
}

// The frame of |size| bytes at |data| as they are, into a new block.
int wswrite_plain(ox__wsop op, const void *data, size_t size, uint8_t **frame,
                  size_t *frame_size) noexcept {
  if (size > SIZE_MAX - ox__wsframe_head_max) return ENOMEM;
  auto *block =
      static_cast<uint8_t *>(ox__std_malloc(ox__wsframe_head_max + size));
  if (block == nullptr) return ENOMEM;
  size_t head = ox__wsframe_head(block, op, false, size);
  if (size != 0) memcpy(block + head, data, size);
  *frame = block;
  *frame_size = head + size;
  return 0;
}

// Starts the deflater on the first message compressed.  Returns 0, ENOMEM,
// or EINVAL when zlib refuses the settings (the message then goes plain).
int wswrite_deflater(ox__wswriter *w) noexcept {
  if (w->deflater != nullptr) return 0;
  auto *zs = static_cast<z_stream *>(ox_alloc(sizeof(z_stream)));
  if (zs == nullptr) return ENOMEM;
  int rc = ox__zinit(zs, w->level, -w->deflate.server_window, ws_mem_level);
  if (rc != Z_OK) {
    ox_free(zs);
    return rc == Z_MEM_ERROR ? ENOMEM : EINVAL;
  }
  w->deflater = zs;
  return 0;
}

// Deflates the |size| bytes at |data| with a sync flush into |*block|
// (|*room| bytes, grown when short) from offset |at|; |*used| is the
// output's size.  Returns 0 or ENOMEM.
int wswrite_deflate(z_stream *zs, const uint8_t *data, size_t size,
                    uint8_t **block, size_t *room, size_t at,
                    size_t *used) noexcept {
  *used = 0;
  do {
    size_t step = std::min(size, ws_zstep);
    int flush = step == size ? Z_SYNC_FLUSH : Z_NO_FLUSH;
    zs->next_in = const_cast<Bytef *>(data);
    zs->avail_in = static_cast<uInt>(step);
    data += step;
    size -= step;
    do {
      if (at + *used == *room) {
        auto *grown = static_cast<uint8_t *>(ox_realloc(*block, *room * 2));
        if (grown == nullptr) return ENOMEM;
        *block = grown;
        *room *= 2;
      }
      size_t space = std::min(*room - at - *used, ws_zstep);
      zs->next_out = *block + at + *used;
      zs->avail_out = static_cast<uInt>(space);
      deflate(zs, flush);  // Z_BUF_ERROR only says there was nothing to do
      *used += space - zs->avail_out;
    } while (zs->avail_out == 0);
  } while (size != 0);
  return 0;
}

// The frame of the message compressed, into a new block.  Returns 0,
// ENOMEM, or EINVAL when the deflater cannot be made with these settings.
int wswrite_compressed(ox__wswriter *w, ox__wsop op, const void *data,
                       size_t size, uint8_t **frame,
                       size_t *frame_size) noexcept {
  if (size > SIZE_MAX / 2) return ENOMEM;  // the bound below would wrap
  if (int rc = wswrite_deflater(w); rc != 0) return rc;
  z_stream *zs = w->deflater;
  // The bound of a whole stream, plus the sync flush's empty block and the
  // bits before it: growing is for safety only.
  size_t room = ox__wsframe_head_max + deflateBound(zs, size) + 16;
  auto *block = static_cast<uint8_t *>(ox__std_malloc(room));
  if (block == nullptr) return ENOMEM;
  const auto *src = static_cast<const uint8_t *>(data);
  size_t used = 0;
  if (wswrite_deflate(zs, src, size, &block, &room, ox__wsframe_head_max,
                      &used) != 0) {
    // The deflater took bytes the client will never see: a fresh stream
    // keeps later messages from pointing back into them.
    deflateReset(zs);
    ox_free(block);
    return ENOMEM;
  }
  uint8_t *payload = block + ox__wsframe_head_max;
  if (used >= 4 && memcmp(payload + used - 4, ws_flush_tail, 4) == 0) {
    used -= 4;
  }
  // A message that did not shrink goes as it is (room holds it: the bound
  // is above the size).  The client then keeps nothing of it in its
  // window, so the deflater starts afresh too: later messages cannot point
  // back into bytes the client never inflated.
  bool plain = used >= size;
  if (w->deflate.server_no_context || plain) deflateReset(zs);
  if (plain) {
    memcpy(payload, src, size);
    used = size;
  }
  uint8_t head[ox__wsframe_head_max];
  size_t head_len = ox__wsframe_head(head, op, !plain, used);
  memmove(block + head_len, payload, used);
  memcpy(block, head, head_len);
  *frame_size = head_len + used;
  // A block far larger than its frame (text compresses well) is given back.
  if (room - *frame_size > 4096 && room > 2 * *frame_size) {
    if (auto *fit = static_cast<uint8_t *>(ox_realloc(block, *frame_size))) {
      block = fit;
    }
  }
  *frame = block;
  return 0;
}

}  // namespace

bool ox__ws_accept_key(const char *key, char out[29]) noexcept {
  if (key == nullptr) return false;
  while (ws_blank(*key)) key++;
  size_t len = strlen(key);
  while (len > 0 && ws_blank(key[len - 1])) len--;
  if (!ws_key_valid(key, len)) return false;
  char joined[ws_key_len + sizeof ws_guid - 1];
  memcpy(joined, key, ws_key_len);
  memcpy(joined + ws_key_len, ws_guid, sizeof ws_guid - 1);
  uint8_t digest[20];
  if (gnutls_hash_fast(GNUTLS_DIG_SHA1, joined, sizeof joined, digest) != 0) {
    return false;
  }
  base64_encode(digest, sizeof digest, out);
  return true;
}

bool ox__wsdeflate_negotiate(const char *offers, ox__wsdeflate *out,
                             char *reply, size_t reply_size) noexcept {
  *out = ox__wsdeflate{};
  if (reply == nullptr || reply_size == 0) return false;
  reply[0] = '\0';
  if (offers == nullptr) return false;
  const char *p = offers;
  while (*p != '\0') {
    wsext_offer offer;
    if (wsext_read_offer(p, &offer) && offer.valid) {
      return wsext_accept(offer, out, reply, reply_size);
    }
  }
  return false;
}

void ox__wsreader_next(ox__wsreader *r, uint8_t **data, size_t *len,
                       ox__wsresult *out) noexcept {
  if (r->failed != 0) {
    wsread_event(out, ox__wsevent::fail, 0, r->failed, nullptr, 0);
    out->why = r->failed_why;
    return;
  }
  bool holds = r->buf != nullptr || r->out != nullptr;
  if (holds && !ox__wsreader_busy(r)) wsread_release(r);
  while (true) {
    if (!r->in_payload) {
      ws_error e;
      if (!wsread_head(r, data, len, &e)) {
        if (e.code != 0) return wsread_fail(r, e, out);
        return wsread_event(out, ox__wsevent::more, 0, 0, nullptr, 0);
      }
    }
    switch (wsread_payload(r, data, len, out)) {
      case ws_step::event:
        return;
      case ws_step::more:
        return wsread_event(out, ox__wsevent::more, 0, 0, nullptr, 0);
      case ws_step::next_frame:
        break;
    }
  }
}

bool ox__wsreader_busy(const ox__wsreader *r) noexcept {
  if (r->failed != 0) return false;  // it let go of everything
  return r->head_len != 0 || r->in_payload || r->msg_op != 0;
}

void ox__wsreader_reset(ox__wsreader *r) noexcept {
  wsread_release(r);
  wsread_free_inflater(r);
  ox__wsreader fresh;
  fresh.message_max = r->message_max;
  fresh.deflate = r->deflate;
  *r = fresh;
}

size_t ox__wsframe_head(uint8_t out[ox__wsframe_head_max], ox__wsop op,
                        bool compressed, uint64_t size) noexcept {
  out[0] = static_cast<uint8_t>(ws_fin | (compressed ? ws_rsv1 : 0) |
                                static_cast<uint8_t>(op));
  if (size <= ws_control_max) {
    out[1] = static_cast<uint8_t>(size);
    return 2;
  }
  size_t bytes = size <= 0xffff ? 2 : 8;
  out[1] = bytes == 2 ? 126 : 127;
  for (size_t i = 0; i < bytes; i++) {
    out[2 + i] = static_cast<uint8_t>(size >> (8 * (bytes - 1 - i)));
  }
  return 2 + bytes;
}

int ox__wswriter_frame(ox__wswriter *w, ox__wsop op, const void *data,
                       size_t size, uint8_t **frame,
                       size_t *frame_size) noexcept {
  *frame = nullptr;
  *frame_size = 0;
  if (!ws_op_writable(op)) return EINVAL;
  bool control = ws_control(static_cast<uint8_t>(op));
  if (control && size > ws_control_max) return EINVAL;
  if (w->deflate.on && !control && size >= ox__ws_deflate_min) {
    int rc = wswrite_compressed(w, op, data, size, frame, frame_size);
    if (rc != EINVAL) return rc;
  }
  return wswrite_plain(op, data, size, frame, frame_size);
}

void ox__wswriter_reset(ox__wswriter *w) noexcept {
  if (w->deflater == nullptr) return;
  deflateEnd(w->deflater);
  ox_free(w->deflater);
  w->deflater = nullptr;
}

bool ox__utf8_valid(const void *data, size_t size) noexcept {
  return utf8_run(0, static_cast<const uint8_t *>(data), size) == 0;
}
