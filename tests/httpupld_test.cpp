// Uploads: multipart files received into the upload directory, their
// getters, saving under a checked name, limits and clean-up.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ombrix.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

namespace fs = std::filesystem;
using oxtest::TestServer;

// A scratch directory with the upload directory "up" inside it.
struct UploadDir {
  fs::path base, up;
  UploadDir() {
    char tmpl[] = "/tmp/ox-upld.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    base = tmpl;
    up = base / "up";
    fs::create_directory(up);
  }
  ~UploadDir() {
    std::error_code ec;
    if (!base.empty()) fs::remove_all(base, ec);
  }
  oxtest::ServerOptions options(uint64_t uplds_limit = 0) const {
    oxtest::ServerOptions o;
    std::string dir = up.string();
    o.configure = [dir, uplds_limit](ox_httpsrv *s) {
      EXPECT_EQ(ox_httpsrv_set_upld_dir(s, dir.c_str()), 0);
      if (uplds_limit != 0) {
        EXPECT_EQ(ox_httpsrv_set_uplds_limit(s, uplds_limit), 0);
      }
    };
    return o;
  }
  static std::set<std::string> list(const fs::path &dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
      names.insert(e.path().filename().string());
    return names;
  }
  // Waits (bounded) until "up" holds exactly |names|; what it holds then.
  std::set<std::string> settle(const std::set<std::string> &names) const {
    for (int i = 0; i < 200 && list(up) != names; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return list(up);
  }
};

std::string read_file(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string binary(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13) ^ (i >> 9));
  return s;
}

// A hand-made multipart body, for names and headers curl would not send.
struct RawPart {
  std::string head;  // the Content-Disposition parameters and more lines
  std::string data;
};
oxtest::Request raw_multipart(const std::vector<RawPart> &parts) {
  oxtest::Request req;
  req.method = "POST";
  req.headers = {"Content-Type: multipart/form-data; boundary=oxBOUNDARYox"};
  for (const RawPart &p : parts)
    req.body += "--oxBOUNDARYox\r\nContent-Disposition: form-data; " + p.head +
                "\r\n\r\n" + p.data + "\r\n";
  req.body += "--oxBOUNDARYox--\r\n";
  return req;
}

const char *or_null(const char *s) { return s != nullptr ? s : "(null)"; }

TEST(OxHttpupld, SeveralFilesArriveInOrderAndSaveByteForByte) {
  UploadDir dir;
  ASSERT_FALSE(dir.up.empty());
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    std::string seen;
    for (ox_httpupld *u = ox_httpreq_uploads(req); u != nullptr;) {
      seen += std::string(ox_httpupld_field(u)) + ":" + ox_httpupld_name(u) +
              ":" + or_null(ox_httpupld_mime(u)) + ":" +
              std::to_string(ox_httpupld_size(u)) + ":" +
              std::to_string(ox_httpupld_save(u, false)) + "|";
      EXPECT_EQ(ox_httpuplds_next(&u), 0);
    }
    seen += std::string("note=") + or_null(ox_strmap_get(*ox_httpreq_fields(req), "note")) +
            " payload=" + std::to_string(ox_str_length(ox_httpreq_payload(req))) +
            (ox_httpreq_is_uploading(req) ? " uploading" : "");
    ox_httpres_sendbinary(res, seen.data(), seen.size(), "text/plain", 200);
  }, dir.options());
  ASSERT_TRUE(srv.listening());
  const std::string big = binary(300000);
  oxtest::Request req;
  req.method = "POST";
  req.form = {{"file1", "hello\n", "a.txt", "text/plain", 0, {}},
              {"note", "hi", "", "", 0, {}},
              {"file2", big, "b.bin", "application/octet-stream", 0, {}},
              {"file3", "", "empty.txt", "text/plain", 0, {}}};
  oxtest::Response r = oxtest::http(srv.port(), req);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body,
            "file1:a.txt:text/plain:6:0|"
            "file2:b.bin:application/octet-stream:300000:0|"
            "file3:empty.txt:text/plain:0:0|note=hi payload=0 uploading");
  EXPECT_EQ(dir.settle({"a.txt", "b.bin", "empty.txt"}),
            (std::set<std::string>{"a.txt", "b.bin", "empty.txt"}));
  EXPECT_EQ(read_file(dir.up / "a.txt"), "hello\n");
  EXPECT_TRUE(read_file(dir.up / "b.bin") == big);
  EXPECT_EQ(read_file(dir.up / "empty.txt"), "");
}

