// The console demos run as processes: each must print exactly its script's
// bytes on standard output, nothing on standard error, and exit with 0.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "support/process.h"

namespace {

struct DemoCase {
  const char *name;
  const char *out;
};

const DemoCase kConsoleDemos[] = {
    {"textjoin", "Hello world"},
    {"chatlog",
     "C:\tHello!\n"
     "P:\tHello. How are you?\n"
     "C:\tI'm fine. And you?\n"
     "P:\tMe too.\n"
     "\n"
     "Chatters:\n"
     "\tP: Pelna\n"
     "\tC: Cavelo\n"},
    {"pathmatch", "/foo: foo-data\n"},
    {"namedgroups",
     "/foo/bar: foo-bar-data\n"
     "---\n"
     "/customer/Kelvardo: customer-data\n"
     " name: Kelvardo\n"
     "---\n"
     "/product/123: product-data\n"
     " id: 123\n"
     "---\n"
     "/employee/123/i: employee-data\n"
     " id: 123\n"},
    {"pathparts",
     "/foo/123: foo-data\n"
     "---\n"
     "/bar/abc/123: bar-data\n"
     " 0: abc\n"
     " 1: 123\n"},
    {"mounts",
     "/foo: r1-foo-data\n"
     "/bar: r1-bar-data\n"
     "/foo: r2-foo-data\n"
     "/bar: r2-bar-data\n"},
};

TEST(Demos, ConsoleDemosPrintTheirScriptExactly) {
  for (const DemoCase &demo : kConsoleDemos) {
    SCOPED_TRACE(demo.name);
    // Arguments and input are ignored by these demos; give them some anyway.
    oxtest::RunResult r = oxtest::run(
        {std::string(OX_EXAMPLES_DIR "/") + demo.name, "ignored"}, "x\n");
    EXPECT_FALSE(r.status.timed_out);
    EXPECT_TRUE(r.status.exited) << "signal " << r.status.signal;
    EXPECT_EQ(r.status.code, 0);
    EXPECT_EQ(r.out, demo.out);
    EXPECT_EQ(r.err, "");
  }
}

// The helper itself: the server demos rely on line reads, stdin and kill.
TEST(Process, ReadsLinesAnswersStdinAndReportsExit) {
  auto p = oxtest::Process::start(
      {"/bin/sh", "-c",
       "echo ready; read x; echo \"got $x\"; echo oops >&2; "
       "exit 3"});
  ASSERT_NE(p, nullptr);
  std::string line;
  ASSERT_TRUE(p->read_line(&line, 10000));
  EXPECT_EQ(line, "ready");
  ASSERT_TRUE(p->write_stdin("q\n"));
  ASSERT_TRUE(p->read_line(&line, 10000));
  EXPECT_EQ(line, "got q");
  oxtest::ExitStatus st = p->wait(10000);
  EXPECT_TRUE(st.exited);
  EXPECT_EQ(st.code, 3);
  EXPECT_EQ(p->read_stdout(), "");
  EXPECT_EQ(p->read_stderr(), "oops\n");
}

TEST(Process, KillsAChildThatOutlivesItsTimeout) {
  auto p = oxtest::Process::start({"/bin/sleep", "600"});
  ASSERT_NE(p, nullptr);
  oxtest::ExitStatus st = p->wait(100);
  EXPECT_TRUE(st.timed_out);
  EXPECT_FALSE(st.exited);
  EXPECT_EQ(st.signal, SIGKILL);
}

TEST(Process, MissingProgramIsReportedNotStarted) {
  std::string error;
  EXPECT_EQ(oxtest::Process::start({"/nonexistent/ombrix-demo"}, &error),
            nullptr);
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

}  // namespace
