// Uploads placed by the program: safe names made of a client's, saving to a
// path of the program's choosing (atomic, racing saves, modes, another file
// system), and request bodies handed to a body callback as they arrive.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
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

// A scratch directory with the upload directory "up" and a directory
// "other" for saves, both inside it.
struct SaveDirs {
  fs::path base, up, other;
  SaveDirs() {
    char tmpl[] = "/tmp/ox-save.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    base = tmpl;
    up = base / "up";
    other = base / "other";
    fs::create_directory(up);
    fs::create_directory(other);
  }
  ~SaveDirs() {
    std::error_code ec;
    if (!base.empty()) fs::remove_all(base, ec);
  }
  oxtest::ServerOptions options(
      oxtest::ThreadModel model = oxtest::ThreadModel::kPolling) const {
    oxtest::ServerOptions o;
    o.model = model;
    std::string dir = up.string();
    o.configure = [dir](ox_httpsrv *s) {
      EXPECT_EQ(ox_httpsrv_set_upld_dir(s, dir.c_str()), 0);
    };
    return o;
  }
};

std::set<std::string> list(const fs::path &dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(dir, ec))
    names.insert(e.path().filename().string());
  return names;
}

std::string read_file(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string binary(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * seed) ^ (i >> 7));
  return s;
}

// "0", or the errno's name: traces read as the header documents them.
std::string rc_name(int rc) {
  const char *name = rc == 0 ? "0" : strerrorname_np(rc);
  return name != nullptr ? name : std::to_string(rc);
}

std::string mode_of(const fs::path &p) {
  struct stat st {};
  if (stat(p.c_str(), &st) != 0) return "missing";
  char text[8];
  snprintf(text, sizeof text, "%03o", st.st_mode & 07777);
  return text;
}

oxtest::Request file_post(const std::string &target, const std::string &data) {
  oxtest::Request req;
  req.method = "POST";
  req.target = target;
  req.form = {{"f", data, "client.txt", "text/plain", 0, {}}};
  return req;
}

TEST(OxSafeFilename, ReducesAClientsNameToOneSafeComponent) {
  const std::string a300(300, 'a'), e200 = [] {
    std::string s;
    for (int i = 0; i < 200; ++i) s += "\xc3\xa9";
    return s;
  }();
  struct Case {
    std::string name;
    size_t size;
    int rc;
    std::string out;
  };
  for (const Case &c : std::vector<Case>{
           {"../../etc/x", 256, 0, "x"},
           {"C:\\docs\\report.pdf", 256, 0, "report.pdf"},
           {"..", 256, EINVAL, ""},
           {"", 256, EINVAL, ""},
           {"a/", 256, EINVAL, ""},
           {". - .", 256, EINVAL, ""},
           {".bashrc", 256, 0, "bashrc"},
           {"--rf *", 256, 0, "rf _"},
           {"-.-x. . ", 256, 0, "x"},
           {"ctl\x01\x1f\x7f\xc2\x85.txt", 256, 0, "ctl.txt"},
           {"a<b>c:d\"e|f?g", 256, 0, "a_b_c_d_e_f_g"},
           {"bad\xff\xfe.txt", 256, 0, "bad__.txt"},
           {"over\xc0\xaf" "long\xed\xa0\x80", 256, 0, "over__long___"},
           {"cut\xe2\x82", 256, 0, "cut__"},
           {"caf\xc3\xa9 \xf0\x9f\x93\x84.txt", 256, 0,
            "caf\xc3\xa9 \xf0\x9f\x93\x84.txt"},
           {a300 + ".pdf", 256, 0, std::string(251, 'a') + ".pdf"},
           {a300 + ".pdf", 1000, 0, std::string(251, 'a') + ".pdf"},
           {e200 + ".txt", 256, 0, e200.substr(0, 250) + ".txt"},
           {a300 + "." + std::string(20, 'x'), 256, 0, std::string(255, 'a')},
           {"abcdef.txt", 4, 0, "abc"},
           {"\xc3\xa9t\xc3\xa9", 2, ERANGE, ""},
       }) {
    SCOPED_TRACE(c.name);
    std::vector<char> out(c.size, 'X');
    EXPECT_EQ(rc_name(ox_safe_filename(c.name.c_str(), out.data(), c.size)),
              rc_name(c.rc));
    EXPECT_EQ(std::string(out.data()), c.out);
  }
  char out[8];
  EXPECT_EQ(ox_safe_filename(nullptr, out, sizeof out), EINVAL);
  EXPECT_EQ(ox_safe_filename("x", out, 0), EINVAL);
  EXPECT_EQ(ox_safe_filename("x", nullptr, 8), EINVAL);
}