TEST(OxHttpupld, UnsafeNamesAreRefusedAndNothingLeavesTheDirectory) {
  UploadDir dir;
  ASSERT_FALSE(dir.up.empty());
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    std::string rcs;
    for (ox_httpupld *u = ox_httpreq_uploads(req); u != nullptr; ox_httpuplds_next(&u))
      rcs += std::to_string(ox_httpupld_save(u, true)) + " ";
    ox_httpres_sendbinary(res, rcs.data(), rcs.size(), "text/plain", 200);
  }, dir.options());
  ASSERT_TRUE(srv.listening());
  const std::string longest(255, 'm'), too_long(256, 'n');
  std::vector<RawPart> parts;
  // (An empty name marks a file input left empty: no upload is made.)
  for (std::string name : {std::string("."), std::string(".."),
                           std::string("../escape.txt"), std::string("sub/x.txt"),
                           std::string("/abs.txt"), std::string("..\\win.txt"),
                           std::string("ctl\x01.txt"), std::string("tab\t.txt"), too_long,
                           longest, std::string("ok.txt"), std::string("..dots")})
    parts.push_back({"name=\"f\"; filename=\"" + name + "\"\r\nContent-Type: text/plain",
                     "data"});
  oxtest::Response r = oxtest::http(srv.port(), raw_multipart(parts));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "22 22 22 22 22 22 22 22 22 0 0 0 ");
  EXPECT_EQ(dir.settle({longest, "ok.txt", "..dots"}),
            (std::set<std::string>{longest, "ok.txt", "..dots"}));
  EXPECT_EQ(UploadDir::list(dir.base), std::set<std::string>{"up"});
}

TEST(OxHttpupld, ExistingFileNeedsOverwriteAndAFileIsSavedOnce) {
  UploadDir dir;
  ASSERT_FALSE(dir.up.empty());
  std::ofstream(dir.up / "same.txt") << "old";
  std::string during;
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    ox_httpupld *u = ox_httpreq_uploads(req);
    std::string rcs = std::to_string(ox_httpupld_save(u, false));
    during = read_file(dir.up / "same.txt");
    rcs += " " + std::to_string(ox_httpupld_save(u, true));
    rcs += " " + std::to_string(ox_httpupld_save(u, true));
    ox_httpres_sendbinary(res, rcs.data(), rcs.size(), "text/plain", 200);
  }, dir.options());
  ASSERT_TRUE(srv.listening());
  oxtest::Request req;
  req.method = "POST";
  req.form = {{"f", "new", "same.txt", "text/plain", 0, {}}};
  EXPECT_EQ(oxtest::http(srv.port(), req).body,
            std::to_string(EEXIST) + " 0 " + std::to_string(EALREADY));
  srv.stop();
  EXPECT_EQ(during, "old");
  EXPECT_EQ(read_file(dir.up / "same.txt"), "new");
}

TEST(OxHttpupld, MimeIsNullWhenTheClientGaveNone) {
  UploadDir dir;
  ASSERT_FALSE(dir.up.empty());
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    ox_httpupld *u = ox_httpreq_uploads(req);
    std::string seen = u == nullptr ? "none"
                                    : std::string(ox_httpupld_name(u)) + ":" +
                                          or_null(ox_httpupld_mime(u));
    ox_httpres_sendbinary(res, seen.data(), seen.size(), "text/plain", 200);
  }, dir.options());
  ASSERT_TRUE(srv.listening());
  EXPECT_EQ(oxtest::http(srv.port(),
                         raw_multipart({{"name=\"f\"; filename=\"plain\"", "xyz"}}))
                .body,
            "plain:(null)");
}

