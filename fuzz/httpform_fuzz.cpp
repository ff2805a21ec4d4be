// Form parsers: a url-encoded or multipart body, parsed whole and parsed in
// pieces cut where the input says, must give the same parts and the same
// result: no state may be lost at a piece boundary, whatever the bytes.
//
// Input: a byte choosing the encoding (odd: multipart, with a boundary
// text next), a byte of cut points, then the body.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "input.h"
#include "ox_httpform.h"

namespace {

// The parts as "name/filename;mime=value$", each field of them quoted by
// its length so that no byte of the body can fake a separator.
struct Trace {
  std::string text;

  static void field(std::string *out, const char *s) {
    if (s == nullptr) {
      *out += "-";
      return;
    }
    *out += std::to_string(strlen(s)) + ":" + s;
  }
  static int begin(void *cls, const char *name, const char *filename,
                   const char *mime) noexcept {
    auto *t = static_cast<Trace *>(cls);
    t->text += "<";
    field(&t->text, name);
    field(&t->text, filename);
    field(&t->text, mime);
    return 0;
  }
  static int data(void *cls, const char *p, size_t n) noexcept {
    OXF_CHECK(n > 0);
    static_cast<Trace *>(cls)->text.append(p, n);
    return 0;
  }
  static int end(void *cls) noexcept {
    static_cast<Trace *>(cls)->text += ">";
    return 0;
  }
};

std::string parse(const std::string &type, const std::string &body,
                  const std::vector<size_t> &cuts) {
  Trace trace;
  ox__formsink sink{Trace::begin, Trace::data, Trace::end, &trace};
  ox_httpform *form = nullptr;
  int rc = ox__httpform_new(type.c_str(), &sink, &form);
  if (rc != 0) {
    OXF_CHECK(rc == EINVAL);
    return "refused";
  }
  size_t at = 0;
  for (size_t cut : cuts) {
    int r = ox__httpform_feed(form, body.data() + at, cut - at);
    OXF_CHECK(rc == 0 || r == rc);  // a failure sticks
    if (rc == 0) rc = r;
    at = cut;
  }
  int r = ox__httpform_feed(form, body.data() + at, body.size() - at);
  OXF_CHECK(rc == 0 || r == rc);
  if (rc == 0) rc = r;
  r = ox__httpform_finish(form);
  OXF_CHECK(rc == 0 || r == rc);
  ox__httpform_free(form);
  OXF_CHECK(r == 0 || r == EBADMSG);
  return trace.text + "#" + std::to_string(r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  oxfuzz::Input in(data, size);
  bool multipart = (in.byte() & 1) != 0;
  std::string type = multipart
                         ? "multipart/form-data; boundary=\"" + in.text() + "\""
                         : "application/x-www-form-urlencoded";
  uint8_t cut_bits = in.byte();
  std::string body = in.bytes(size);
  std::string whole = parse(type, body, {});
  // Cuts at evenly spread points, and at every byte for short bodies.
  std::vector<size_t> cuts;
  size_t step = 1 + cut_bits % 16;
  for (size_t i = step; i < body.size(); i += step) cuts.push_back(i);
  OXF_CHECK(parse(type, body, cuts) == whole);
  return 0;
}