TEST(OxHttpupldSave, SaveAsMovesAnywhereAndReplacesOnlyWhenAsked) {
  SaveDirs dir;
  ASSERT_FALSE(dir.base.empty());
  const fs::path to = dir.other / "kept.txt";
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    ox_httpupld *u = ox_httpreq_uploads(req);
    const std::string tmp = ox_httpupld_path(u);
    bool overwrite = strcmp(ox_httpreq_path(req), "/replace") == 0;
    // One step a statement: the order of a save and a read matters.
    std::string t = fs::path(tmp).parent_path() == dir.up ? "up:" : "elsewhere:";
    t += read_file(tmp);
    t += " " + rc_name(ox_httpupld_save_as(u, (dir.base / "no/x").c_str(), false));
    t += " " + rc_name(ox_httpupld_save_as(u, "", false));
    t += " " + rc_name(ox_httpupld_save_as(u, to.c_str(), overwrite));
    t += ox_httpupld_path(u) == to    ? " at-to"
         : ox_httpupld_path(u) == tmp ? " at-tmp"
                                      : " lost";
    t += " " + rc_name(ox_httpupld_save_as(u, to.c_str(), false));
    t += " " + read_file(to);
    ox_httpres_sendbinary(res, t.data(), t.size(), "text/plain", 200);
  }, dir.options());
  ASSERT_TRUE(srv.listening());
  struct Case {
    const char *target, *data, *trace;
  };
  for (const Case &c : std::vector<Case>{
           {"/keep", "one", "up:one ENOENT EINVAL 0 at-to EALREADY one"},
           {"/keep", "two", "up:two ENOENT EINVAL EEXIST at-tmp EEXIST one"},
           {"/replace", "three", "up:three ENOENT EINVAL 0 at-to EALREADY three"},
       }) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(oxtest::http(srv.port(), file_post(c.target, c.data)).body, c.trace);
  }
  srv.stop();
  EXPECT_EQ(list(dir.up), std::set<std::string>{});
  EXPECT_EQ(list(dir.other), std::set<std::string>{"kept.txt"});
}

TEST(OxHttpupldSave, TwoRequestsSavingOneNameAtOnceExactlyOneWins) {
  SaveDirs dir;
  ASSERT_FALSE(dir.base.empty());
  constexpr int rounds = 4;
  std::array<oxtest::Counter, rounds> arrived;
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    int round = atoi(ox_httpreq_path(req) + 1);
    // Both handlers reach the save together (or after 5 s, then in turn).
    arrived[round].add();
    arrived[round].wait_for(2, 5000);
    fs::path to = dir.other / ("r" + std::to_string(round));
    std::string rc = rc_name(
        ox_httpupld_save_as(ox_httpreq_uploads(req), to.c_str(), false));
    ox_httpres_sendbinary(res, rc.data(), rc.size(), "text/plain", 200);
  }, dir.options(oxtest::ThreadModel::kPerConnection));
  ASSERT_TRUE(srv.listening());
  const std::array<std::string, 2> bodies{binary(300000, 13), binary(300000, 29)};
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    std::array<std::string, 2> rcs;
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i) {
      clients.emplace_back([&, i] {
        rcs[i] = oxtest::http(srv.port(), file_post("/" + std::to_string(round),
                                                    bodies[i])).body;
      });
    }
    for (std::thread &t : clients) t.join();
    EXPECT_EQ((std::multiset<std::string>{rcs[0], rcs[1]}),
              (std::multiset<std::string>{"0", "EEXIST"}));
    std::string saved = read_file(dir.other / ("r" + std::to_string(round)));
    EXPECT_TRUE(saved == bodies[rcs[0] == "0" ? 0 : 1]) << saved.size();
  }
}

// Sets the umask for its lifetime.
struct Umask {
  mode_t old;
  explicit Umask(mode_t mask) : old(umask(mask)) {}
  ~Umask() { umask(old); }
};

