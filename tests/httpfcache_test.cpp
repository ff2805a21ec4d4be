// The open-file cache: a file changed on disk is served as it now is
// within about a second (never anything outside the root meanwhile), the
// cache keeps no more descriptors than it may, and replies racing with a
// replacement each carry one whole version of the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ombrix.h"
#include "support/alloc_torture.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

namespace fs = std::filesystem;
using oxtest::TestServer;

class FileCache : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("oxfcache-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    root_ = base_ / "root";
    fs::create_directories(root_);
    write(base_ / "secret.txt", "SECRET");
  }
  void TearDown() override { fs::remove_all(base_); }

  static void write(const fs::path &p, const std::string &data) {
    std::ofstream(p, std::ios::binary) << data;
  }
  // Replaces |p| whole, as a deployment does: a new file renamed over it.
  static void replace(const fs::path &p, const std::string &data) {
    fs::path tmp = p;
    tmp += ".new";
    write(tmp, data);
    fs::rename(tmp, p);
  }

  fs::path base_, root_;
};

int open_descriptors() {
  int n = 0;
  for (const auto &e : fs::directory_iterator("/proc/self/fd")) {
    (void)e;
    n++;
  }
  return n;
}

// "200 body", "404", or the transfer's failure.
std::string outcome(uint16_t port, const std::string &target) {
  oxtest::Response r = oxtest::http_get(port, target);
  if (!r.ok()) return "error " + r.error;
  if (r.status != 200) return std::to_string(r.status);
  return "200 " + r.body;
}

TEST_F(FileCache, ChangedFileIsServedAsItNowIsWithinAboutASecond) {
  enum class change { rename_over, rewrite_in_place, remove, link_out };
  struct {
    const char *name;
    change how;
    bool senddir;  // else ox_httpres_sendfile() with an absolute path
    const char *after;
  } cases[] = {
      {"renamed over", change::rename_over, true, "200 version two"},
      {"rewritten in place", change::rewrite_in_place, true,
       "200 version two"},
      {"removed", change::remove, true, "404"},
      {"replaced by a link out of the root", change::link_out, true, "404"},
      {"sendfile, renamed over", change::rename_over, false,
       "200 version two"},
  };
  std::string root = root_.string();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    fs::path file = root_ / "page.txt";
    fs::remove(file);
    write(file, "version one");
    std::string path = file.string();
    bool senddir = c.senddir;
    TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
      int rc = senddir ? ox_httpres_senddir(res, root.c_str(),
                                            ox_httpreq_path(req))
                       : ox_httpres_sendfile(res, path.c_str(), 200);
      if (rc != 0) ox_httpres_sendbinary(res, "", 0, "text/plain", 404);
    });
    ASSERT_TRUE(srv.listening());
    // Twice: the second comes from the cache.
    ASSERT_EQ(outcome(srv.port(), "/page.txt"), "200 version one");
    ASSERT_EQ(outcome(srv.port(), "/page.txt"), "200 version one");
    switch (c.how) {
      case change::rename_over: replace(file, "version two"); break;
      case change::rewrite_in_place: write(file, "version two"); break;
      case change::remove: fs::remove(file); break;
      case change::link_out:
        fs::remove(file);
        fs::create_symlink(base_ / "secret.txt", file);
        break;
    }
    // Until the change shows, only the old version may be served.
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string got;
    do {
      got = outcome(srv.port(), "/page.txt");
      if (got != "200 version one") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < give_up);
    EXPECT_EQ(got, c.after);
  }
}

TEST_F(FileCache, KeepsNoMoreDescriptorsThanItsEntries) {
  constexpr int files = 40;
  for (int i = 0; i < files; i++) {
    write(root_ / ("f" + std::to_string(i) + ".txt"), std::to_string(i));
  }
  std::string root = root_.string();
  auto serve = [&](ox_httpreq *req, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_senddir(res, root.c_str(), ox_httpreq_path(req)), 0);
  };
  struct {
    unsigned int entries;
    int least, most;  // descriptors the server holds afterwards, give
                      // or take the connections still closing
  } cases[] = {
      {8, 8 - 2, 8 + 3},
      {0, -2, 3},  // off
      {1024, files - 2, files + 3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.entries);
    oxtest::ServerOptions opts;
    opts.configure = [&](ox_httpsrv *s) {
      ASSERT_EQ(ox_httpsrv_set_file_cache(s, c.entries), 0);
    };
    TestServer srv(serve, opts);
    ASSERT_TRUE(srv.listening());
    // The serving thread opens the root once; a missing file is not kept.
    ASSERT_EQ(outcome(srv.port(), "/missing.txt"), "404");
    int before = open_descriptors();
    for (int round = 0; round < 2; round++) {
      for (int i = 0; i < files; i++) {
        std::string name = "/f" + std::to_string(i) + ".txt";
        ASSERT_EQ(outcome(srv.port(), name), "200 " + std::to_string(i));
      }
    }
    int held = open_descriptors() - before;
    EXPECT_GE(held, c.least);
    EXPECT_LE(held, c.most);
  }
}

