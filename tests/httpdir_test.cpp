// Directory serving: what a client may reach under the root and what it
// never may (".." however encoded, absolute paths, links out of the root,
// hidden names), index pages, listings, the slash redirect, and the
// fallback check used where the kernel lacks openat2.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "ombrix.h"
#include "ox_httpdir.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

namespace fs = std::filesystem;
using oxtest::TestServer;

// base/secret.txt beside base/root/: the root holds files, a subdirectory
// with an index, hidden names, and links that stay in or lead out.
class DirTree : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("oxdir-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    root_ = base_ / "root";
    fs::create_directories(root_ / "docs" / "deep");
    fs::create_directories(root_ / ".git");
    write(base_ / "secret.txt", "SECRET");
    write(root_ / "hello.txt", "hello");
    write(root_ / "docs" / "index.html", "<p>docs</p>");
    write(root_ / "docs" / "deep" / "a<b>&\"c\".txt", "odd");
    write(root_ / "docs" / "deep" / "z.css", "p{}");
    write(root_ / ".env", "KEY=1");
    write(root_ / ".git" / "config", "cfg");
    fs::create_symlink(base_ / "secret.txt", root_ / "abs-out");
    fs::create_symlink("../secret.txt", root_ / "rel-out");
    fs::create_symlink(base_, root_ / "dir-out");
    fs::create_symlink("hello.txt", root_ / "in.txt");
  }
  void TearDown() override { fs::remove_all(base_); }

  static void write(const fs::path &p, const std::string &data) {
    std::ofstream(p, std::ios::binary) << data;
  }

  fs::path base_, root_;
};

oxtest::ParsedResponse raw(uint16_t port, const std::string &method,
                           const std::string &target) {
  return oxtest::parse_response(
      oxtest::raw_exchange(port, method + " " + target +
                                     " HTTP/1.1\r\nHost: x\r\n"
                                     "Connection: close\r\n\r\n")
          .bytes);
}

TEST_F(DirTree, ServesOnlyWhatLiesBeneathTheRoot) {
  std::string root = root_.string();
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_senddir(res, root.c_str(), ox_httpreq_path(req)), 0);
  });
  ASSERT_TRUE(srv.listening());
  struct {
    const char *method;
    std::string target;
    int status;
    const char *body;  // nullptr: not checked
  } cases[] = {
      {"GET", "/hello.txt", 200, "hello"},
      {"GET", "/in.txt", 200, "hello"},
      {"GET", "//hello.txt", 200, "hello"},
      {"GET", "/docs/", 200, "<p>docs</p>"},
      {"GET", "/docs/index.html", 200, "<p>docs</p>"},
      {"GET", "/docs/deep/z.css", 200, "p{}"},
      {"GET", "/docs/deep/a%3Cb%3E%26%22c%22.txt", 200, "odd"},
      {"GET", "/missing.txt", 404, "Not Found\n"},
      {"GET", "/hello.txt/", 404, nullptr},
      {"GET", "/../secret.txt", 404, "Not Found\n"},
      {"GET", "/docs/../../secret.txt", 404, nullptr},
      {"GET", "/%2e%2e/secret.txt", 404, nullptr},
      {"GET", "/%2E%2E%2Fsecret.txt", 404, nullptr},
      {"GET", "/docs/..%2f..%2fsecret.txt", 404, nullptr},
      {"GET", "/./hello.txt", 404, nullptr},
      {"GET", "/%2f%2e%2e%2fsecret.txt", 404, nullptr},
      {"GET", "/" + base_.string() + "/secret.txt", 404, nullptr},
      {"GET", "/abs-out", 404, nullptr},
      {"GET", "/rel-out", 404, nullptr},
      {"GET", "/dir-out/secret.txt", 404, nullptr},
      {"GET", "/dir-out/", 404, nullptr},
      {"GET", "/.env", 404, nullptr},
      {"GET", "/.git/config", 404, nullptr},
      {"GET", "/%2egit/config", 404, nullptr},
      {"GET", "/" + std::string(5000, 'a'), 404, nullptr},
      {"POST", "/hello.txt", 405, nullptr},
      {"HEAD", "/hello.txt", 200, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target.substr(0, 80));
    oxtest::ParsedResponse r = raw(srv.port(), c.method, c.target);
    EXPECT_EQ(r.status, c.status);
    if (c.body != nullptr) {
      EXPECT_EQ(r.body, c.body);
    }
    EXPECT_EQ(r.body.find("SECRET"), std::string::npos);
    EXPECT_EQ(r.body.find(base_.string()), std::string::npos);
    EXPECT_EQ(r.body.find("oxdir-"), std::string::npos);
    if (c.status == 405) {
      EXPECT_EQ(r.headers.get("Allow"), "GET, HEAD");
    }
  }
}