TEST(OxHttpupld, UnsavedUploadsLiveInTheDirectoryOnlyDuringTheRequest) {
  UploadDir dir;
  ASSERT_FALSE(dir.up.empty());
  std::atomic<size_t> during{0};
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    during = UploadDir::list(dir.up).size();
    for (ox_httpupld *u = ox_httpreq_uploads(req); u != nullptr; ox_httpuplds_next(&u))
      if (std::string(ox_httpupld_name(u)) == "keep.txt") ox_httpupld_save(u, false);
    ox_httpres_sendbinary(res, "ok", 2, "text/plain", 200);
  }, dir.options());
  ASSERT_TRUE(srv.listening());
  oxtest::Request req;
  req.method = "POST";
  req.form = {{"a", binary(70000), "drop.bin", "", 0, {}},
              {"b", "keep me", "keep.txt", "", 0, {}},
              {"c", "also dropped", "drop.txt", "", 0, {}}};
  EXPECT_EQ(oxtest::http(srv.port(), req).status, 200);
  EXPECT_EQ(during.load(), 3u);  // streamed to temporary files there
  EXPECT_EQ(dir.settle({"keep.txt"}), std::set<std::string>{"keep.txt"});
  EXPECT_EQ(read_file(dir.up / "keep.txt"), "keep me");
}

TEST(OxHttpupld, UploadsOverTheLimitAre413WithoutCallbackOrLeftovers) {
  UploadDir dir;
  ASSERT_FALSE(dir.up.empty());
  oxtest::Counter calls;
  TestServer srv([&](ox_httpreq *, ox_httpres *res) {
    calls.add();
    ox_httpres_sendbinary(res, "ok", 2, "text/plain", 200);
  }, dir.options(1000));
  ASSERT_TRUE(srv.listening());
  struct Case {
    const char *what;
    std::vector<oxtest::FormPart> form;
    long status;
  } cases[] = {
      {"one file over", {{"f", binary(5000), "big.bin", "", 0, {}}}, 413},
      {"two files over together",
       {{"f", binary(600), "a.bin", "", 0, {}}, {"g", binary(600), "b.bin", "", 0, {}}},
       413},
      {"under", {{"f", binary(900), "small.bin", "", 0, {}}}, 200},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    oxtest::Request req;
    req.method = "POST";
    req.form = c.form;
    EXPECT_EQ(oxtest::http(srv.port(), req).status, c.status);
    EXPECT_EQ(dir.settle({}), std::set<std::string>{});
  }
  srv.stop();
  EXPECT_EQ(calls.value(), 1);
}

long peak_rss_kib() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

TEST(OxHttpupld, HundredMebibyteUploadGoesToDiskNotMemory) {
  UploadDir dir;
  ASSERT_FALSE(dir.up.empty());
  constexpr uint64_t kSize = 100ull << 20;
  std::atomic<uint64_t> seen_size{0};
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    ox_httpupld *u = ox_httpreq_uploads(req);
    seen_size = u != nullptr ? ox_httpupld_size(u) : 0;
    int rc = u != nullptr ? ox_httpupld_save(u, false) : -1;
    std::string out = std::to_string(rc);
    ox_httpres_sendbinary(res, out.data(), out.size(), "text/plain", 200);
  }, dir.options());
  ASSERT_TRUE(srv.listening());
  long before = peak_rss_kib();
  ASSERT_GT(before, 0);
  uint64_t produced = 0;
  uLong sent_crc = crc32(0, nullptr, 0);
  oxtest::Request req;
  req.method = "POST";
  req.timeout_ms = 240000;
  req.form = {{"f", "", "huge.bin", "application/octet-stream", kSize,
               [&](char *buf, size_t size) {
                 size_t n = std::min<uint64_t>(size, kSize - produced);
                 for (size_t i = 0; i < n; ++i)
                   buf[i] = static_cast<char>((produced + i) * 2654435761u >> 24);
                 sent_crc = crc32(sent_crc, reinterpret_cast<Bytef *>(buf),
                                  static_cast<uInt>(n));
                 produced += n;
                 return n;
               }}};
  oxtest::Response r = oxtest::http(srv.port(), req);
  long growth_kib = peak_rss_kib() - before;
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "0");
  EXPECT_EQ(seen_size.load(), kSize);
  RecordProperty("peak_rss_growth_kib", std::to_string(growth_kib));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(growth_kib, 30 * 1024);  // far below the 100 MiB that went through
#endif
  std::ifstream in(dir.up / "huge.bin", std::ios::binary);
  uLong saved_crc = crc32(0, nullptr, 0);
  uint64_t saved = 0;
  std::vector<char> chunk(1 << 20);
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) ||
         in.gcount() > 0) {
    saved_crc = crc32(saved_crc, reinterpret_cast<Bytef *>(chunk.data()),
                      static_cast<uInt>(in.gcount()));
    saved += static_cast<uint64_t>(in.gcount());
  }
  EXPECT_EQ(saved, kSize);
  EXPECT_EQ(saved_crc, sent_crc);
}