TEST_F(FileCache, RepliesRacingAReplacementCarryOneWholeVersion) {
  // Versions of different lengths, so that a reply mixing a length and
  // another version's bytes shows.
  const std::string versions[] = {std::string(1000, 'A'),
                                  std::string(3000, 'B')};
  fs::path file = root_ / "race.txt";
  write(file, versions[0]);
  std::string root = root_.string();
  oxtest::ServerOptions opts;
  opts.model = oxtest::ThreadModel::kPool;
  TestServer srv(
      [&](ox_httpreq *req, ox_httpres *res) {
        EXPECT_EQ(
            ox_httpres_senddir(res, root.c_str(), ox_httpreq_path(req)), 0);
      },
      opts);
  ASSERT_TRUE(srv.listening());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; i < 400 && !done; i++) {
      replace(file, versions[i % 2]);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto stop_at = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::atomic<int> bad{0}, replies{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; t++) {
    readers.emplace_back([&] {
      for (int i = 0; i < 200 && std::chrono::steady_clock::now() < stop_at;
           i++) {
        oxtest::Response r = oxtest::http_get(srv.port(), "/race.txt");
        replies++;
        if (r.status != 200 ||
            (r.body != versions[0] && r.body != versions[1])) {
          if (bad++ == 0) {
            ADD_FAILURE() << r.status << " " << r.body.size() << " bytes "
                          << r.body.substr(0, 16);
          }
        }
      }
    });
  }
  for (auto &t : readers) t.join();
  done = true;
  writer.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(replies.load(), 0);
}

// Small files are sent from memory: at each size about the limit, the
// bytes, the gzip form (its length known), a range and a HEAD match the
// file, from the first reply that fills the cache to those it serves.
TEST_F(FileCache, SmallFilesFromMemoryMatchTheFileAtEverySize) {
  std::string root = root_.string();
  oxtest::ServerOptions opts;
  opts.configure = [](ox_httpsrv *s) {
    ASSERT_EQ(ox_httpsrv_set_compression(s, 6), 0);
  };
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_senddir(res, root.c_str(), ox_httpreq_path(req)), 0);
  }, opts);
  ASSERT_TRUE(srv.listening());
  for (size_t size : {size_t{0}, size_t{300}, size_t{16384}, size_t{16385}}) {
    std::string text;
    for (size_t i = 0; i < size; i++) text += static_cast<char>('a' + i % 23);
    std::string name = "s" + std::to_string(size) + ".txt";
    write(root_ / name, text);
    struct {
      const char *what;
      std::string method, header;
      long status;
      std::string body;
    } cases[] = {
        {"whole", "GET", "", 200, text},
        {"gzip", "GET", "Accept-Encoding: gzip", 200, text},
        {"range", "GET", "Range: bytes=1-3", size > 3 ? 206 : 416,
         size > 3 ? text.substr(1, 3) : "Range Not Satisfiable\n"},
        {"head", "HEAD", "", 200, ""},
    };
    for (int round = 0; round < 2; round++) {
      for (const auto &c : cases) {
        SCOPED_TRACE(name + " " + c.what + " round " + std::to_string(round));
        oxtest::Request q;
        q.method = c.method;
        q.target = "/" + name;
        if (!c.header.empty()) q.headers.push_back(c.header);
        q.decode = c.header.rfind("Accept-Encoding", 0) == 0;
        oxtest::Response r = oxtest::http(srv.port(), q);
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.body, c.body);
        bool gzipped = r.headers.get("Content-Encoding") == "gzip";
        EXPECT_EQ(gzipped, q.decode && size >= 300);
        // Only a file too large to keep is gzipped as it goes out.
        EXPECT_EQ(r.headers.has("Transfer-Encoding"), gzipped && size > 16384);
        if (c.status == 200 && !gzipped) {
          EXPECT_EQ(r.headers.get("Content-Length"), std::to_string(size));
        }
      }
    }
  }
}

// Whichever allocation fails while a kept file is gzipped and sent, the
// client gets the whole file, gzipped or as it is, or a 500, or a closed
// connection: never a wrong body.
TEST_F(FileCache, KeptFileGoesOutWholeWhateverAllocationFails) {
  std::string root = root_.string();
  oxtest::ServerOptions opts;
  opts.configure = [](ox_httpsrv *s) {
    ASSERT_EQ(ox_httpsrv_set_compression(s, 6), 0);
  };
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    ox_httpres_senddir(res, root.c_str(), ox_httpreq_path(req));
  }, opts);
  ASSERT_TRUE(srv.listening());
  int version = 0;
  oxtest::alloc_torture([&](unsigned long fail_at) {
    // A new version each time: the first request keeps it, the second
    // makes its gzip form.
    std::string text(1000 + version, static_cast<char>('a' + version % 26));
    version++;
    write(root_ / "k.txt", text);
    oxtest::Request q;
    q.target = "/k.txt";
    q.headers = {"Accept-Encoding: gzip"};
    EXPECT_EQ(oxtest::http(srv.port(), q).body, text);
    oxtest::alloc_arm(fail_at);
    oxtest::Response r = oxtest::http(srv.port(), q);
    unsigned long calls = oxtest::alloc_disarm();
    if (r.ok() && r.status == 200) {
      EXPECT_EQ(r.body, text);
    } else if (r.ok()) {
      EXPECT_EQ(r.status, 500);
    }
    if (fail_at == 0) {
      EXPECT_EQ(r.headers.get("Content-Encoding"), "gzip");
    }
    return calls;
  });
}

}  // namespace