TEST(OxHttpupldSave, SavedFileGetsTheUmasksModeHereAndOnAnotherFileSystem) {
  SaveDirs dir;
  ASSERT_FALSE(dir.base.empty());
  // tmpfs, when the machine has one apart from /tmp: the save then copies.
  char shm_tmpl[] = "/dev/shm/ox-save.XXXXXX";
  fs::path shm = mkdtemp(shm_tmpl) != nullptr ? shm_tmpl : "";
  struct stat a {}, b {};
  bool across = !shm.empty() && stat(dir.base.c_str(), &a) == 0 &&
                stat(shm.c_str(), &b) == 0 && a.st_dev != b.st_dev;
  const std::string data = binary(200000, 7);
  std::set<std::string> saved_names;
  for (const auto &umask_mode : {std::pair{022, "644"}, std::pair{027, "640"}}) {
    // Named, not bound: a lambda below captures the mode.
    const int mask = umask_mode.first;
    const char *const mode = umask_mode.second;
    SCOPED_TRACE(mode);
    std::string trace;
    {
      Umask set(static_cast<mode_t>(mask));
      TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
        ox_httpupld *u = ox_httpreq_uploads(req);
        trace = "tmp=" + mode_of(ox_httpupld_path(u));
        fs::path to = (across ? shm : dir.other) / mode;
        trace += " " + rc_name(ox_httpupld_save_as(u, to.c_str(), false));
        trace += " saved=" + mode_of(to);
        ox_httpres_sendbinary(res, "", 0, "text/plain", 200);
      }, dir.options());
      ASSERT_TRUE(srv.listening());
      EXPECT_EQ(oxtest::http(srv.port(), file_post("/", data)).status, 200);
    }
    EXPECT_EQ(trace, std::string("tmp=600 0 saved=") + mode);
    fs::path saved = (across ? shm : dir.other) / mode;
    EXPECT_TRUE(read_file(saved) == data);
    // Neither the upload nor a half-made copy is left behind.
    saved_names.insert(mode);
    EXPECT_EQ(list(dir.up), std::set<std::string>{});
    EXPECT_EQ(list(saved.parent_path()), saved_names);
  }
  std::error_code ec;
  if (!shm.empty()) fs::remove_all(shm, ec);
  if (!across) GTEST_SKIP() << "no second file system to copy across to";
}

// What a body callback saw of a request.
struct BodySeen {
  std::mutex mu;
  uLong crc = crc32(0, nullptr, 0);
  uint64_t bytes = 0;
  int refuse_with = 0;  // returned for the first piece when non-zero
  int again = -1;       // what setting a callback from the callback gave
  int freed = 0;
  int late_freed = 0;   // closures of callbacks refused with EALREADY

  // Forgets the last body, not the counts.
  void next_body() {
    crc = crc32(0, nullptr, 0);
    bytes = 0;
    again = -1;
  }

  static int on_piece(void *cls, ox_httpreq *req, const void *data,
                      size_t size) noexcept {
    auto *seen = static_cast<BodySeen *>(cls);
    std::lock_guard<std::mutex> lock(seen->mu);
    if (seen->again == -1)
      seen->again = ox_httpreq_set_body_cb(req, on_piece, cls, nullptr);
    if (seen->refuse_with != 0) return seen->refuse_with;
    seen->crc = crc32(seen->crc, static_cast<const Bytef *>(data),
                      static_cast<uInt>(size));
    seen->bytes += size;
    return 0;
  }
  static void on_free(void *cls) noexcept {
    auto *seen = static_cast<BodySeen *>(cls);
    std::lock_guard<std::mutex> lock(seen->mu);
    seen->freed++;
  }
  static void on_late_free(void *cls) noexcept {
    auto *seen = static_cast<BodySeen *>(cls);
    std::lock_guard<std::mutex> lock(seen->mu);
    seen->late_freed++;
  }
  oxtest::ServerOptions options(uint64_t uplds_limit = 0) {
    oxtest::ServerOptions o;
    o.auth = [this](ox_httpauth *, ox_httpreq *req, ox_httpres *) {
      EXPECT_EQ(ox_httpreq_set_body_cb(req, on_piece, this, on_free), 0);
      return true;
    };
    if (uplds_limit != 0) {
      o.configure = [uplds_limit](ox_httpsrv *s) {
        EXPECT_EQ(ox_httpsrv_set_uplds_limit(s, uplds_limit), 0);
      };
    }
    return o;
  }
};

std::string chunked(const std::string &body) {
  std::string wire;
  char line[32];
  for (size_t at = 0, n = 1; at < body.size(); at += n, n = n * 7 + 1) {
    n = std::min(n, body.size() - at);
    snprintf(line, sizeof line, "%zx\r\n", n);
    wire += line + body.substr(at, n) + "\r\n";
  }
  return wire + "0\r\n\r\n";
}

