// Test certificates; see tls_files.h.
#include "support/tls_files.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/process.h"

namespace oxtest {

namespace {
constexpr char tls_openssl[] = "/usr/bin/openssl";
}  // namespace

TlsFiles::TlsFiles() {
  if (access(tls_openssl, X_OK) != 0) {
    error_ = "no openssl command (scripts/install-deps test)";
    return;
  }
  std::string pattern =
      (std::filesystem::temp_directory_path() / "ombrix-tls-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "mkdtemp failed";
    return;
  }
  dir_ = pattern;
  // P-256 keys: quick to make, and what servers use.
  openssl(
      "certificate",
      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
       "-nodes", "-keyout", key(), "-out", cert(), "-days", "3650",
       "-set_serial", "0x5100", "-subj", "/CN=localhost", "-addext",
       "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"}) &&
      openssl("encrypted key",
              {"pkey", "-in", key(), "-aes256", "-passout",
               std::string("pass:") + password(), "-out", encrypted_key()}) &&
      openssl("other key", {"genpkey", "-algorithm", "EC", "-pkeyopt",
                            "ec_paramgen_curve:P-256", "-out", other_key()}) &&
      client(0) && client(1) &&
      extra("renewed", "localhost-renewed", "0x5200") &&
      extra("a", "a.test", "0x5a00") && extra("wild", "x.wild.test", "0x5b00");
}

TlsFiles::~TlsFiles() {
  if (dir_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool TlsFiles::client(int n) {
  return openssl(
      "client certificate",
      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
       "-nodes", "-keyout", client_key(n), "-out", client_cert(n), "-days",
       "3650", "-subj", "/CN=client" + std::to_string(n)});
}

bool TlsFiles::extra(const std::string &name, const std::string &cn,
                     const std::string &serial) {
  return openssl(
      name + " certificate",
      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
       "-nodes", "-keyout", extra_key(name), "-out", extra_cert(name), "-days",
       "3650", "-set_serial", serial, "-subj", "/CN=" + cn, "-addext",
       "subjectAltName=DNS:localhost,IP:127.0.0.1,DNS:" + cn});
}

bool TlsFiles::openssl(const std::string &what,
                       const std::vector<std::string> &args) {
  std::vector<std::string> argv{tls_openssl};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = run(argv, {}, 60000);
  if (r.status.exited && r.status.code == 0) return true;
  error_ = "openssl could not make the " + what + ": " + r.err;
  return false;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace oxtest
