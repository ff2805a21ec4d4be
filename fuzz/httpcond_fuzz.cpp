// Static-file request headers: Range, If-None-Match, If-Modified-Since,
// If-Range and Accept-Encoding as a client may write them, and request
// paths as the directory server splits them.  A range that is served lies
// inside the file; a date that parses formats back to itself; a tag list
// holding our tag matches; a path that is accepted has no way up and no
// hidden component.
//
// Input: the file size (32 bits), then five texts (a length byte and the
// bytes, cut at NUL): Range, If-None-Match, If-Modified-Since, If-Range,
// Accept-Encoding; the rest of the input is a request path.
#include <sys/stat.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "input.h"
#include "ox_httpcond.h"
#include "ox_httpdir.h"
#include "ox_httpenc.h"

namespace {

void check_range(const std::string &text, uint64_t size) {
  ox__range r{1, 0};
  ox__range_kind kind = ox__range_parse(text.c_str(), size, &r);
  if (kind == ox__range_kind::partial) {
    OXF_CHECK(r.first <= r.last && r.last < size);
  }
}

void check_date(const std::string &text) {
  time_t t;
  if (!ox__httpdate_parse(text.c_str(), &t)) return;
  char again[30];
  ox__httpdate_format(t, again);
  time_t t2;
  OXF_CHECK(ox__httpdate_parse(again, &t2) && t2 == t);
}

void check_conditions(const ox__validators &v, const std::string *h,
                      uint64_t size) {
  for (int method = 0; method < 3; method++) {
    ox__cond_request req{method != 2, method == 1, h[1].c_str(),
                         h[2].c_str(), h[0].c_str(), h[3].c_str()};
    ox__range r{1, 0};
    if (ox__cond_evaluate(req, v, &r) == ox__cond::partial) {
      OXF_CHECK(method == 0 && r.first <= r.last && r.last < size);
    }
  }
  // Our own tag, alone or after the client's list, always matches.
  OXF_CHECK(ox__etag_list_matches(v.etag, v.etag));
  OXF_CHECK(ox__etag_list_matches(("W/" + std::string(v.etag)).c_str(),
                                  v.etag));
}

void check_path(const std::string &path) {
  char rel[PATH_MAX];
  if (!ox__httpdir_relative(path.c_str(), rel)) return;
  std::string r = rel;
  OXF_CHECK(!r.empty() && r[0] != '/' && r.size() < PATH_MAX);
  if (r == ".") return;
  size_t start = 0;
  for (;;) {
    size_t end = r.find('/', start);
    std::string part = r.substr(start, end - start);
    OXF_CHECK(!part.empty() && part[0] != '.');
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  oxfuzz::Input in(data, size);
  uint64_t file_size = in.u32();
  std::string headers[5];
  for (std::string &h : headers) h = in.text();
  std::string path = in.bytes(size);
  path.resize(strlen(path.c_str()));

  struct stat st{};
  st.st_size = static_cast<off_t>(file_size);
  st.st_mtim.tv_sec = static_cast<time_t>(file_size * 7919);
  ox__validators v;
  ox__validators_of(st, &v);

  check_range(headers[0], file_size);
  check_date(headers[2]);
  check_date(headers[3]);
  check_conditions(v, headers, file_size);
  ox__accept_gzip(headers[4].c_str());
  check_path(path);
  return 0;
}
