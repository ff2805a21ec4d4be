// The chatroom demo's WebSockets with clients written by others, npm's ws
// and Python's websockets, with permessage-deflate and without: each runs a
// script of tests/interop/ against the demo and prints what it saw, one
// line per check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "support/process.h"

namespace {

// Bound on every wait for the demo or a client: generous for sanitizer
// builds; the clients bound their own runs at 20 s.
constexpr int kWaitMs = 60000;

const char kRunningPrefix[] = "Server running at http://localhost:";
const char kPython[] = "/usr/bin/python3";  // Debian's, with its websockets

// An independent client: the program and the script it runs.
struct Client {
  const char *name;
  const char *program;
  const char *script;
};

// Names a client in the test's messages.
void PrintTo(const Client &client, std::ostream *os) { *os << client.name; }

const Client kClients[] = {
    {"node_ws", OX_NODE, OX_SOURCE_DIR "/tests/interop/ws_echo.mjs"},
    {"python_websockets", kPython, OX_SOURCE_DIR "/tests/interop/ws_echo.py"},
};

// What both clients must see; "EXTENSION" stands for the extension the
// server agreed to.
const char kSeen[] =
    "extension: EXTENSION\n"
    "text: text h\xc3\xa9llo \xe2\x9c\x93\n"
    "binary: binary 00ff0180\n"
    "1 MiB text: text 1048576 same\n"
    "1 MiB binary: binary 1048576 same\n"
    "fragments: text 262144 same\n"
    "ping: pong are you there\n"
    "close: 4000 bye\n"
    "chat: guest 1 joined, then 1003 text only\n";

std::string seen_with(const std::string &extension) {
  std::string seen = kSeen;
  seen.replace(seen.find("EXTENSION"), 9, extension);
  return seen;
}

// The chatroom demo, started for one test and stopped by a character on
// its standard input, after which it must exit with 0.
class WsInterop : public ::testing::TestWithParam<std::tuple<Client, bool>> {
 protected:
  void SetUp() override {
    const Client &client = std::get<0>(GetParam());
    if (access(client.program, X_OK) != 0) {
      GTEST_SKIP() << client.name << ": no " << client.program;
    }
    if (access(OX_EXAMPLES_DIR "/chatroom", X_OK) != 0) {
      GTEST_SKIP() << "the demos are not built (OMBRIX_BUILD_EXAMPLES)";
    }
    std::string error;
    demo_ = oxtest::Process::start({OX_EXAMPLES_DIR "/chatroom", "0"}, &error);
    ASSERT_NE(nullptr, demo_) << error;
    std::string line;
    ASSERT_TRUE(demo_->read_line(&line, kWaitMs)) << demo_->read_stderr();
    ASSERT_EQ(0u, line.rfind(kRunningPrefix, 0)) << line;
    port_ = line.substr(sizeof(kRunningPrefix) - 1);
  }

  void TearDown() override {
    if (demo_ == nullptr) return;
    demo_->write_stdin("q");
    oxtest::ExitStatus st = demo_->wait(kWaitMs);
    EXPECT_TRUE(st.exited) << "signal " << st.signal;
    EXPECT_EQ(0, st.code) << demo_->read_stderr();
  }

  std::unique_ptr<oxtest::Process> demo_;
  std::string port_;
};

TEST_P(WsInterop, EchoesEveryKindOfMessageAndClosesWithCodeAndReason) {
  const auto &[client, deflate] = GetParam();
  oxtest::RunResult r = oxtest::run(
      {client.program, client.script, port_, deflate ? "deflate" : "plain"}, "",
      kWaitMs);
  if (r.status.exited && r.status.code == 77) GTEST_SKIP() << r.out;
  EXPECT_EQ(seen_with(deflate ? "permessage-deflate" : "none"), r.out) << r.err;
  EXPECT_TRUE(r.status.exited);
  EXPECT_EQ(0, r.status.code) << r.err;
}

std::string interop_name(
    const ::testing::TestParamInfo<std::tuple<Client, bool>> &info) {
  return std::string(std::get<0>(info.param).name) +
         (std::get<1>(info.param) ? "_deflate" : "_plain");
}

INSTANTIATE_TEST_SUITE_P(Clients, WsInterop,
                         ::testing::Combine(::testing::ValuesIn(kClients),
                                            ::testing::Bool()),
                         interop_name);

}  // namespace
