// The WebSocket wire format, server side: the opening handshake's key, the
// reader of client frames (unmasking, fragments, control frames, UTF-8,
// permessage-deflate), and the writer of server frames.  Nothing here
// touches a socket, so all of it runs under the fuzzer as it is.
#ifndef OX_WSFRAME_H
#define OX_WSFRAME_H

#include <zlib.h>

#include <cstddef>
#include <cstdint>

// Opcodes.
enum class ox__wsop : uint8_t {
  cont = 0x0,
  text = 0x1,
  binary = 0x2,
  close = 0x8,
  ping = 0x9,
  pong = 0xA,
};

// Close codes the library itself sends.
constexpr uint16_t ox__ws_normal = 1000;       // done
constexpr uint16_t ox__ws_going_away = 1001;   // the server drains
constexpr uint16_t ox__ws_protocol = 1002;     // a frame broke the protocol
constexpr uint16_t ox__ws_bad_data = 1007;     // text that is not UTF-8
constexpr uint16_t ox__ws_policy = 1008;       // slow consumer, policy
constexpr uint16_t ox__ws_too_big = 1009;      // a message over the limit
constexpr uint16_t ox__ws_internal = 1011;     // the server failed
constexpr uint16_t ox__ws_try_later = 1013;    // slow consumer, come back

// "Sec-WebSocket-Accept" for the client's "Sec-WebSocket-Key" |key|: the
// base64 of the SHA-1 of the key and the protocol's GUID, 28 characters and
// a NUL into |out|.  False (|out| untouched) when |key| is not the base64
// of 16 bytes (24 characters, surrounding blanks ignored).
bool ox__ws_accept_key(const char *key, char out[29]) noexcept;

// permessage-deflate as agreed in the handshake.
struct ox__wsdeflate {
  bool on = false;                    // negotiated
  bool server_no_context = false;     // server_no_context_takeover
  bool client_no_context = false;     // client_no_context_takeover
  uint8_t server_window = 15;         // server_max_window_bits (8..15)
  uint8_t client_window = 15;         // client_max_window_bits (8..15)
};

// Reads the client's "Sec-WebSocket-Extensions" |offers| (NULL: none; may
// list several offers and other extensions) and accepts the first
// permessage-deflate offer whose parameters are valid: |out| then says what
// was agreed and |reply| (|reply_size| bytes) holds the response header's
// value, such as "permessage-deflate; server_no_context_takeover".  The
// server asks nothing the client did not offer.  An offer is skipped when
// it has an unknown or repeated parameter or a bad value, and when it holds
// the server to a window of 8 bits: zlib's raw deflate has no 256-byte
// window.  Names compare without regard to ASCII case; values may be quoted.
// The reply echoes client_max_window_bits only when the client gave it a
// value (the reader inflates with a 15-bit window whatever the client uses).
// Returns false (|*out| the defaults, |reply| empty) when no offer is
// acceptable, |offers| or |reply| is NULL, or |reply| is too small.
bool ox__wsdeflate_negotiate(const char *offers, ox__wsdeflate *out,
                             char *reply, size_t reply_size) noexcept;

// What ox__wsreader_next() found.
enum class ox__wsevent : uint8_t {
  more,     // the bytes given are used up: read more
  message,  // a whole data message: |data|, |size|, |op| (text or binary)
  ping,     // a ping: |data|, |size| (at most 125 bytes): answer a pong
  pong,     // a pong: |data|, |size|
  close,    // a close frame: |code| (1005 when it carried none), |data| and
            // |size| its reason (UTF-8, checked); answer and close
  fail,     // the client broke the protocol: close with |code|; |why| says
            // what for the log.  Every later call fails the same way.
};

struct ox__wsresult {
  ox__wsevent event;
  ox__wsop op;          // message: text or binary
  uint16_t code;        // close, fail
  const uint8_t *data;  // valid until the next call on the reader; never
                        // NULL, even when |size| is 0
  size_t size;
  const char *why;      // fail: a static text
};

