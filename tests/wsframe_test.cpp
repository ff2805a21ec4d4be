// The WebSocket wire format: the accept key, permessage-deflate offers, the
// frame reader (every protocol error and its close code, fed whole, a byte
// at a time and cut at every point, which must all give the same events),
// its limits against huge lengths and deflate bombs, and the writer read
// back by the reader with and without context takeover.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ox_wsframe.h"
#include "support/alloc_torture.h"

namespace {

constexpr uint8_t kFin = 0x80;
constexpr uint8_t kRsv1 = 0x40;
constexpr uint8_t kCont = 0x0, kText = 0x1, kBinary = 0x2, kClose = 0x8,
                  kPing = 0x9, kPong = 0xa;
constexpr char kMask[] = "\x37\xfa\x21\x3d";

// A client frame's header: |b0|, the length |size| in |len_bytes| extra
// bytes (-1: the fewest) and, when |masked|, the mask key.
std::string head(uint8_t b0, uint64_t size, int len_bytes = -1,
                 bool masked = true) {
  if (len_bytes < 0) len_bytes = size <= 125 ? 0 : size <= 0xffff ? 2 : 8;
  std::string h(1, static_cast<char>(b0));
  uint8_t len7 = len_bytes == 0   ? static_cast<uint8_t>(size)
                 : len_bytes == 2 ? 126
                                  : 127;
  h += static_cast<char>(len7 | (masked ? 0x80 : 0));
  for (int i = len_bytes - 1; i >= 0; i--) {
    h += static_cast<char>(size >> (8 * i));
  }
  if (masked) h += kMask;
  return h;
}

std::string masked(std::string payload) {
  for (size_t i = 0; i < payload.size(); i++) payload[i] ^= kMask[i % 4];
  return payload;
}

std::string frame(uint8_t b0, const std::string &payload, int len_bytes = -1) {
  return head(b0, payload.size(), len_bytes) + masked(payload);
}

std::string close_payload(uint16_t code, const std::string &reason = "") {
  return std::string{static_cast<char>(code >> 8), static_cast<char>(code)} +
         reason;
}

// |text| as a client compresses it: raw deflate through a sync flush, the
// flush's last 4 bytes dropped; or, with Z_FINISH, ending in a final block.
std::string deflated(const std::string &text, int flush = Z_SYNC_FLUSH) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&zs, text.size()) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
  zs.avail_in = static_cast<uInt>(text.size());
  zs.next_out = reinterpret_cast<Bytef *>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, flush);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  if (flush == Z_SYNC_FLUSH) out.resize(out.size() - 4);
  return out;
}

struct Opts {
  bool deflate = false;
  bool no_context = false;  // client_no_context_takeover
  uint64_t max = 1 << 20;
};

// One event as the traces write it: "text:hi", "close:1000:bye", "fail:1002".
std::string describe(const ox__wsresult &ev) {
  static const char *const names[] = {"more", "",      "ping",
                                      "pong", "close", "fail"};
  std::string out = names[static_cast<int>(ev.event)];
  if (ev.event == ox__wsevent::message) {
    out = ev.op == ox__wsop::text ? "text" : "binary";
  }
  if (ev.event == ox__wsevent::close || ev.event == ox__wsevent::fail) {
    out += ":" + std::to_string(ev.code);
  }
  if (ev.event == ox__wsevent::fail) return out;
  return out + ":" +
         std::string(reinterpret_cast<const char *>(ev.data), ev.size);
}

struct Reader {
  ox__wsreader r;
  explicit Reader(const Opts &o) {
    r.message_max = o.max;
    r.deflate.on = o.deflate;
    r.deflate.client_no_context = o.no_context;
  }
  ~Reader() { ox__wsreader_reset(&r); }
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;

  // Reads |piece| to its end, adding the events to |trace|; false once the
  // reader failed (and then every further call fails the same way).
  bool feed(std::string &piece, std::string *trace) {
    auto *data = reinterpret_cast<uint8_t *>(piece.data());
    size_t len = piece.size();
    while (true) {
      ox__wsresult ev;
      ox__wsreader_next(&r, &data, &len, &ev);
      if (ev.event == ox__wsevent::more) {
        EXPECT_EQ(len, 0u) << "more with bytes left";
        return true;
      }
      *trace += (trace->empty() ? "" : " ") + describe(ev);
      if (ev.event == ox__wsevent::fail) {
        ox__wsresult again;
        ox__wsreader_next(&r, &data, &len, &again);
        EXPECT_EQ(again.event, ox__wsevent::fail);
        EXPECT_EQ(again.code, ev.code);
        return false;
      }
    }
  }

