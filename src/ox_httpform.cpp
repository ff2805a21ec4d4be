// Form bodies: a url-encoded parser and a multipart parser behind one
// interface.  Both are byte-driven state machines that survive any split of
// the body into pieces, and neither trusts a length or a count the client
// announces.
#include "ox_httpform.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "ox_alloc.h"

namespace {

// A part's header block larger than this is refused: real ones take a
// hundred bytes, and a file name fits in 255.
constexpr size_t form_header_max = 16 * 1024;
// Boundaries have 1 to 70 characters; some slack for clients that stretch.
constexpr size_t form_boundary_max = 200;

// A growable byte run, NUL-terminated past its length.
class form_buf {
 public:
  form_buf() = default;
  ~form_buf() { ox_free(d_); }
  form_buf(const form_buf &) = delete;
  form_buf &operator=(const form_buf &) = delete;

  bool append(const char *p, size_t n) noexcept {
    if (n >= SIZE_MAX / 2 - len_) return false;
    if (len_ + n + 1 > cap_) {
      size_t cap = cap_ == 0 ? 64 : cap_;
      while (cap < len_ + n + 1) cap *= 2;
      auto *d = static_cast<char *>(ox_realloc(d_, cap));
      if (d == nullptr) return false;
      d_ = d;
      cap_ = cap;
    }
    memcpy(d_ + len_, p, n);
    len_ += n;
    d_[len_] = '\0';
    return true;
  }
  bool push(char c) noexcept { return append(&c, 1); }
  void clear() noexcept {
    len_ = 0;
    if (d_ != nullptr) d_[0] = '\0';
  }
  const char *c_str() const noexcept { return d_ != nullptr ? d_ : ""; }
  size_t size() const noexcept { return len_; }

