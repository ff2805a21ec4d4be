// Certificates for the HTTPS tests, made at test time with the openssl
// command in a temporary directory that goes away with the object: nothing
// long-lived to expire or leak.
#ifndef OX_TEST_TLS_FILES_H
#define OX_TEST_TLS_FILES_H

#include <string>
#include <vector>

namespace oxtest {

class TlsFiles {
 public:
  // Makes a self-signed certificate for 127.0.0.1, ::1 and localhost with
  // its key, the key again encrypted with password(), a second key that
  // matches nothing, and two self-signed client certificates with their
  // keys, and the extra pairs below.  ok() tells whether it worked;
  // error() why not.
  TlsFiles();
  ~TlsFiles();
  TlsFiles(const TlsFiles &) = delete;
  TlsFiles &operator=(const TlsFiles &) = delete;

  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  std::string cert() const { return dir_ + "/cert.pem"; }
  std::string key() const { return dir_ + "/key.pem"; }
  std::string encrypted_key() const { return dir_ + "/key-enc.pem"; }
  std::string other_key() const { return dir_ + "/other-key.pem"; }
  // |n| 0 or 1: two clients, each its own CA.
  std::string client_cert(int n) const {
    return dir_ + "/client" + std::to_string(n) + ".pem";
  }
  std::string client_key(int n) const {
    return dir_ + "/client" + std::to_string(n) + "-key.pem";
  }
  const char *password() const { return "s3cret pass"; }
  // Extra self-signed pairs, each for 127.0.0.1 and localhost too:
  // "renewed" (CN localhost-renewed, serial 0x5200; cert() has 0x5100),
  // "a" (CN a.test) and "wild" (CN x.wild.test).
  std::string extra_cert(const std::string &name) const {
    return dir_ + "/" + name + ".pem";
  }
  std::string extra_key(const std::string &name) const {
    return dir_ + "/" + name + "-key.pem";
  }
  const std::string &dir() const { return dir_; }

 private:
  bool openssl(const std::string &what, const std::vector<std::string> &args);
  bool client(int n);
  bool extra(const std::string &name, const std::string &cn,
             const std::string &serial);
  std::string dir_;
  std::string error_;
};

// The whole of the file at |path|; "" when unreadable.
std::string read_file(const std::string &path);

}  // namespace oxtest

#endif  // OX_TEST_TLS_FILES_H
