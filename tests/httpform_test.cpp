// Form parsers: each body is fed whole, a byte at a time and split at every
// point, and must give the same trace of parts every time, so no state is
// lost at a piece boundary.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ox_httpform.h"

namespace {

// Parts as "name[/filename][;mime]=value" joined by '|', then ':' and the
// result of the parse.
struct Trace {
  std::string text;
  int stop_after = -1;  // the sink fails at this part's begin (E2BIG)
  int parts = 0;

  static int begin(void *cls, const char *name, const char *filename,
                   const char *mime) noexcept {
    auto *t = static_cast<Trace *>(cls);
    if (t->parts++ == t->stop_after) return E2BIG;
    if (!t->text.empty()) t->text += "|";
    t->text += name;
    if (filename != nullptr) t->text += std::string("/") + filename;
    if (mime != nullptr) t->text += std::string(";") + mime;
    t->text += "=";
    return 0;
  }
  static int data(void *cls, const char *p, size_t n) noexcept {
    static_cast<Trace *>(cls)->text.append(p, n);
    return 0;
  }
  static int end(void *cls) noexcept {
    static_cast<Trace *>(cls)->text += "$";
    return 0;
  }
};

// Parses |body| in pieces split at |cuts| (offsets in increasing order).
std::string parse(const char *type, const std::string &body,
                  const std::vector<size_t> &cuts, int stop_after = -1) {
  Trace trace;
  trace.stop_after = stop_after;
  ox__formsink sink{Trace::begin, Trace::data, Trace::end, &trace};
  ox_httpform *form = nullptr;
  int rc = ox__httpform_new(type, &sink, &form);
  if (rc != 0) return "new:" + std::to_string(rc);
  size_t at = 0;
  for (size_t cut : cuts) {
    if (rc == 0) rc = ox__httpform_feed(form, body.data() + at, cut - at);
    at = cut;
  }
  if (rc == 0) rc = ox__httpform_feed(form, body.data() + at, body.size() - at);
  if (rc == 0) rc = ox__httpform_finish(form);
  ox__httpform_free(form);
  return trace.text + ":" + std::to_string(rc);
}

// The trace of |body|, after checking that every way of splitting it gives
// the same one.
std::string parse_every_split(const char *type, const std::string &body,
                              int stop_after = -1) {
  std::string whole = parse(type, body, {}, stop_after);
  std::vector<size_t> bytes;
  for (size_t i = 1; i < body.size(); ++i) bytes.push_back(i);
  EXPECT_EQ(parse(type, body, bytes, stop_after), whole) << "byte by byte";
  for (size_t i = 1; i < body.size(); ++i) {
    EXPECT_EQ(parse(type, body, {i}, stop_after), whole) << "split at " << i;
  }
  return whole;
}

constexpr char kMultipart[] = "multipart/form-data; boundary=xB";
const std::string kEbadmsg = std::to_string(EBADMSG);
const std::string kE2big = std::to_string(E2BIG);

TEST(OxHttpform, MultipartPartsSurviveEverySplit) {
  struct Case {
    const char *what;
    std::string body;
    std::string trace;
  } cases[] = {
      {"field and file",
       "--xB\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
       "--xB\r\ncontent-disposition: form-data; name=\"f\"; "
       "filename=\"x.txt\"\r\nContent-Type: text/plain\r\n\r\nline\r\n\r\n"
       "--xB--\r\n",
       "a=1$|f/x.txt;text/plain=line\r\n$:0"},
      {"preamble, padding, epilogue and near-delimiters in the data",
       "junk\r\n--xB  \r\nContent-Disposition: form-data; name=a\r\n\r\n"
       "\r\n--x\r\r\n--xC\r\n--xB--junk",
       "a=\r\n--x\r\r\n--xC$:0"},
      {"quoted name with escapes, empty filename, empty part",
       "--xB\r\nContent-Disposition: form-data; name=\"q\\\"x\"; "
       "filename=\"\"\r\n\r\n\r\n--xB\r\nContent-Disposition: form-data; "
       "filename=\"C:\\dir\\f\"; name=b\r\n\r\nz\r\n--xB--",
       "q\"x/=$|b/C:\\dir\\f=z$:0"},
      {"no closing delimiter",
       "--xB\r\nContent-Disposition: form-data; "
       "name=\"a\"\r\n\r\n123",
       "a=123:" + kEbadmsg},
      {"no name", "--xB\r\nContent-Disposition: form-data\r\n\r\n1\r\n--xB--",
       ":" + kEbadmsg},
      {"no headers", "--xB\r\n\r\n1\r\n--xB--", ":" + kEbadmsg},
      {"garbage after a delimiter", "--xB\r\nX\r\n", ":" + kEbadmsg},
      {"no delimiter at all", "just text", ":" + kEbadmsg},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(parse_every_split(kMultipart, c.body), c.trace);
  }
}

TEST(OxHttpform, UrlencodedPairsSurviveEverySplit) {
  constexpr char type[] = "application/x-www-form-urlencoded; charset=utf-8";
  struct Case {
    std::string body, trace;
  } cases[] = {
      {"a=1&b=two+words&c=%41%4a%zz%4&&d&=e&f=g=h",
       "a=1$|b=two words$|c=AJ%zz%4$|d=$|=e$|f=g=h$:0"},
      {"n%3Dame=%", "n=ame=%$:0"},
      {std::string(20000, 'k') + "=v", std::string(20000, 'k') + "=v$:0"},
      {"", ":0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    std::string got = c.body.size() > 1000 ? parse(type, c.body, {7, 19999})
                                           : parse_every_split(type, c.body);
    EXPECT_EQ(got, c.trace);
  }
}

TEST(OxHttpform, SinkFailureStopsTheParseAndSticks) {
  std::string body =
      "--xB\r\nContent-Disposition: form-data; name=a\r\n\r\n1\r\n"
      "--xB\r\nContent-Disposition: form-data; name=b\r\n\r\n2\r\n--xB--";
  EXPECT_EQ(parse_every_split(kMultipart, body, 1), "a=1$:" + kE2big);
  EXPECT_EQ(
      parse_every_split("application/x-www-form-urlencoded", "a=1&b=2", 1),
      "a=1$:" + kE2big);
}

TEST(OxHttpform, TypesAndBoundariesThatCannotBeParsedAreRefused) {
  const std::string einval = "new:" + std::to_string(EINVAL);
  for (const char *type :
       {"text/plain", "multipart/form-datax; boundary=a", "multipart/form-data",
        "multipart/form-data; boundary=", "multipart/form-data; boundary=\"\"",
        "multipart/mixed; boundary=a"}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(parse(type, "", {}), einval);
  }
  std::string long_boundary =
      "multipart/form-data; boundary=" + std::string(201, 'b');
  EXPECT_EQ(parse(long_boundary.c_str(), "", {}), einval);
  EXPECT_EQ(ox__httpform_kind("Multipart/Form-Data ; boundary=a"),
            ox__formkind::multipart);
  EXPECT_EQ(ox__httpform_kind(nullptr), ox__formkind::none);
}

}  // namespace