// The reader of one connection's frames.  It holds memory only while a
// frame or a fragmented message is incomplete, so an idle connection costs
// the record alone (and its inflater, once a message came compressed): a
// whole unfragmented, uncompressed frame found in the bytes given is handed
// out where it lies (unmasked in place), and what a message was gathered or
// inflated into is released on the next call.
struct ox__wsreader {
  uint64_t message_max = 1 << 20;  // bytes a message may have, inflated
  ox__wsdeflate deflate{};         // as negotiated; set before the first
                                   // call
  // The rest is the reader's own.
  uint8_t head[14]{};      // the header of the current frame, as it comes
  uint8_t head_len = 0;
  uint8_t mask[4]{};
  uint8_t frame_op = 0;    // opcode of the frame being read
  bool frame_fin = false;
  bool frame_rsv1 = false;
  uint64_t frame_left = 0;  // payload bytes still to come
  uint64_t mask_at = 0;     // payload bytes unmasked so far
  bool in_payload = false;  // the header was read whole
  uint8_t msg_op = 0;       // opcode of the data message under way (its
                            // first frame was read, not its last), 0: none
  bool msg_compressed = false;
  uint64_t msg_wire = 0;    // payload bytes of a compressed message so far,
                            // as sent (before inflating)
  uint32_t utf8_state = 0;  // the UTF-8 check across fragments
  uint8_t *buf = nullptr;   // the message (or control frame) gathered so
  size_t buf_len = 0;       // far, when it is not handed out in place
  size_t buf_room = 0;
  uint8_t *out = nullptr;   // the compressed message inflated so far, then
  size_t out_len = 0;       // handed out
  size_t out_room = 0;
  z_stream *inflater = nullptr;  // made on the first compressed message
                                 // (about 40 KiB), kept for the connection
  bool inflate_ended = false;    // the client's deflate stream ended (a
                                 // final block) with the bytes read so far
  uint16_t failed = 0;      // the close code of a failure, 0: none
  const char *failed_why = nullptr;
};

// Reads frames from the |*len| bytes at |*data| (which it may change:
// payloads are unmasked in place), advancing |*data| and |*len| past what
// it used, until it has one event to give: call again with what is left
// until the event is |more|.  Data messages come whole: inflated, their
// UTF-8 checked (text), within |message_max| (else a failure with 1009,
// found before more than the limit is held or inflated).  Every protocol
// error is a |fail| event with its close code (1002, 1007, 1009) or 1011
// when memory runs out.  An event's |data| may point into the caller's
// bytes (a whole frame found there), so those must stay as they are until
// the next call.  A compressed message is inflated as its bytes come,
// never gathered; its size on the wire may pass |message_max| by 1/16 (and
// 64 bytes), what deflate's stored blocks and flushes can add to data that
// does not compress.  Compressed data that does not inflate fails with
// 1007.  After a |close| event the caller is expected to stop reading.
void ox__wsreader_next(ox__wsreader *r, uint8_t **data, size_t *len,
                       ox__wsresult *out) noexcept;

// True while the reader holds part of a frame or message (the connection
// is not idle); false once it failed.
bool ox__wsreader_busy(const ox__wsreader *r) noexcept;

// Releases what the reader holds, keeping its settings; it starts afresh.
void ox__wsreader_reset(ox__wsreader *r) noexcept;

// Bytes a server frame header takes at most.
constexpr size_t ox__wsframe_head_max = 10;

// Writes the header of an unmasked server frame with |op|, FIN set, RSV1
// when |compressed|, of |size| payload bytes, into |out|; returns its
// length (2, 4 or 10).
size_t ox__wsframe_head(uint8_t out[ox__wsframe_head_max], ox__wsop op,
                        bool compressed, uint64_t size) noexcept;

// The deflater of one connection's outgoing messages.
struct ox__wswriter {
  ox__wsdeflate deflate{};       // as negotiated
  int level = 1;                 // zlib level (fast: messages are small)
  z_stream *deflater = nullptr;  // made on the first message compressed:
                                 // about 140 KiB with a 15-bit window (zlib
                                 // memory level 4), kept for the connection
};

// Messages shorter than this go out uncompressed even when deflate is on:
// the block overhead eats what they would save.
constexpr size_t ox__ws_deflate_min = 32;

// Makes the whole frame (header and payload) of the message |data| (|size|
// bytes) with |op|, compressed when the writer's deflate is on, |op| is text
// or binary and the message is long enough, into a new block |*frame|
// (ox_free() it) of |*frame_size| bytes.  Without context takeover, a
// message that deflate would not shrink goes uncompressed.  Returns 0, or:
// EINVAL  |op| is cont or unknown, or a control frame has over 125 bytes;
// ENOMEM  memory ran out (|*frame| NULL; the deflater starts afresh if it
//         had taken some of the message, so later frames stay readable).
int ox__wswriter_frame(ox__wswriter *w, ox__wsop op, const void *data,
                       size_t size, uint8_t **frame,
                       size_t *frame_size) noexcept;

// Releases the deflater, keeping the settings.
void ox__wswriter_reset(ox__wswriter *w) noexcept;

// True when the |size| bytes at |data| are valid UTF-8 (no overlong forms,
// no surrogates, nothing above U+10FFFF).
bool ox__utf8_valid(const void *data, size_t size) noexcept;

#endif  // OX_WSFRAME_H
