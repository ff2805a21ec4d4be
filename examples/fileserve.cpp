// fileserve: the files under a directory, with index pages, listings,
// validators, byte ranges and gzip for the clients that accept it; over
// HTTPS with a certificate reloaded on SIGHUP, on one address if asked,
// with an access log in the Common Log Format on standard output, metrics
// and a readiness answer for the operator, and a drain on the way out.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ombrix.h"

namespace {

// What the command line asks for.  Options come before the two positional
// arguments; each option is one entry of parse_option().
struct options {
  const char *port = nullptr;
  const char *dir = nullptr;
  const char *bind = nullptr;
  const char *cert = nullptr;
  const char *key = nullptr;
  const char *metrics = nullptr;  // the path metrics are served at
  const char *ready = nullptr;    // the path the readiness answer is at
};

// How long requests in flight may take to finish once asked to stop.
constexpr unsigned int drain_ms = 5000;

// Takes argv[*i] and its value as an option; false for an unknown one or
// one without its value.
bool parse_option(int argc, char *argv[], int *i, options *opts) {
  const char **slot = nullptr;
  if (strcmp(argv[*i], "--bind") == 0) slot = &opts->bind;
  if (strcmp(argv[*i], "--cert") == 0) slot = &opts->cert;
  if (strcmp(argv[*i], "--key") == 0) slot = &opts->key;
  if (strcmp(argv[*i], "--metrics") == 0) slot = &opts->metrics;
  if (strcmp(argv[*i], "--ready") == 0) slot = &opts->ready;
  if (slot == nullptr || *i + 1 >= argc) return false;
  *slot = argv[++*i];
  return true;
}

bool parse_args(int argc, char *argv[], options *opts) {
  int positional = 0;
  for (int i = 1; i < argc; i++) {
    if (strncmp(argv[i], "--", 2) == 0 && argv[i][2] != '\0') {
      if (!parse_option(argc, argv, &i, opts)) return false;
    } else if (positional == 0) {
      opts->port = argv[i];
      positional++;
    } else if (positional == 1) {
      opts->dir = argv[i];
      positional++;
    } else {
      return false;
    }
  }
  // A certificate goes with its key.
  return positional == 2 && (opts->cert == nullptr) == (opts->key == nullptr);
}

// The settings the options ask for; false (with a word on standard error)
// when one is refused.
bool configure(ox_httpsrv *srv, const options &opts, const char *prog) {
  ox_httpsrv_set_compression(srv, 6);
  ox_httpsrv_set_log(srv, ox_httplog_clf, stdout);
  int rc = opts.bind != nullptr ? ox_httpsrv_set_bind_addr(srv, opts.bind) : 0;
  if (rc != 0) {
    fprintf(stderr, "%s: cannot bind to %s: %s\n", prog, opts.bind,
            rc == EINVAL ? "not an address nor a host name" : strerror(rc));
    return false;
  }
  for (const char *path : {opts.metrics, opts.ready}) {
    if (path != nullptr && path[0] != '/') {
      fprintf(stderr, "%s: %s is not a path (it starts with /)\n", prog, path);
      return false;
    }
  }
  if ((opts.metrics != nullptr &&
       ox_httpsrv_add_metrics_route(srv, opts.metrics) != 0) ||
      (opts.ready != nullptr &&
       ox_httpsrv_add_ready_route(srv, opts.ready) != 0)) {
    fprintf(stderr, "%s: cannot serve metrics or readiness there\n", prog);
    return false;
  }
  // The library tells the error callback (standard error) what is wrong.
  return opts.cert == nullptr ||
         ox_httpsrv_set_tls(srv, opts.cert, opts.key, nullptr) == 0;
}

// Reloads the certificate and key on each SIGHUP (a renewal rewrote the
// files): new connections get the new pair, open ones keep theirs, and a
// bad pair leaves the old one serving.  SIGHUP is blocked in every thread
// and taken here alone, by sigwait(), so no handler runs in a serving
// thread.
class reloader {
 public:
  // Blocks SIGHUP in the calling thread and the threads it starts later.
  reloader() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  }
  ~reloader() { stop(); }
  reloader(const reloader &) = delete;
  reloader &operator=(const reloader &) = delete;

  void start(ox_httpsrv *srv, const options &opts, const char *prog) {
    thread_ = std::thread([this, srv, opts, prog] { run(srv, opts, prog); });
  }

  // Ends the thread, before the server is drained.
  void stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    pthread_kill(thread_.native_handle(), SIGHUP);
    thread_.join();
  }

 private:
  void run(ox_httpsrv *srv, const options &opts, const char *prog) {
    int sig = 0;
    while (sigwait(&set_, &sig) == 0 && !stopping_) {
      if (opts.cert == nullptr) {
        fprintf(stderr, "%s: SIGHUP: no certificate to reload\n", prog);
      } else if (ox_httpsrv_set_tls(srv, opts.cert, opts.key, nullptr) == 0) {
        fprintf(stderr, "%s: certificate reloaded from %s\n", prog,
                opts.cert);
      } else {  // the library said why on standard error
        fprintf(stderr, "%s: certificate not reloaded; the old one serves\n",
                prog);
      }
    }
  }

  sigset_t set_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

void serve(void *cls, ox_httpreq *req, ox_httpres *res) {
  const auto *root = static_cast<const char *>(cls);
  if (ox_httpres_senddir(res, root, ox_httpreq_path(req)) != 0) {
    // The directory went away or cannot be read: say so without naming it.
    static const char kText[] = "Internal Server Error\n";
    ox_httpres_sendbinary(res, kText, sizeof(kText) - 1, "text/plain", 500);
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  options opts;
  if (!parse_args(argc, argv, &opts)) {
    fprintf(stderr,
            "usage: %s [--bind ADDR] [--cert FILE --key FILE] "
            "[--metrics PATH] [--ready PATH] <PORT> <DIR>\n",
            argv[0]);
    return 1;
  }
  struct stat st;
  if (stat(opts.dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "%s: %s is not a directory\n", argv[0], opts.dir);
    return 1;
  }
  // Not a number gives 0 (a port of the system's choice); above 65535 wraps.
  auto port = static_cast<uint16_t>(strtol(opts.port, nullptr, 10));
  // A line at a time, so that the log can be followed through a pipe.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  reloader reload;  // before the server starts its threads
  ox_httpsrv *srv = ox_httpsrv_new(serve, const_cast<char *>(opts.dir));
  if (srv == nullptr || !configure(srv, opts, argv[0]) ||
      !ox_httpsrv_listen(srv, port, false)) {
    ox_httpsrv_free(srv);
    return 1;
  }
  printf("Server running at %s://localhost:%d\n",
         opts.cert != nullptr ? "https" : "http", ox_httpsrv_port(srv));
  reload.start(srv, opts, argv[0]);
  getchar();  // any character, or the end of input, stops the server
  reload.stop();
  unsigned int cut = 0;
  ox_httpsrv_drain(srv, drain_ms, &cut);
  ox_httpsrv_free(srv);
  if (cut != 0) fprintf(stderr, "%s: %u requests cut short\n", argv[0], cut);
  return 0;
}
