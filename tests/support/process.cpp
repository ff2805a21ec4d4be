// Child processes for tests; see process.h.
#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <initializer_list>

extern char **environ;

namespace oxtest {

namespace {

using clock_type = std::chrono::steady_clock;

void process_close(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

int process_ms_left(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - clock_type::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

ExitStatus process_decode(int wstatus) {
  ExitStatus st;
  if (WIFEXITED(wstatus)) {
    st.exited = true;
    st.code = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    st.signal = WTERMSIG(wstatus);
  }
  return st;
}

}  // namespace

std::unique_ptr<Process> Process::start(const std::vector<std::string> &argv,
                                        std::string *error) {
  auto fail = [&](const char *what, int code) -> std::unique_ptr<Process> {
    if (error) *error = std::string(what) + ": " + std::strerror(code);
    return nullptr;
  };
  if (argv.empty()) return fail("start", EINVAL);
  // A child that closes its stdin early must not kill the test with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);

  // Our ends stay close-on-exec, so no other child inherits them.
  int fds[6];  // stdin read/write, stdout read/write, stderr read/write
  int opened = 0;
  for (; opened < 6; opened += 2) {
    if (pipe2(&fds[opened], O_CLOEXEC) != 0) break;
  }
  if (opened < 6) {
    int e = errno;
    for (int i = 0; i < opened; ++i) close(fds[i]);
    return fail("pipe", e);
  }
  int in[2] = {fds[0], fds[1]}, out[2] = {fds[2], fds[3]},
      err[2] = {fds[4], fds[5]};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 clears close-on-exec on the targets, so only these three survive.
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {in[0], out[1], err[1]}) close(fd);
  if (rc != 0) {
    for (int fd : {in[1], out[0], err[0]}) close(fd);
    return fail(args[0], rc);
  }

  std::unique_ptr<Process> p(new Process);
  p->pid_ = pid;
  p->in_ = in[1];
  p->out_ = out[0];
  p->err_ = err[0];
  fcntl(p->out_, F_SETFL, O_NONBLOCK);
  fcntl(p->err_, F_SETFL, O_NONBLOCK);
  return p;
}

Process::~Process() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int wstatus;
    while (waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
    }
  }
  process_close(&in_);
  process_close(&out_);
  process_close(&err_);
}

void Process::pump(int timeout_ms) {
  pollfd fds[2];
  nfds_t n = 0;
  if (out_ >= 0) fds[n++] = {out_, POLLIN, 0};
  if (err_ >= 0) fds[n++] = {err_, POLLIN, 0};
  if (n == 0) return;
  if (poll(fds, n, timeout_ms) <= 0) return;
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    int *fd = fds[i].fd == out_ ? &out_ : &err_;
    std::string &buf = fds[i].fd == out_ ? out_buf_ : err_buf_;
    char chunk[4096];
    for (;;) {
      ssize_t got = read(*fd, chunk, sizeof chunk);
      if (got > 0) {
        buf.append(chunk, static_cast<size_t>(got));
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      // End of file or an error: the child's end is gone for good.
      if (got == 0 || errno != EAGAIN) process_close(fd);
      break;
    }
  }
}

bool Process::read_line(std::string *line, int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t nl = out_buf_.find('\n');
    if (nl != std::string::npos) {
      line->assign(out_buf_, 0, nl);
      out_buf_.erase(0, nl + 1);
      return true;
    }
    int left = process_ms_left(deadline);
    if (out_ < 0 || left == 0) return false;
    pump(left);
  }
}

bool Process::write_stdin(std::string_view data) {
  while (!data.empty()) {
    if (in_ < 0) return false;
    ssize_t put = write(in_, data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

void Process::close_stdin() { process_close(&in_); }

ExitStatus Process::wait(int timeout_ms) {
  if (reaped_) return status_;
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  int wstatus;
  for (;;) {
    pid_t got = waitpid(pid_, &wstatus, WNOHANG);
    if (got == pid_) {
      status_ = process_decode(wstatus);
      break;
    }
    if (got < 0 && errno != EINTR) {
      status_ = ExitStatus{};
      break;
    }
    int left = process_ms_left(deadline);
    if (left == 0) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
      }
      status_ = process_decode(wstatus);
      status_.timed_out = true;
      break;
    }
    // Short slices: the pipes may stay quiet while the child is ending.
    pump(left < 20 ? left : 20);
  }
  reaped_ = true;
  // The child is gone, so its pipe ends close unless it left descendants
  // holding them; give those a little while, not forever.
  auto drain_deadline = clock_type::now() + std::chrono::milliseconds(2000);
  while ((out_ >= 0 || err_ >= 0) && process_ms_left(drain_deadline) > 0)
    pump(process_ms_left(drain_deadline));
  return status_;
}

std::string Process::read_stdout() {
  pump(0);
  std::string s;
  s.swap(out_buf_);
  return s;
}

std::string Process::read_stderr() {
  pump(0);
  std::string s;
  s.swap(err_buf_);
  return s;
}

RunResult run(const std::vector<std::string> &argv, std::string_view input,
              int timeout_ms) {
  RunResult r;
  std::string error;
  auto p = Process::start(argv, &error);
  if (!p) {
    r.err = error;
    return r;
  }
  p->write_stdin(input);
  p->close_stdin();
  r.status = p->wait(timeout_ms);
  r.out = p->read_stdout();
  r.err = p->read_stderr();
  return r;
}

}  // namespace oxtest