 private:
  char *d_ = nullptr;
  size_t len_ = 0;
  size_t cap_ = 0;
};

bool form_is_space(char c) noexcept { return c == ' ' || c == '\t'; }

const char *form_skip_space(const char *p, const char *end) noexcept {
  while (p < end && form_is_space(*p)) p++;
  return p;
}

// True when |type| is the media type |want| (any case), alone or followed
// by parameters.
bool form_type_is(const char *type, const char *want) noexcept {
  size_t n = strlen(want);
  if (strncasecmp(type, want, n) != 0) return false;
  char next = type[n];
  return next == '\0' || next == ';' || form_is_space(next);
}

// Reads one parameter value at |p|: a quoted string (where a backslash
// escapes only '"' and '\', so that Windows paths some clients send stay
// whole) or a token.  Returns where the value ends.
const char *form_param_value(const char *p, const char *end, form_buf *out,
                             bool *ok) noexcept {
  if (p < end && *p == '"') {
    for (p++; p < end && *p != '"'; p++) {
      if (*p == '\\' && p + 1 < end && (p[1] == '"' || p[1] == '\\')) p++;
      if (out != nullptr && !out->push(*p)) *ok = false;
    }
    return p < end ? p + 1 : p;  // an unclosed quote runs to the end
  }
  const char *start = p;
  while (p < end && *p != ';' && !form_is_space(*p)) p++;
  if (out != nullptr && !out->append(start, static_cast<size_t>(p - start))) {
    *ok = false;
  }
  return p;
}

enum class form_found { no, yes, nomem };

// Looks up the parameter |name| (any case) among the "; name=value" pairs
// that follow the type in the header value [p, end), and copies the first
// one's value into |out|.
form_found form_param(const char *p, const char *end, const char *name,
                      form_buf *out) noexcept {
  size_t name_len = strlen(name);
  // Skip the type itself, which holds no quotes.
  while (p < end && *p != ';') p++;
  while (p < end) {
    p = form_skip_space(p + 1, end);  // past the ';'
    const char *key = p;
    while (p < end && *p != '=' && *p != ';' && !form_is_space(*p)) p++;
    size_t key_len = static_cast<size_t>(p - key);
    p = form_skip_space(p, end);
    if (p >= end || *p != '=') {
      while (p < end && *p != ';') p++;
      continue;
    }
    p = form_skip_space(p + 1, end);
    bool match = key_len == name_len && strncasecmp(key, name, name_len) == 0;
    bool ok = true;
    p = form_param_value(p, end, match ? out : nullptr, &ok);
    if (match) return ok ? form_found::yes : form_found::nomem;
    // Whatever follows a value up to the next ';' is ignored.
    while (p < end && *p != ';') p++;
  }
  return form_found::no;
}

int form_hex(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// The parser record: the sink, the encoding, and each encoding's state.
struct ox_httpform {
  ox__formsink sink;
  ox__formkind kind;
  int failed = 0;  // the first failure; every later call returns it

  // url-encoded: name=value pairs joined by '&', '+' for space, %XX bytes.
  struct {
    form_buf name;   // the current pair's name, until its '='
    bool in_value;   // past the pair's '='
    bool begun;      // the sink was told of the pair
    int pct;         // 0, or 1/2 after '%' and that many bytes of it
    char pct_hi;     // the first hex digit after '%'
    size_t out_len;  // decoded value bytes waiting in |out|
    char out[512];   // handed on in runs, not byte by byte
  } url{};

  // multipart: parts between delimiters "\r\n--boundary".
  enum class mpstate : uint8_t {
    preamble,     // before the first delimiter; dropped
    after_delim,  // a delimiter ended; "--" or padding and CRLF follow
    after_dash,   // one '-' of the closing "--" seen
    padding,      // spaces and tabs after a delimiter
    padding_cr,   // the CR that ends the delimiter line
    headers,      // the part's header block
    data,         // the part's content
    epilogue,     // after the closing delimiter; dropped
  };
  struct {
    form_buf delim;  // "\r\n--" + boundary
    size_t matched;  // bytes of |delim| that ended the last piece
    mpstate state;
    form_buf head;      // the header block as it arrives
    form_buf name;      // the current part's field name
    form_buf filename;  // its file name
    form_buf mime;      // its Content-Type
  } mp{};
};

namespace {

int form_fail(ox_httpform *form, int rc) noexcept {
  if (form->failed == 0) form->failed = rc;
  return form->failed;
}

// url-encoded ------------------------------------------------------------

int url_flush(ox_httpform *form) noexcept {
  auto &u = form->url;
  if (u.out_len == 0) return 0;
  size_t n = u.out_len;
  u.out_len = 0;
  return form->sink.data(form->sink.cls, u.out, n);
}

int url_begin(ox_httpform *form) noexcept {
  form->url.begun = true;
  return form->sink.begin(form->sink.cls, form->url.name.c_str(), nullptr,
                          nullptr);
}

// One decoded byte: part of the name until the '=', of the value after it.
int url_emit(ox_httpform *form, char c) noexcept {
  auto &u = form->url;
  if (!u.in_value) return u.name.push(c) ? 0 : ENOMEM;
  u.out[u.out_len++] = c;
  return u.out_len == sizeof(u.out) ? url_flush(form) : 0;
}

// A '%' not followed by two hex digits stands for itself.
int url_emit_pending_pct(ox_httpform *form) noexcept {
  auto &u = form->url;
  int rc = 0;
  if (u.pct >= 1) rc = url_emit(form, '%');
  if (rc == 0 && u.pct == 2) rc = url_emit(form, u.pct_hi);
  u.pct = 0;
  return rc;
}

// The pair ends at '&' or at the end of the body.  "&&" is no pair; "a"
// is the field "a" with an empty value.
int url_end_pair(ox_httpform *form) noexcept {
  auto &u = form->url;
  int rc = url_emit_pending_pct(form);
  bool empty = !u.begun && !u.in_value && u.name.size() == 0;
  if (rc == 0 && !empty && !u.begun) rc = url_begin(form);
  if (rc == 0 && !empty) rc = url_flush(form);
  if (rc == 0 && !empty) rc = form->sink.end(form->sink.cls);
  u.name.clear();
  u.in_value = false;
  u.begun = false;
  u.out_len = 0;
  return rc;
}

int url_byte(ox_httpform *form, char c) noexcept {
  auto &u = form->url;
  if (u.pct == 1) {
    if (form_hex(c) >= 0) {
      u.pct_hi = c;
      u.pct = 2;
      return 0;
    }
    if (int rc = url_emit_pending_pct(form); rc != 0) return rc;
  } else if (u.pct == 2) {
    if (form_hex(c) >= 0) {
      u.pct = 0;
      return url_emit(form,
                      static_cast<char>(form_hex(u.pct_hi) * 16 + form_hex(c)));
    }
    if (int rc = url_emit_pending_pct(form); rc != 0) return rc;
  }
  switch (c) {
    case '&':
      return url_end_pair(form);
    case '=':
      if (u.in_value) return url_emit(form, c);
      u.in_value = true;
      return url_begin(form);
    case '%':
      u.pct = 1;
      return 0;
    case '+':
      return url_emit(form, ' ');
    default:
      return url_emit(form, c);
  }
}

int url_feed(ox_httpform *form, const char *data, size_t size) noexcept {
  for (size_t i = 0; i < size; i++) {
    if (int rc = url_byte(form, data[i]); rc != 0) return rc;
  }
  return 0;
}

// multipart --------------------------------------------------------------

// Reports |n| content bytes of the current part; the preamble's are
// dropped.
int mp_emit(ox_httpform *form, const char *p, size_t n) noexcept {
  if (n == 0 || form->mp.state != ox_httpform::mpstate::data) return 0;
  return form->sink.data(form->sink.cls, p, n);
}

// Hands on content up to the next delimiter.  The delimiter starts with the
// only CR it holds, so a partial match at the end of a piece is carried as
// a count, and a broken match gives back the delimiter bytes it had taken.
// Returns the bytes consumed; |*found| tells whether a delimiter ended them.
size_t mp_scan(ox_httpform *form, const char *data, size_t size, bool *found,
               int *rc) noexcept {
  auto &m = form->mp;
  const char *delim = m.delim.c_str();
  size_t dlen = m.delim.size();
  size_t i = 0;
  *found = false;
  if (m.matched > 0) {
    while (m.matched < dlen && i < size && data[i] == delim[m.matched]) {
      m.matched++;
      i++;
    }
    if (m.matched == dlen) {
      m.matched = 0;
      *found = true;
      return i;
    }
    if (i == size) return i;
    // Not a delimiter after all: what it took was content.
    *rc = mp_emit(form, delim, m.matched);
    m.matched = 0;
    if (*rc != 0) return i;
  }
  while (i < size) {
    const auto *cr =
        static_cast<const char *>(memchr(data + i, '\r', size - i));
    if (cr == nullptr) {
      *rc = mp_emit(form, data + i, size - i);
      return size;
    }
    size_t at = static_cast<size_t>(cr - data);
    if ((*rc = mp_emit(form, data + i, at - i)) != 0) return at;
    size_t k = 0;
    while (k < dlen && at + k < size && data[at + k] == delim[k]) k++;
    if (k == dlen) {
      *found = true;
      return at + dlen;
    }
    if (at + k == size) {
      m.matched = k;
      return size;
    }
    if ((*rc = mp_emit(form, cr, 1)) != 0) return at + 1;
    i = at + 1;
  }
  return size;
}

// The header block is in: find the field name, the file name and the type
// of the part, and tell the sink.
int mp_begin_part(ox_httpform *form) noexcept {
  auto &m = form->mp;
  m.name.clear();
  m.filename.clear();
  m.mime.clear();
  bool has_name = false, has_filename = false, has_mime = false;
  const char *p = m.head.c_str();
  const char *end = p + m.head.size();
  while (p < end) {
    const char *eol = static_cast<const char *>(
        memchr(p, '\r', static_cast<size_t>(end - p)));
    if (eol == nullptr) eol = end;
    const char *colon =
        static_cast<const char *>(memchr(p, ':', static_cast<size_t>(eol - p)));
    if (colon != nullptr) {
      size_t key_len = static_cast<size_t>(colon - p);
      const char *val = form_skip_space(colon + 1, eol);
      const char *val_end = eol;
      while (val_end > val && form_is_space(val_end[-1])) val_end--;
      if (key_len == 19 && strncasecmp(p, "Content-Disposition", 19) == 0 &&
          !has_name) {
        form_found name = form_param(val, val_end, "name", &m.name);
        form_found file = form_param(val, val_end, "filename", &m.filename);
        if (name == form_found::nomem || file == form_found::nomem) {
          return ENOMEM;
        }
        has_name = name == form_found::yes;
        has_filename = file == form_found::yes;
      } else if (key_len == 12 && strncasecmp(p, "Content-Type", 12) == 0 &&
                 !has_mime) {
        if (!m.mime.append(val, static_cast<size_t>(val_end - val))) {
          return ENOMEM;
        }
        has_mime = true;
      }
    }
    p = eol < end ? eol + 1 : end;  // past the CR, and its LF
    if (p < end && *p == '\n') p++;
  }
  // Every part of a form names its field.
  if (!has_name) return EBADMSG;
  m.state = ox_httpform::mpstate::data;
  return form->sink.begin(form->sink.cls, m.name.c_str(),
                          has_filename ? m.filename.c_str() : nullptr,
                          has_mime ? m.mime.c_str() : nullptr);
}

// Collects the header block up to the empty line that ends it.
size_t mp_headers(ox_httpform *form, const char *data, size_t size,
                  int *rc) noexcept {
  auto &m = form->mp;
  size_t i = 0;
  while (i < size) {
    const auto *lf =
        static_cast<const char *>(memchr(data + i, '\n', size - i));
    size_t n =
        lf != nullptr ? static_cast<size_t>(lf - data) + 1 - i : size - i;
    if (m.head.size() + n > form_header_max) {
      *rc = EBADMSG;
      return i;
    }
    if (!m.head.append(data + i, n)) {
      *rc = ENOMEM;
      return i;
    }
    i += n;
    size_t len = m.head.size();
    const char *h = m.head.c_str();
    bool ended = (len == 2 && memcmp(h, "\r\n", 2) == 0) ||
                 (len >= 4 && memcmp(h + len - 4, "\r\n\r\n", 4) == 0);
    if (ended) {
      *rc = mp_begin_part(form);
      return i;
    }
  }
  return i;
}

// After a delimiter: "--" closes the body; otherwise optional padding and
// CRLF lead to the next part's headers.
int mp_after_delim(ox_httpform *form, char c) noexcept {
  auto &m = form->mp;
  using mp = ox_httpform::mpstate;
  switch (m.state) {
    case mp::after_delim:
      if (c == '-') {
        m.state = mp::after_dash;
        return 0;
      }
      [[fallthrough]];
    case mp::padding:
      if (form_is_space(c)) {
        m.state = mp::padding;
      } else if (c == '\r') {
        m.state = mp::padding_cr;
      } else {
        return EBADMSG;
      }
      return 0;
    case mp::after_dash:
      if (c != '-') return EBADMSG;
      m.state = mp::epilogue;
      return 0;
    default:  // padding_cr
      if (c != '\n') return EBADMSG;
      m.head.clear();
      m.state = mp::headers;
      return 0;
  }
}

int mp_feed(ox_httpform *form, const char *data, size_t size) noexcept {
  auto &m = form->mp;
  using mp = ox_httpform::mpstate;
  while (size > 0) {
    int rc = 0;
    size_t used = 1;
    switch (m.state) {
      case mp::preamble:
      case mp::data: {
        bool found = false;
        used = mp_scan(form, data, size, &found, &rc);
        if (rc == 0 && found) {
          if (m.state == mp::data) rc = form->sink.end(form->sink.cls);
          m.state = mp::after_delim;
        }
        break;
      }
      case mp::headers:
        used = mp_headers(form, data, size, &rc);
        break;
      case mp::epilogue:
        return 0;
      default:
        rc = mp_after_delim(form, *data);
        break;
    }
    if (rc != 0) return rc;
    data += used;
    size -= used;
  }
  return 0;
}

// Takes the boundary from the Content-Type.  It may hold no CR or LF: the
// delimiter scan relies on its only CR being the first byte.
int mp_setup(ox_httpform *form, const char *content_type) noexcept {
  form_buf boundary;
  const char *end = content_type + strlen(content_type);
  form_found found = form_param(content_type, end, "boundary", &boundary);
  if (found == form_found::nomem) return ENOMEM;
  size_t len = boundary.size();
  if (found == form_found::no || len == 0 || len > form_boundary_max ||
      strpbrk(boundary.c_str(), "\r\n") != nullptr ||
      strlen(boundary.c_str()) != len) {
    return EINVAL;
  }
  auto &m = form->mp;
  if (!m.delim.append("\r\n--", 4) || !m.delim.append(boundary.c_str(), len)) {
    return ENOMEM;
  }
  // The first delimiter may open the body without a CRLF before it.
  m.matched = 2;
  m.state = ox_httpform::mpstate::preamble;
  return 0;
}

}  // namespace

ox__formkind ox__httpform_kind(const char *content_type) noexcept {
  if (content_type == nullptr) return ox__formkind::none;
  if (form_type_is(content_type, "application/x-www-form-urlencoded")) {
    return ox__formkind::urlencoded;
  }
  if (form_type_is(content_type, "multipart/form-data")) {
    return ox__formkind::multipart;
  }
  return ox__formkind::none;
}

int ox__httpform_new(const char *content_type, const ox__formsink *sink,
                     ox_httpform **out) noexcept {
  ox__formkind kind = ox__httpform_kind(content_type);
  if (kind == ox__formkind::none || sink == nullptr) return EINVAL;
  auto *form = new (std::nothrow) ox_httpform;
  if (form == nullptr) return ENOMEM;
  form->sink = *sink;
  form->kind = kind;
  if (kind == ox__formkind::multipart) {
    if (int rc = mp_setup(form, content_type); rc != 0) {
      delete form;
      return rc;
    }
  }
  *out = form;
  return 0;
}

int ox__httpform_feed(ox_httpform *form, const char *data,
                      size_t size) noexcept {
  if (form->failed != 0) return form->failed;
  int rc = form->kind == ox__formkind::multipart ? mp_feed(form, data, size)
                                                 : url_feed(form, data, size);
  return rc != 0 ? form_fail(form, rc) : 0;
}

int ox__httpform_finish(ox_httpform *form) noexcept {
  if (form->failed != 0) return form->failed;
  int rc = 0;
  if (form->kind == ox__formkind::urlencoded) {
    rc = url_end_pair(form);
  } else if (form->mp.state != ox_httpform::mpstate::epilogue) {
    rc = EBADMSG;  // cut off before the closing delimiter
  }
  return rc != 0 ? form_fail(form, rc) : 0;
}

void ox__httpform_free(ox_httpform *form) noexcept { delete form; }