TEST_F(DirTree, DirectoriesRedirectToTheirSlashAndListTheirNames) {
  std::string root = root_.string();
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_senddir(res, root.c_str(), ox_httpreq_path(req)), 0);
  });
  ASSERT_TRUE(srv.listening());
  struct {
    const char *target, *location;
  } moves[] = {
      {"/docs", "/docs/"},
      {"/docs/deep", "/docs/deep/"},
      {"//docs", "/docs/"},
      // The query goes along, as it was sent.
      {"/docs?x=1&y=%20", "/docs/?x=1&y=%20"},
  };
  for (const auto &m : moves) {
    SCOPED_TRACE(m.target);
    oxtest::ParsedResponse r = raw(srv.port(), "GET", m.target);
    EXPECT_EQ(r.status, 301);
    EXPECT_EQ(r.headers.get("Location"), m.location);
  }
  oxtest::ParsedResponse listing = raw(srv.port(), "GET", "/docs/deep/");
  EXPECT_EQ(listing.status, 200);
  EXPECT_EQ(listing.headers.get("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(listing.body.find(
                "<li><a href=\"../\">../</a></li>\n"
                "<li><a href=\"a%3Cb%3E%26%22c%22.txt\">a&lt;b&gt;&amp;&quot;c&quot;.txt</a></li>\n"
                "<li><a href=\"z.css\">z.css</a></li>\n</ul>"),
            std::string::npos)
      << listing.body;
  oxtest::ParsedResponse top = raw(srv.port(), "GET", "/");
  EXPECT_EQ(top.status, 200);
  // Directories first (links to directories outside the root included, as
  // names), hidden names never.
  size_t docs = top.body.find("href=\"docs/\""), hello = top.body.find("href=\"hello.txt\"");
  EXPECT_NE(docs, std::string::npos);
  EXPECT_LT(docs, hello);
  EXPECT_EQ(top.body.find(".env"), std::string::npos);
  EXPECT_EQ(top.body.find(".git"), std::string::npos);
  EXPECT_EQ(top.body.find("../"), std::string::npos);
}

TEST_F(DirTree, MissingRootIsTheProgramsToAnswer) {
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    std::string gone = (base_ / "nope").string();
    EXPECT_EQ(ox_httpres_senddir(res, gone.c_str(), ox_httpreq_path(req)),
              ENOENT);
    EXPECT_EQ(ox_httpres_senddir(res, nullptr, "/"), EINVAL);
    ox_httpres_sendbinary(res, "x", 1, "text/plain", 500);
    EXPECT_EQ(ox_httpres_senddir(res, "/", "/"), EALREADY);
  });
  ASSERT_TRUE(srv.listening());
  EXPECT_EQ(raw(srv.port(), "GET", "/").status, 500);
}

TEST_F(DirTree, BothResolversRefuseTheWaysOut) {
  int rootfd = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(rootfd, 0);
  for (bool openat2 : {true, false}) {
    for (const char *rel : {"hello.txt", "in.txt", "docs/deep/z.css"}) {
      SCOPED_TRACE(std::string(rel) + (openat2 ? " openat2" : " fallback"));
      int fd = ox__httpdir_open_beneath(rootfd, rel, O_RDONLY | O_CLOEXEC,
                                        openat2);
      EXPECT_GE(fd, 0);
      if (fd >= 0) close(fd);
    }
    for (const char *rel :
         {"abs-out", "rel-out", "dir-out/secret.txt", "../secret.txt",
          "docs/../../secret.txt", "/etc/hostname"}) {
      SCOPED_TRACE(std::string(rel) + (openat2 ? " openat2" : " fallback"));
      errno = 0;
      int fd = ox__httpdir_open_beneath(rootfd, rel, O_RDONLY | O_CLOEXEC,
                                        openat2);
      EXPECT_EQ(fd, -1);
      if (fd >= 0) close(fd);
    }
  }
  close(rootfd);
}

}  // namespace