  // |trace| and "(busy)" when the reader is left inside a frame or message.
  std::string end(std::string trace) const {
    if (!ox__wsreader_busy(&r)) return trace;
    return trace + (trace.empty() ? "" : " ") + "(busy)";
  }
};

// The events of |bytes| cut at the offsets |cuts| (increasing; none:
// whole), then "(busy)" when the reader is left inside a frame or message.
std::string read(const std::string &bytes, const Opts &o,
                 const std::vector<size_t> &cuts = {}) {
  Reader reader(o);
  std::string trace;
  size_t at = 0;
  for (size_t i = 0; i <= cuts.size(); i++) {
    size_t end = i < cuts.size() ? cuts[i] : bytes.size();
    std::string piece = bytes.substr(at, end - at);
    at = end;
    if (!reader.feed(piece, &trace)) break;
  }
  return reader.end(trace);
}

// The trace of |bytes| whole, after checking that a byte at a time and
// every cut into two pieces give the same one.
std::string read_every_cut(const std::string &bytes, const Opts &o = {}) {
  std::string whole = read(bytes, o);
  std::vector<size_t> every;
  for (size_t cut = 1; cut < bytes.size(); cut++) every.push_back(cut);
  EXPECT_EQ(read(bytes, o, every), whole) << "a byte at a time";
  for (size_t cut = 1; cut < bytes.size() && bytes.size() < 600; cut++) {
    EXPECT_EQ(read(bytes, o, {cut}), whole) << "cut at " << cut;
  }
  return whole;
}

struct Case {
  const char *what;
  std::string bytes;
  std::string trace;
  Opts opts = {};
};