TEST(OxHttpupld, NullHandlesAreRefused) {
  errno = 0;
  EXPECT_EQ(ox_httpupld_name(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ox_httpupld_field(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ox_httpupld_mime(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ox_httpupld_size(nullptr), 0u);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ox_httpupld_save(nullptr, true), EINVAL);
  EXPECT_EQ(ox_httpuplds_next(nullptr), EINVAL);
  ox_httpupld *none = nullptr;
  EXPECT_EQ(ox_httpuplds_next(&none), EINVAL);
}

}  // namespace

namespace {

TEST(OxHttpupld, MultipartWithoutUsableBoundaryIs400NotAnEmptyRequest) {
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    std::string a = or_null(ox_strmap_get(*ox_httpreq_fields(req), "a"));
    ox_httpres_sendbinary(res, a.data(), a.size(), "text/plain", 200);
  });
  ASSERT_TRUE(srv.listening());
  struct Case {
    const char *type;
    long status;
  } cases[] = {
      {"multipart/form-data", 400},
      {"multipart/form-data; boundary=", 400},
      {"multipart/form-data; boundary=x", 200},  // one character will do
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.type);
    oxtest::Request req;
    req.method = "POST";
    req.headers = {std::string("Content-Type: ") + c.type};
    req.body = "--x\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--x--\r\n";
    oxtest::Response r = oxtest::http(srv.port(), req);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 200) {
      EXPECT_EQ(r.body, "1");
    }
  }
}

oxtest::Request multipart_body(const std::string &body) {
  oxtest::Request req;
  req.method = "POST";
  req.headers = {"Content-Type: multipart/form-data; boundary=B"};
  req.body = body;
  return req;
}

TEST(OxHttpupld, MalformedOrCutMultipartIs4xxAndLeavesNoFile) {
  UploadDir dir;
  ASSERT_FALSE(dir.up.empty());
  oxtest::ServerOptions o = dir.options();
  auto configure = o.configure;
  o.configure = [configure](ox_httpsrv *s) {
    configure(s);
    EXPECT_EQ(ox_httpsrv_set_files_limit(s, 3), 0);
  };
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    std::string seen;
    for (ox_httpupld *u = ox_httpreq_uploads(req); u != nullptr;
         ox_httpuplds_next(&u)) {
      seen += std::string(ox_httpupld_field(u)) + ":" + ox_httpupld_name(u);
    }
    ox_httpres_sendbinary(res, seen.data(), seen.size(), "text/plain", 200);
  }, o);
  ASSERT_TRUE(srv.listening());
  std::string file = "--B\r\nContent-Disposition: form-data; name=\"f\"; "
                     "filename=\"a.txt\"\r\n\r\nabc\r\n";
  struct Case {
    const char *what;
    std::string body;
    long status;
    const char *seen;
  } cases[] = {
      {"part without a disposition",
       "--B\r\nContent-Type: text/plain\r\n\r\nx\r\n--B--\r\n", 400, ""},
      {"disposition without a name",
       file + "--B\r\nContent-Disposition: form-data; filename=\"b\"\r\n"
              "\r\nx\r\n--B--\r\n",
       400, ""},
      {"cut before the closing delimiter", file + "--B\r\nContent-Dispo", 400,
       ""},
      {"file data cut off", file.substr(0, file.size() - 3), 400, ""},
      {"four files where three may come", file + file + file + file + "--B--",
       413, ""},
      {"unquoted name", "--B\r\nContent-Disposition: form-data; name=g; "
                        "filename=b.txt\r\n\r\nx\r\n--B--\r\n",
       200, "g:b.txt"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    oxtest::Response r = oxtest::http(srv.port(), multipart_body(c.body));
    EXPECT_EQ(r.status, c.status);
    if (c.status == 200) {
      EXPECT_EQ(r.body, c.seen);
    }
    EXPECT_EQ(dir.settle({}), std::set<std::string>{});
    EXPECT_EQ(oxtest::http_get(srv.port(), "/").status, 200);
  }
}

size_t open_descriptors() {
  return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"),
                                           fs::directory_iterator()));
}