std::string crc_of(const std::string &s) {
  return std::to_string(crc32(crc32(0, nullptr, 0),
                              reinterpret_cast<const Bytef *>(s.data()),
                              static_cast<uInt>(s.size())));
}

TEST(OxHttpreqBodyCb, BodyArrivesWholeAndInOrderAndIsHeldNowhere) {
  BodySeen seen;
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    std::string t = std::to_string(ox_str_length(ox_httpreq_payload(req))) + " " +
                    (ox_httpreq_fields(req) != nullptr && *ox_httpreq_fields(req) != nullptr
                         ? "fields" : "no-fields") + " " +
                    rc_name(ox_httpreq_set_body_cb(req, BodySeen::on_piece, &seen,
                                                   BodySeen::on_late_free));
    std::lock_guard<std::mutex> lock(seen.mu);
    t += " " + std::to_string(seen.bytes) + " " + std::to_string(seen.crc) +
         " " + rc_name(seen.again);
    seen.next_body();
    ox_httpres_sendbinary(res, t.data(), t.size(), "text/plain", 200);
  }, seen.options());
  ASSERT_TRUE(srv.listening());
  const std::string body = binary(100000, 11) + "&a=1";
  const std::string head = "POST /in HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                           "Content-Type: application/x-www-form-urlencoded\r\n";
  struct Case {
    const char *name;
    std::string wire, reply;
  };
  for (const Case &c : std::vector<Case>{
           {"chunked", head + "Transfer-Encoding: chunked\r\n\r\n" + chunked(body),
            "0 no-fields EALREADY 100004 " + crc_of(body) + " EALREADY"},
           {"length", head + "Content-Length: 100004\r\n\r\n" + body,
            "0 no-fields EALREADY 100004 " + crc_of(body) + " EALREADY"},
           {"none", "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
            "0 no-fields EALREADY 0 " + crc_of("") + " -1"},
       }) {
    SCOPED_TRACE(c.name);
    oxtest::ParsedResponse r =
        oxtest::parse_response(oxtest::raw_exchange(srv.port(), c.wire).bytes);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, c.reply);
  }
  srv.stop();
  // Each closure handed back once: at the end of its request, or at once
  // when setting it failed.
  std::lock_guard<std::mutex> lock(seen.mu);
  EXPECT_EQ(seen.freed, 3);
  EXPECT_EQ(seen.late_freed, 3);
}

TEST(OxHttpreqBodyCb, RefusalOrTooLargeBodyIsAnsweredAndNeverPassesTheLimit) {
  BodySeen seen;
  TestServer srv([](ox_httpreq *, ox_httpres *) {
    ADD_FAILURE() << "request callback of a refused body";
  }, seen.options(4096));
  ASSERT_TRUE(srv.listening());
  const std::string head = "POST / HTTP/1.1\r\nHost: x\r\n";
  struct Case {
    const char *name;
    int refuse_with;
    std::string wire;
    const char *status_line;
    uint64_t max_seen;
  };
  for (const Case &c : std::vector<Case>{
           {"E2BIG", E2BIG, head + "Content-Length: 10\r\n\r\n0123456789",
            "HTTP/1.1 413 Content Too Large", 0},
           {"EBADMSG", EBADMSG, head + "Content-Length: 10\r\n\r\n0123456789",
            "HTTP/1.1 400 Bad Request", 0},
           {"EIO", EIO, head + "Transfer-Encoding: chunked\r\n\r\n" + chunked("abc"),
            "HTTP/1.1 500 Internal Server Error", 0},
           {"announced", 0, head + "Content-Length: 4097\r\n\r\n" + std::string(4097, 'x'),
            "HTTP/1.1 413 Content Too Large", 0},
           {"found", 0, head + "Transfer-Encoding: chunked\r\n\r\n" +
                            chunked(std::string(20000, 'y')),
            "HTTP/1.1 413 Content Too Large", 4096},
       }) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(seen.mu);
      seen.next_body();
      seen.refuse_with = c.refuse_with;
    }
    oxtest::RawReply raw = oxtest::raw_exchange(srv.port(), c.wire);
    EXPECT_EQ(oxtest::parse_response(raw.bytes).status_line, c.status_line);
    EXPECT_TRUE(raw.closed);
    std::lock_guard<std::mutex> lock(seen.mu);
    EXPECT_LE(seen.bytes, c.max_seen);
  }
  // The callback knows why it refused; the library logs nothing of it.
  EXPECT_EQ(srv.errors(), std::vector<std::string>{});
  srv.stop();
  EXPECT_EQ(seen.freed, 5);
}

}  // namespace