TEST(OxWsframe, AcceptKeyIsTheSha1OfKeyAndGuid) {
  char out[29];
  ASSERT_TRUE(ox__ws_accept_key("dGhlIHNhbXBsZSBub25jZQ==", out));
  EXPECT_STREQ(out, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  ASSERT_TRUE(ox__ws_accept_key(" \tdGhlIHNhbXBsZSBub25jZQ==\t ", out));
  EXPECT_STREQ(out, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  // Too short, a 17th byte begun in the padding bits, a bad digit, too
  // long, no padding, a blank inside, none.
  for (const char *bad :
       {"dGhlIHNhbXBsZSBub25jZQ=", "dGhlIHNhbXBsZSBub25jZR==",
        "dGhlIHNhbXBsZSBub2*jZQ==", "dGhlIHNhbXBsZSBub25jZQ==AA",
        "dGhlIHNhbXBsZSBub25jZQA=", "dGhl IHNhbXBsZSBub25jZQ==", "",
        static_cast<const char *>(nullptr)}) {
    memcpy(out, "untouched", 10);
    EXPECT_FALSE(ox__ws_accept_key(bad, out)) << (bad ? bad : "NULL");
    EXPECT_STREQ(out, "untouched");
  }
}

// "pmd" stands for "permessage-deflate" in the offers and replies below.
std::string pmd(std::string s) {
  for (size_t at; (at = s.find("pmd")) != std::string::npos;) {
    s.replace(at, 3, "permessage-deflate");
  }
  return s;
}

// The reply and what was agreed ({s, c: no context takeover; server and
// client window bits}), or "none:" and the reply left empty.
std::string negotiate(const char *offers, size_t reply_size = 256) {
  ox__wsdeflate d;
  d.on = true;  // must be cleared when nothing is agreed
  std::string o = offers != nullptr ? pmd(offers) : "";
  std::vector<char> reply(reply_size, 'x');
  if (!ox__wsdeflate_negotiate(offers != nullptr ? o.c_str() : nullptr, &d,
                               reply.data(), reply.size())) {
    return d.on ? "on after a refusal" : "none:" + std::string(reply.data());
  }
  return std::string(reply.data()) + " {" + (d.server_no_context ? "s" : "") +
         (d.client_no_context ? "c" : "") + std::to_string(d.server_window) +
         "/" + std::to_string(d.client_window) + "}";
}

TEST(OxWsframe, NegotiationTakesTheFirstValidDeflateOffer) {
  const char *cases[][2] = {
      {nullptr, "none:"},
      {"", "none:"},
      {"x-webkit-deflate-frame", "none:"},
      {"pmd", "pmd {15/15}"},
      {" pmd ; client_max_window_bits ", "pmd {15/15}"},
      {"pmd; client_max_window_bits=10",
       "pmd; client_max_window_bits=10 {15/10}"},
      {"PerMessage-Deflate; Server_Max_Window_Bits=\"12\"",
       "pmd; server_max_window_bits=12 {12/15}"},
      {"pmd;server_no_context_takeover;client_no_context_takeover",
       "pmd; server_no_context_takeover; client_no_context_takeover {sc15/15}"},
      // An offer with one bad parameter is skipped for the next.
      {"pmd; server_max_window_bits=8, pmd; server_max_window_bits=9",
       "pmd; server_max_window_bits=9 {9/15}"},
      {"pmd; x=1, pmd; client_no_context_takeover",
       "pmd; client_no_context_takeover {c15/15}"},
      {"pmd; server_no_context_takeover; server_no_context_takeover", "none:"},
      {"pmd; client_max_window_bits; client_max_window_bits", "none:"},
      {"pmd; server_no_context_takeover=1", "none:"},
      {"pmd; server_max_window_bits", "none:"},
      {"pmd; server_max_window_bits=16", "none:"},
      {"pmd; server_max_window_bits=09", "none:"},
      {"pmd; client_max_window_bits=7", "none:"},
      {"pmd; client_max_window_bits=\"1 5\"", "none:"},
      // Other extensions and broken elements (commas in quotes included)
      // do not stop the search.
      {"foo; bar=\"a, \\\"b\", , pmd", "pmd {15/15}"},
      {"pmd; =x, pmd; server_max_window_bits=15",
       "pmd; server_max_window_bits=15 {15/15}"},
      {"pmd; a=\"unclosed, pmd", "none:"},
      {"pmd x, pmd", "pmd {15/15}"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(negotiate(c[0]), pmd(c[1])) << (c[0] != nullptr ? c[0] : "NULL");
  }
  std::string full = pmd("pmd; server_no_context_takeover");
  EXPECT_EQ(negotiate(full.c_str(), full.size()), "none:");
  EXPECT_EQ(negotiate(full.c_str(), full.size() + 1), full + " {s15/15}");
}

TEST(OxWsframe, ProtocolErrorsFailWithTheirCloseCode) {
  Opts small;
  small.max = 16;
  const Case cases[] = {
      {"unmasked", head(kFin | kText, 2, -1, false) + "hi", "fail:1002"},
      {"rsv2", frame(kFin | 0x20 | kText, "a"), "fail:1002"},
      {"rsv3", frame(kFin | 0x10 | kBinary, "a"), "fail:1002"},
      {"rsv1 without deflate", frame(kFin | kRsv1 | kText, "a"), "fail:1002"},
      {"opcode 3", frame(kFin | 0x3, ""), "fail:1002"},
      {"opcode 0xb", frame(kFin | 0xb, ""), "fail:1002"},
      {"ping without fin", frame(kPing, "p"), "fail:1002"},
      {"ping of 126", frame(kFin | kPing, std::string(126, 'p')), "fail:1002"},
      {"continuation first", frame(kFin | kCont, "a"), "fail:1002"},
      {"text inside a message", frame(kText, "a") + frame(kFin | kText, "b"),
       "fail:1002"},
      {"64-bit top bit", head(kFin | kBinary, 1ull << 63, 8), "fail:1002"},
      {"close of one byte", frame(kFin | kClose, "\x03"), "fail:1002"},
      {"close reason", frame(kFin | kClose, close_payload(1000, "\xc3")),
       "fail:1007"},
      {"text not utf-8", frame(kFin | kText, "ok\xed\xa0\x80"), "fail:1007"},
      // Found in the first fragment, before the message's end comes.
      {"bad utf-8 early", frame(kText, "ab\xc0\xaf"), "fail:1007"},
      {"text ends in a character", frame(kText, "a\xe2\x82") + frame(kFin, ""),
       "fail:1007"},
      {"declared over the limit", head(kFin | kText, 17), "fail:1009", small},
      {"fragments over the limit",
       frame(kBinary, std::string(10, 'a')) + head(kFin | kCont, 7),
       "fail:1009", small},
      {"huge declared length", head(kFin | kBinary, 1ull << 62, 8),
       "fail:1009"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(read_every_cut(c.bytes, c.opts), c.trace);
  }
  // Reserved, unassigned and local-only close codes.
  for (uint16_t code : {999, 1004, 1005, 1006, 1015, 1016, 2999, 5000}) {
    EXPECT_EQ(read_every_cut(frame(kFin | kClose, close_payload(code))),
              "fail:1002")
        << code;
  }
}

TEST(OxWsframe, FramesReadTheSameHoweverTheyAreCut) {
  Opts small;
  small.max = 16;
  const Case cases[] = {
      {"fragments with controls between",
       frame(kText, "Hel") + frame(kFin | kPing, "p") + frame(kCont, "lo ") +
           frame(kFin | kPong, "") + frame(kFin | kCont, "w\xc3\xb6rld"),
       "ping:p pong: text:Hello w\xc3\xb6rld"},
      {"a character cut between fragments",
       frame(kText, "\xf0\x9f") + frame(kFin | kCont, "\x98\x80"),
       "text:\xf0\x9f\x98\x80"},
      {"long lengths, non-minimal ones too",
       frame(kFin | kBinary, "hi", 2) + frame(kFin | kText, "yo", 8) +
           frame(kFin | kBinary, std::string(300, 'z')),
       "binary:hi text:yo binary:" + std::string(300, 'z')},
      {"empty messages and close",
       frame(kFin | kText, "") + frame(kBinary, "") + frame(kFin | kCont, "") +
           frame(kFin | kClose, ""),
       "text: binary: close:1005:"},
      {"close codes allowed",
       frame(kFin | kClose, close_payload(1000, "bye")) +
           frame(kFin | kClose, close_payload(1014)) +
           frame(kFin | kClose, close_payload(4999, "\xc3\xa9")),
       "close:1000:bye close:1014: close:4999:\xc3\xa9"},
      {"exactly at the limit",
       frame(kText, std::string(10, 'a')) +
           frame(kFin | kCont, std::string(6, 'b')),
       "text:aaaaaaaaaabbbbbb", small},
      {"a frame still coming", frame(kFin | kText, "abc").substr(0, 8),
       "(busy)"},
      {"a message still coming", frame(kText, "abc"), "(busy)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(read_every_cut(c.bytes, c.opts), c.trace);
  }
}

TEST(OxWsframe, Utf8ChecksAgreeWholeAndAcrossFragments) {
  const std::pair<const char *, bool> cases[] = {
      {"plain ascii text, long enough for words", true},
      {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf"
       "\xbf",
       true},
      {"\xc1\xbf", false},          // overlong 2 bytes
      {"\xe0\x9f\xbf", false},      // overlong 3 bytes
      {"\xf0\x8f\xbf\xbf", false},  // overlong 4 bytes
      {"\xed\xa0\x80", false},      // surrogate
      {"\xf4\x90\x80\x80", false},  // over U+10FFFF
      {"\xf5\x80\x80\x80", false},
      {"abc\x80", false},
      {"\xe2\x82", false},  // cut short
      {"12345678\xe2\x82\xac", true},
  };
  for (const auto &[text, valid] : cases) {
    std::string s = text;
    SCOPED_TRACE(s);
    EXPECT_EQ(ox__utf8_valid(s.data(), s.size()), valid);
    for (size_t cut = 0; cut <= s.size(); cut++) {
      std::string bytes =
          frame(kText, s.substr(0, cut)) + frame(kFin | kCont, s.substr(cut));
      EXPECT_EQ(read(bytes, {}), valid ? "text:" + s : "fail:1007")
          << "cut at " << cut;
    }
  }
}

TEST(OxWsframe, WholeFrameIsHandedOutInPlaceWithoutAllocating) {
  std::string bytes =
      frame(kFin | kText, std::string(64, 't')) + frame(kFin | kPing, "p");
  Reader reader({});
  auto *data = reinterpret_cast<uint8_t *>(bytes.data());
  size_t len = bytes.size();
  ox__wsresult ev;
  oxtest::alloc_arm(0);
  ox__wsreader_next(&reader.r, &data, &len, &ev);
  ASSERT_EQ(ev.event, ox__wsevent::message);
  EXPECT_EQ(ev.data, reinterpret_cast<uint8_t *>(bytes.data()) + 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(ev.data), ev.size),
            std::string(64, 't'));
  ox__wsreader_next(&reader.r, &data, &len, &ev);
  EXPECT_EQ(describe(ev), "ping:p");
  EXPECT_EQ(oxtest::alloc_disarm(), 0u);
  EXPECT_FALSE(ox__wsreader_busy(&reader.r));
}

TEST(OxWsframe, CompressedMessagesInflate) {
  Opts on;
  on.deflate = true;
  std::string hello = "hello hello hello hello";
  std::string z = deflated(hello);
  std::string cut_block = std::string("\x00\x0a\x00\xf5\xff", 5) + "ab";
  const Case cases[] = {
      {"whole", frame(kFin | kRsv1 | kText, z), "text:hello hello hello hello"},
      {"fragmented, a ping between",
       frame(kRsv1 | kText, z.substr(0, 3)) + frame(kFin | kPing, "x") +
           frame(kFin | kCont, z.substr(3)),
       "ping:x text:hello hello hello hello"},
      {"ended by a final block",
       frame(kFin | kRsv1 | kBinary, deflated(hello, Z_FINISH)) +
           frame(kFin | kRsv1 | kBinary, deflated("again, fresh stream")),
       "binary:hello hello hello hello binary:again, fresh stream"},
      {"a final block, then an empty stored block's first byte",
       frame(kFin | kRsv1 | kText, deflated(hello, Z_FINISH) + '\0'),
       "text:hello hello hello hello"},
      {"empty",
       frame(kFin | kRsv1 | kText, "") +
           frame(kFin | kRsv1 | kText, std::string(1, '\0')),
       "text: text:"},
      {"rsv1 on a continuation",
       frame(kRsv1 | kText, z) + frame(kFin | kRsv1 | kCont, ""), "fail:1002"},
      {"rsv1 on a ping", frame(kFin | kRsv1 | kPing, ""), "fail:1002"},
      {"not deflate", frame(kFin | kRsv1 | kBinary, "\xff\xff\xff"),
       "fail:1007"},
      {"cut inside a stored block", frame(kFin | kRsv1 | kBinary, cut_block),
       "fail:1007"},
      {"inflates to bad utf-8", frame(kFin | kRsv1 | kText, deflated("a\xff")),
       "fail:1007"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(read_every_cut(c.bytes, on), c.trace);
  }
}

TEST(OxWsframe, DeflateBombFailsWithinTheLimit) {
  Opts o;
  o.deflate = true;
  o.max = 1000000;  // not a power of two: doubling must stop at the limit
  std::string z = deflated(std::string(16 << 20, 'a'));
  ASSERT_LT(z.size(), 20000u);
  std::string bytes = frame(kFin | kRsv1 | kBinary, z);
  Reader reader(o);
  std::string trace;
  size_t fed = 0;
  for (; fed < bytes.size() && trace.empty(); fed += 64) {
    std::string piece = bytes.substr(fed, 64);
    reader.feed(piece, &trace);
    EXPECT_LE(reader.r.out_room, o.max + 1);
  }
  EXPECT_EQ(trace, "fail:1009");
  EXPECT_LT(fed, bytes.size() / 8) << "inflated far past the limit";
  EXPECT_EQ(reader.r.out, nullptr) << "kept its memory after failing";
}

// The frame |w| makes of |m|, masked as a client would send it ("" when
// the writer fails, |*rc| its result); |*compressed| tells RSV1.
std::string write(ox__wswriter *w, const std::string &m, int *rc = nullptr,
                  bool *compressed = nullptr) {
  uint8_t *f = nullptr;
  size_t n = 0;
  int result =
      ox__wswriter_frame(w, ox__wsop::text, m.data(), m.size(), &f, &n);
  if (rc != nullptr) *rc = result;
  if (result != 0) return "";
  size_t len7 = f[1] & 0x7f;
  size_t h = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0);
  std::string out(reinterpret_cast<char *>(f), h);
  out[1] = static_cast<char>(out[1] | 0x80);
  out += kMask + masked(std::string(f + h, f + n));
  if (compressed != nullptr) *compressed = (f[0] & kRsv1) != 0;
  ox_free(f);
  return out;
}

TEST(OxWsframe, WriterFramesReadBackWithAndWithoutContext) {
  std::string m = "{\"type\":\"quote\",\"symbol\":\"ABC\",\"price\":\"12.5\"}";
  // No repeats in it: deflate cannot shrink it, so it goes plain, and the
  // messages after it must still read back (the deflater starts afresh).
  std::string distinct = "zyxwvutsrqponmlkjihgfedcbaZYXWVUTSRQPONM";
  std::vector<std::string> messages = {m, m, "short", m, distinct, m,
                                       std::string(70000, 'q')};
  for (bool no_context : {false, true}) {
    SCOPED_TRACE(no_context ? "no context takeover" : "context takeover");
    ox__wswriter w;
    w.deflate.on = true;
    w.deflate.server_no_context = no_context;
    Reader reader({true, no_context});
    std::vector<size_t> sizes;
    std::string compressed;
    for (const std::string &msg : messages) {
      bool z = false;
      std::string bytes = write(&w, msg, nullptr, &z), trace;
      sizes.push_back(bytes.size());
      compressed += z ? "z" : "-";
      reader.feed(bytes, &trace);
      EXPECT_EQ(trace, "text:" + msg);
    }
    ox__wswriter_reset(&w);
    EXPECT_EQ(compressed, "zz-z-zz")
        << "under ox__ws_deflate_min, or not shrinking: plain";
    EXPECT_EQ(sizes[2], 6 + messages[2].size());
    EXPECT_EQ(sizes[4], 6 + distinct.size());
    EXPECT_LT(sizes[6], 1000u);
    // A repeat is one back-reference when the window is kept; without it
    // every message stands alone and costs the same.
    if (no_context) {
      EXPECT_EQ(sizes[1], sizes[0]);
    } else {
      EXPECT_LT(sizes[1], sizes[0] / 2);
    }
  }
}

TEST(OxWsframe, FrameHeadsTakeTheShortestLength) {
  const std::pair<uint64_t, std::string> cases[] = {
      {0, {"\x81\x00", 2}},
      {125, "\x81\x7d"},
      {126, {"\x81\x7e\x00\x7e", 4}},
      {65535, "\x81\x7e\xff\xff"},
      {65536, {"\x81\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10}},
  };
  for (const auto &[size, want] : cases) {
    uint8_t h[ox__wsframe_head_max];
    size_t n = ox__wsframe_head(h, ox__wsop::text, false, size);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(h), n), want) << size;
  }
  uint8_t h[ox__wsframe_head_max];
  ox__wsframe_head(h, ox__wsop::binary, true, 1);
  EXPECT_EQ(h[0], 0xc2);
  ox__wswriter w;
  uint8_t *f = nullptr;
  size_t n = 0;
  std::string big(126, 'p');
  EXPECT_EQ(ox__wswriter_frame(&w, ox__wsop::ping, big.data(), 126, &f, &n),
            EINVAL);
  EXPECT_EQ(ox__wswriter_frame(&w, ox__wsop::cont, "a", 1, &f, &n), EINVAL);
  EXPECT_EQ(f, nullptr);
}

TEST(OxWsframe, WriterOutOfMemoryLeavesLaterFramesReadable) {
  std::string m(2000, 'x');
  for (size_t i = 0; i < m.size(); i += 7)
    m[i] = static_cast<char>('a' + i % 26);
  oxtest::alloc_torture([&](unsigned long fail_at) {
    ox__wswriter w;
    w.deflate.on = true;
    std::string wire, expected;
    unsigned long calls = 0;
    oxtest::alloc_arm(fail_at);
    for (int round = 0; round < 3; round++) {
      if (round == 2) calls = oxtest::alloc_disarm();  // the third is spared
      int rc = 0;
      std::string bytes = write(&w, m, &rc);
      EXPECT_TRUE(rc == 0 || rc == ENOMEM) << rc;
      if (rc == 0) expected += (expected.empty() ? "text:" : " text:") + m;
      wire += bytes;
    }
    ox__wswriter_reset(&w);
    // Whatever failed, the frames made read back in order on one reader.
    Reader reader({true});
    std::string trace;
    reader.feed(wire, &trace);
    EXPECT_EQ(trace, expected);
    return calls;
  });
}

TEST(OxWsframe, ReaderOutOfMemoryFailsWith1011) {
  std::string z = deflated(std::string(3000, 'k'));
  std::string bytes = frame(kRsv1 | kBinary, z.substr(0, 10)) +
                      frame(kFin | kCont, z.substr(10)) + frame(kBinary, "ab") +
                      frame(kFin | kCont, "cd");
  oxtest::alloc_torture([&](unsigned long fail_at) {
    Reader reader({true});
    std::string trace;
    oxtest::alloc_arm(fail_at);
    for (size_t at = 0; at < bytes.size(); at += 5) {
      std::string piece = bytes.substr(at, 5);
      if (!reader.feed(piece, &trace)) break;
    }
    unsigned long calls = oxtest::alloc_disarm();
    std::string first = "binary:" + std::string(3000, 'k');
    if (fail_at == 0) {
      EXPECT_EQ(trace, first + " binary:abcd");
    } else {
      EXPECT_TRUE(trace == "fail:1011" || trace == first + " fail:1011")
          << trace.substr(0, 40);
    }
    return calls;
  });
}

}  // namespace
