// fileserve: the files under a directory, with index pages, listings,
// validators, byte ranges and gzip for the clients that accept it.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

namespace {

// What the command line asks for.  Options come before the two positional
// arguments; each option is one entry of parse_option().
struct options {
  const char *port = nullptr;
  const char *dir = nullptr;
};

// Takes argv[*i] (and its value, if it has one) as an option; false for an
// unknown one.  None exist yet: every word that starts with "--" is unknown.
bool parse_option(int argc, char *argv[], int *i, options *opts) {
  (void)argc;
  (void)i;
  (void)opts;
  (void)argv;
  return false;
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
  return positional == 2;
}

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
    fprintf(stderr, "usage: %s <PORT> <DIR>\n", argv[0]);
    return 1;
  }
  struct stat st;
  if (stat(opts.dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "%s: %s is not a directory\n", argv[0], opts.dir);
    return 1;
  }
  // Not a number gives 0 (a port of the system's choice); above 65535 wraps.
  auto port = static_cast<uint16_t>(strtol(opts.port, nullptr, 10));
  ox_httpsrv *srv = ox_httpsrv_new(serve, const_cast<char *>(opts.dir));
  ox_httpsrv_set_compression(srv, 6);
  if (!ox_httpsrv_listen(srv, port, false)) {
    ox_httpsrv_free(srv);
    return 1;
  }
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();  // any character, or the end of input, stops the server
  ox_httpsrv_free(srv);
  return 0;
}
