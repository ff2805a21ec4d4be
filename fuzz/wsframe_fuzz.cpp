// The WebSocket frame reader over a client's bytes, with and without
// permessage-deflate: read whole, a byte at a time and in pieces of the
// sizes the settings byte picks, it must give the same events each time.
// Every message is within the limit, text and close reasons are UTF-8 (by
// a decoder of this file's own), control payloads hold at most 125 bytes,
// close codes are ones a client may send, and nothing comes after a
// failure but the same failure.  Each message then goes through the writer
// and, masked, through a second reader, which must give it back.
//
// Input: a settings byte (bit 0: deflate on; bit 1: no context takeover;
// bits 2-3: the message limit; bits 4-7: the piece sizes), then the bytes
// the client sends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "input.h"
#include "ombrix.h"
#include "ox_wsframe.h"

namespace {

constexpr uint64_t limits[] = {16, 200, 4096, 1 << 16};
constexpr char mask_key[] = "\x5a\x01\xc3\x7e";

// A UTF-8 decoder written out the long way: each character decoded to its
// code point, which must need the bytes it took and be no surrogate and
// no more than U+10FFFF.
bool utf8_ok(const uint8_t *p, size_t n) {
  size_t i = 0;
  while (i < n) {
    uint8_t b = p[i];
    size_t len = b < 0x80           ? 1
                 : (b >> 5) == 0x6  ? 2
                 : (b >> 4) == 0xe  ? 3
                 : (b >> 3) == 0x1e ? 4
                                    : 0;
    if (len == 0 || i + len > n) return false;
    uint32_t cp = len == 1 ? b : b & (0x7f >> len);
    for (size_t k = 1; k < len; k++) {
      if ((p[i + k] & 0xc0) != 0x80) return false;
      cp = cp << 6 | (p[i + k] & 0x3f);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
      return false;
    }
    i += len;
  }
  return true;
}

bool close_code_ok(uint16_t code) {
  return code == 1005 || (code >= 1000 && code <= 1003) ||
         (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

struct Event {
  ox__wsevent event;
  ox__wsop op;
  uint16_t code;
  std::string data;
  const char *why;  // a static text: the same failure has the same one
  bool operator==(const Event &) const = default;
};

struct Settings {
  bool deflate;
  bool no_context;
  uint64_t max;
};

// Reads |bytes| in pieces of the sizes |cuts| cycles through (an empty
// list: whole), checking each event as it comes.
std::vector<Event> read(std::string bytes, const Settings &s,
                        const std::vector<size_t> &cuts) {
  ox__wsreader r;
  r.message_max = s.max;
  r.deflate.on = s.deflate;
  r.deflate.client_no_context = s.no_context;
  std::vector<Event> events;
  size_t at = 0;
  for (size_t piece = 0; at < bytes.size() || piece == 0; piece++) {
    size_t size = cuts.empty() ? bytes.size() : cuts[piece % cuts.size()];
    size = std::min(size, bytes.size() - at);
    auto *data = reinterpret_cast<uint8_t *>(bytes.data() + at);
    size_t len = size;
    at += size;
    while (true) {
      ox__wsresult ev;
      ox__wsreader_next(&r, &data, &len, &ev);
      OXF_CHECK(r.buf_room <= s.max + 125 && r.out_room <= s.max + 1);
      if (ev.event == ox__wsevent::more) {
        OXF_CHECK(len == 0);
        break;
      }
      OXF_CHECK(ev.data != nullptr || ev.event == ox__wsevent::fail);
      std::string payload(reinterpret_cast<const char *>(ev.data), ev.size);
      events.push_back({ev.event, ev.op, ev.code, payload, ev.why});
      switch (ev.event) {
        case ox__wsevent::message:
          OXF_CHECK(ev.size <= s.max);
          OXF_CHECK(ev.op == ox__wsop::text || ev.op == ox__wsop::binary);
          if (ev.op == ox__wsop::text) OXF_CHECK(utf8_ok(ev.data, ev.size));
          break;
        case ox__wsevent::ping:
        case ox__wsevent::pong:
          OXF_CHECK(ev.size <= 125);
          break;
        case ox__wsevent::close:
          OXF_CHECK(ev.size <= 123 && close_code_ok(ev.code));
          OXF_CHECK(utf8_ok(ev.data, ev.size));
          break;
        case ox__wsevent::fail: {
          OXF_CHECK(ev.code == 1002 || ev.code == 1007 || ev.code == 1009 ||
                    ev.code == 1011);
          OXF_CHECK(ev.why != nullptr && !ox__wsreader_busy(&r));
          ox__wsresult again;
          ox__wsreader_next(&r, &data, &len, &again);
          OXF_CHECK(again.event == ox__wsevent::fail && again.code == ev.code);
          ox__wsreader_reset(&r);
          return events;
        }
        case ox__wsevent::more:
          break;
      }
    }
  }
  ox__wsreader_reset(&r);
  return events;
}

// A server frame as a client sends it: the mask bit, a key, the payload
// masked.
std::string as_client(const uint8_t *f, size_t n) {
  size_t len7 = f[1] & 0x7f;
  size_t head = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0);
  OXF_CHECK(n >= head);
  std::string out(reinterpret_cast<const char *>(f), head);
  out[1] = static_cast<char>(out[1] | 0x80);
  out += mask_key;
  for (size_t i = head; i < n; i++) {
    out += static_cast<char>(f[i] ^
                             static_cast<uint8_t>(mask_key[(i - head) % 4]));
  }
  return out;
}

// The messages written by one writer and read back by one reader, in
// order, so that context takeover is exercised across them.
void round_trip(const std::vector<Event> &events, const Settings &s) {
  ox__wswriter w;
  w.deflate.on = s.deflate;
  w.deflate.server_no_context = s.no_context;
  std::string wire;
  std::vector<Event> sent;
  for (const Event &e : events) {
    if (e.event != ox__wsevent::message) continue;
    uint8_t *f = nullptr;
    size_t n = 0;
    OXF_CHECK(ox__wswriter_frame(&w, e.op, e.data.data(), e.data.size(), &f,
                                 &n) == 0);
    OXF_CHECK((f[0] & 0x40) == 0 || e.data.size() >= ox__ws_deflate_min);
    wire += as_client(f, n);
    ox_free(f);
    sent.push_back(e);
  }
  ox__wswriter_reset(&w);
  OXF_CHECK(read(wire, s, {}) == sent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  oxfuzz::Input in(data, size);
  uint8_t settings = in.byte();
  Settings s{(settings & 1) != 0, (settings & 2) != 0,
             limits[settings >> 2 & 3]};
  std::string bytes = in.bytes(size);
  // Piece sizes from the top bits: small primes, so cuts fall everywhere
  // in headers and payloads.
  static const size_t primes[] = {2, 3, 5, 7, 11, 13, 17, 31};
  std::vector<size_t> cuts = {primes[settings >> 4 & 7],
                              primes[(settings >> 5) & 7], 1};

  std::vector<Event> whole = read(bytes, s, {});
  OXF_CHECK(read(bytes, s, {1}) == whole);
  OXF_CHECK(read(bytes, s, cuts) == whole);
  round_trip(whole, s);
  return 0;
}