TEST(OxHttpupld, ManyFilePartsHoldOneDescriptorAtATime) {
  // Each part's file used to stay open until the request ended: with the
  // descriptor limit a little above what is open now, 60 parts ran out.
  UploadDir dir;
  ASSERT_FALSE(dir.up.empty());
  std::atomic<int> uploads{0};
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    for (ox_httpupld *u = ox_httpreq_uploads(req); u != nullptr;
         ox_httpuplds_next(&u)) {
      ++uploads;
    }
    ox_httpres_sendbinary(res, "ok", 2, "text/plain", 200);
  }, dir.options());
  ASSERT_TRUE(srv.listening());
  std::vector<RawPart> parts;
  for (int i = 0; i < 60; ++i)
    parts.push_back({"name=\"f\"; filename=\"p" + std::to_string(i) + "\"", "tiny"});
  oxtest::Request req = raw_multipart(parts);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = open_descriptors() + 20;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  long status = oxtest::http(srv.port(), req).status;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(uploads.load(), 60);
  EXPECT_EQ(dir.settle({}), std::set<std::string>{});
}

TEST(OxHttpupld, ClientLeavingMidBodyIsNoticedWithinSeconds) {
  // The end of stream came with the last data and went unseen until the
  // idle timeout, a minute later, with the upload file held open.
  UploadDir dir;
  ASSERT_FALSE(dir.up.empty());
  oxtest::ServerOptions o = dir.options();
  auto configure = o.configure;
  o.configure = [configure](ox_httpsrv *s) {
    configure(s);
    // Far beyond the bounds below: only noticing the client gone can pass.
    EXPECT_EQ(ox_httpsrv_set_body_timeout(s, 120, 0), 0);
  };
  TestServer srv([](ox_httpreq *, ox_httpres *) {
    ADD_FAILURE() << "callback for a body that never came whole";
  }, o);
  ASSERT_TRUE(srv.listening());
  // Generous bounds for loaded machines and sanitizers: noticing takes a
  // second or two, the deadlines it replaces a minute or more.
  auto wait_until = [&](bool want_empty) {
    for (int i = 0; i < 400 && UploadDir::list(dir.up).empty() != want_empty;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return UploadDir::list(dir.up).size();
  };
  for (bool chunked : {false, true}) {
    SCOPED_TRACE(chunked ? "chunked" : "with a length");
    std::string part = "--B\r\nContent-Disposition: form-data; name=\"f\"; "
                       "filename=\"a\"\r\n\r\n" + std::string(3000, 'x');
    char size[32];
    snprintf(size, sizeof(size), "%zx\r\n", part.size());
    std::string framing = chunked ? "Transfer-Encoding: chunked\r\n\r\n" +
                                        std::string(size)
                                  : "Content-Length: 1000000\r\n\r\n";
    oxtest::RawConnection con(srv.port());
    ASSERT_TRUE(con.connected());
    con.send("POST / HTTP/1.1\r\nHost: x\r\n"
             "Content-Type: multipart/form-data; boundary=B\r\n" +
             framing + part);
    // The file must exist while the client is there (polling after the
    // close could miss a file that came and went between two looks).
    EXPECT_EQ(wait_until(false), 1u);
    con.close();
    EXPECT_EQ(wait_until(true), 0u);  // and it went with the client
  }
}

TEST(OxHttpupld, UploadDirectoryThatFailsIs500AndToldToTheErrorCallback) {
  oxtest::Counter calls;
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *s) {
    EXPECT_EQ(ox_httpsrv_set_upld_dir(s, "/nonexistent/ox-upload-dir"), 0);
  };
  TestServer srv([&](ox_httpreq *, ox_httpres *res) {
    calls.add();
    ox_httpres_sendbinary(res, "ok", 2, "text/plain", 200);
  }, o);
  ASSERT_TRUE(srv.listening());
  oxtest::Request req;
  req.method = "POST";
  req.form = {{"f", "data", "a.txt", "", 0, {}}};
  EXPECT_EQ(oxtest::http(srv.port(), req).status, 500);
  srv.stop();
  EXPECT_EQ(calls.value(), 0);
  bool told = false;
  for (const std::string &e : srv.errors())
    told = told || e.find("upload to / failed") != std::string::npos;
  EXPECT_TRUE(told);
}

}  // namespace
