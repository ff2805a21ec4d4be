// HTTPS: a server with a certificate made at test time, what curl sees of
// it, the refusals of bad key material, and hostile handshakes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ombrix.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/server_fixture.h"
#include "support/tls_files.h"

namespace {

using oxtest::TestServer;
using oxtest::ThreadModel;
using oxtest::TlsFiles;

// One set of files for the whole suite: openssl takes a while under
// sanitizers.
const TlsFiles &tls_files() {
  static TlsFiles files;
  return files;
}

#define REQUIRE_TLS_FILES()                                     \
  do {                                                          \
    if (!tls_files().ok()) GTEST_SKIP() << tls_files().error(); \
  } while (0)

using oxtest::send_text;

// A server answering "secure <path> from <peer>" over HTTPS.
oxtest::ServerOptions https_options(ThreadModel model) {
  oxtest::ServerOptions o;
  o.model = model;
  o.configure = [](ox_httpsrv *srv) {
    EXPECT_EQ(ox_httpsrv_set_tls(srv, tls_files().cert().c_str(),
                                 tls_files().key().c_str(), nullptr),
              0);
  };
  return o;
}

void answer_secure(ox_httpreq *req, ox_httpres *res) {
  send_text(res, std::string("secure ") + ox_httpreq_path(req) + " from " +
                     ox_httpreq_peer(req));
}

oxtest::Response https_get(uint16_t port, const std::string &target) {
  oxtest::Request req;
  req.target = target;
  req.ca_file = tls_files().cert();
  return oxtest::http(port, req);
}

class OxHttptlsModels : public testing::TestWithParam<ThreadModel> {};

INSTANTIATE_TEST_SUITE_P(ThreadModels, OxHttptlsModels,
                         testing::ValuesIn(oxtest::all_thread_models()),
                         [](const testing::TestParamInfo<ThreadModel> &p) {
                           return oxtest::thread_model_name(p.param);
                         });

TEST_P(OxHttptlsModels, CurlTrustingTheCertificateGetsReplies) {
  REQUIRE_TLS_FILES();
  TestServer srv(answer_secure, https_options(GetParam()));
  ASSERT_TRUE(srv.listening());
  for (const char *path : {"/a", "/b/c"}) {
    oxtest::Response r = https_get(srv.port(), path);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, std::string("secure ") + path + " from 127.0.0.1");
  }
  // Plain HTTP on the HTTPS port gets no HTTP reply.
  oxtest::Response plain = oxtest::http_get(srv.port(), "/");
  EXPECT_FALSE(plain.ok() && plain.status == 200);
}

void never_cb(void *, ox_httpreq *, ox_httpres *) {
  ADD_FAILURE() << "request callback of a server that never listened";
}

TEST(OxHttptls, BadKeyMaterialIsRefusedWithAClearError) {
  REQUIRE_TLS_FILES();
  const TlsFiles &f = tls_files();
  std::string junk = f.dir() + "/junk.pem";
  {
    FILE *out = fopen(junk.c_str(), "w");
    ASSERT_NE(out, nullptr);
    fputs("-----BEGIN CERTIFICATE-----\nnot base64 at all\n", out);
    fclose(out);
  }
  struct Case {
    const char *what;
    std::string cert, key;
    const char *password;
    int rc;
    const char *error;  // a part of the reason, in both places it goes
  };
  std::vector<Case> cases = {
      {"mismatched key", f.cert(), f.other_key(), nullptr, EINVAL,
       "does not match the certificate"},
      {"wrong password", f.cert(), f.encrypted_key(), "wrong", EACCES,
       "password is wrong or missing"},
      {"no password", f.cert(), f.encrypted_key(), nullptr, EACCES,
       "password is wrong or missing"},
      {"junk certificate", junk, f.key(), nullptr, EINVAL,
       "the certificate is no PEM certificate chain (GnuTLS: "},
      {"key as certificate", f.key(), f.key(), nullptr, EINVAL,
       "no PEM certificate"},
      {"no such file", f.dir() + "/absent.pem", f.key(), nullptr, ENOENT,
       "absent.pem: No such file or directory"},
      {"a directory", f.cert(), f.dir(), nullptr, EINVAL, "cannot read"},
  };
  // A sysfs file claims a page and holds a line: the read stops short.
  const char *short_file = "/sys/devices/system/cpu/online";
  if (access(short_file, R_OK) == 0) {
    cases.push_back({"a file shorter than its size", f.cert(), short_file,
                     nullptr, EINVAL, "cannot read"});
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> errors;
    ox_httpsrv *srv = ox_httpsrv_new2(
        nullptr, never_cb,
        [](void *cls, const char *err) {
          static_cast<std::vector<std::string> *>(cls)->push_back(err);
        },
        &errors);
    ASSERT_NE(srv, nullptr);
    EXPECT_EQ(
        ox_httpsrv_set_tls(srv, c.cert.c_str(), c.key.c_str(), c.password),
        c.rc);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("ombrix: TLS: ", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].back(), '\n');
    char why[512];
    EXPECT_EQ(ox_httpsrv_last_error(srv, why, sizeof why), c.rc);
    EXPECT_NE(std::string(why).find(c.error), std::string::npos) << why;
    ox_httpsrv_free(srv);
  }
}

TEST(OxHttptls, EncryptedKeyServesAndOnlyThePairMayChangeOnceListening) {
  REQUIRE_TLS_FILES();
  const TlsFiles &f = tls_files();
  oxtest::ServerOptions o;
  std::string cert = oxtest::read_file(f.cert());
  std::string key = oxtest::read_file(f.encrypted_key());
  o.configure = [&](ox_httpsrv *srv) {
    EXPECT_EQ(ox_httpsrv_set_tls_mem(srv, nullptr, key.c_str(), nullptr),
              EINVAL);
    EXPECT_EQ(
        ox_httpsrv_set_tls_mem(srv, cert.c_str(), key.c_str(), f.password()),
        0);
  };
  TestServer srv(answer_secure, o);
  ASSERT_TRUE(srv.listening());
  oxtest::Response r = https_get(srv.port(), "/enc");
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.body, "secure /enc from 127.0.0.1");
  // Client CAs are fixed once listening; the server's own pair is not.
  EXPECT_EQ(ox_httpsrv_set_tls_client_ca(srv.get(), f.client_cert(0).c_str()),
            EALREADY);
  EXPECT_EQ(
      ox_httpsrv_set_tls(srv.get(), f.cert().c_str(), f.key().c_str(), nullptr),
      0);
  EXPECT_TRUE(https_get(srv.port(), "/again").ok());
  // A plain server stays plain.
  TestServer plain(answer_secure);
  ASSERT_TRUE(plain.listening());
  EXPECT_EQ(ox_httpsrv_set_tls(plain.get(), f.cert().c_str(), f.key().c_str(),
                               nullptr),
            EALREADY);
  EXPECT_EQ(ox_httpsrv_set_tls_sni(plain.get(), "a.test", f.cert().c_str(),
                                   f.key().c_str(), nullptr),
            EALREADY);
}

TEST(OxHttptls, ClientCertificatesAreCheckedAgainstTheClientCas) {
  REQUIRE_TLS_FILES();
  const TlsFiles &f = tls_files();
  oxtest::ServerOptions o = https_options(ThreadModel::kPool);
  auto base = o.configure;
  o.configure = [base, &f](ox_httpsrv *srv) {
    base(srv);
    EXPECT_EQ(ox_httpsrv_set_tls_client_ca(srv, f.key().c_str()), EINVAL);
    EXPECT_EQ(ox_httpsrv_set_tls_client_ca(srv, f.client_cert(0).c_str()), 0);
  };
  TestServer srv(answer_secure, o);
  ASSERT_TRUE(srv.listening());
  struct Case {
    const char *what;
    int client;  // -1: no certificate
    long status;
  } cases[] = {{"trusted client", 0, 200},
               {"no certificate", -1, 403},
               {"unknown client", 1, 403},
               {"trusted again", 0, 200}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    oxtest::Request req;
    req.target = "/me";
    req.ca_file = f.cert();
    if (c.client >= 0) {
      req.cert_file = f.client_cert(c.client);
      req.key_file = f.client_key(c.client);
    }
    oxtest::Response r = oxtest::http(srv.port(), req);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.status, c.status);
  }
  // Client CAs without a certificate of the server's own cannot listen.
  ox_httpsrv *plain = ox_httpsrv_new2(
      nullptr, never_cb, [](void *, const char *) {}, nullptr);
  ASSERT_EQ(ox_httpsrv_set_tls_client_ca(plain, f.client_cert(0).c_str()), 0);
  EXPECT_FALSE(ox_httpsrv_listen(plain, 0, false));
  ox_httpsrv_free(plain);
}

TEST(OxHttptls, HostileHandshakesAreClosedAndServingGoesOn) {
  REQUIRE_TLS_FILES();
  oxtest::ServerOptions o = https_options(ThreadModel::kPolling);
  auto base = o.configure;
  o.configure = [base](ox_httpsrv *srv) {
    base(srv);
    ox_httpsrv_set_head_timeout(srv, 1);
  };
  TestServer srv(answer_secure, o);
  ASSERT_TRUE(srv.listening());
  // Plain HTTP, then bytes that are no record at all, instead of a
  // ClientHello: each is closed without a reply.
  for (const char *junk : {"GET / HTTP/1.1\r\nHost: x\r\n\r\n",
                           "\x16\x03\x01\xff\xff garbage garbage garbage"}) {
    oxtest::RawReply raw = oxtest::raw_exchange(srv.port(), junk, 10000);
    EXPECT_TRUE(raw.closed);
    EXPECT_EQ(raw.bytes.find("HTTP/1."), std::string::npos);
  }
  // A client that connects and never says a word is cut at the head
  // deadline, well before the idle timeout of 60 s.
  oxtest::RawConnection silent(srv.port());
  ASSERT_TRUE(silent.connected());
  auto start = std::chrono::steady_clock::now();
  silent.read_to_close(15000);
  EXPECT_TRUE(silent.peer_closed());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
  oxtest::Response r = https_get(srv.port(), "/after");
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.body, "secure /after from 127.0.0.1");
}

}  // namespace

namespace {

// What `openssl s_client` with |args| said (stdout and stderr) when it
// connected to 127.0.0.1:|port| and its input ended at once.
std::string s_client(uint16_t port, std::vector<std::string> args) {
  std::vector<std::string> argv = {"/usr/bin/openssl", "s_client", "-connect",
                                   "127.0.0.1:" + std::to_string(port)};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string error;
  auto p = oxtest::Process::start(argv, &error);
  if (!p) return "cannot start openssl: " + error;
  p->close_stdin();
  p->wait(20000);
  return p->read_stdout() + p->read_stderr();
}

}  // namespace

// A client that speaks nothing newer than TLS 1.1 is told so with a
// protocol_version alert before the close, instead of a connection that
// just ends; handshakes done and failed are counted.
TEST(OxHttptls, OldProtocolVersionsGetTheirAlert) {
  REQUIRE_TLS_FILES();
  if (access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "no openssl";
  oxtest::ServerOptions o = https_options(ThreadModel::kPolling);
  auto base = o.configure;
  o.configure = [base](ox_httpsrv *srv) {
    base(srv);
    EXPECT_EQ(ox_httpsrv_set_metrics(srv, true), 0);
  };
  TestServer srv(answer_secure, o);
  ASSERT_TRUE(srv.listening());
  for (const char *version : {"-tls1", "-tls1_1"}) {
    SCOPED_TRACE(version);
    std::string said =
        s_client(srv.port(), {version, "-cipher", "DEFAULT@SECLEVEL=0"});
    EXPECT_NE(said.find("alert protocol version"), std::string::npos) << said;
  }
  std::string ok = s_client(srv.port(), {"-tls1_2"});
  EXPECT_NE(ok.find("Protocol  : TLSv1.2"), std::string::npos) << ok;
  ASSERT_TRUE(https_get(srv.port(), "/after").ok());
  // Closed connections are counted as the server lets go of them.
  const std::string done = "ombrix_tls_handshakes_total{result=\"done\"} 2\n";
  const std::string failed =
      "ombrix_tls_handshakes_total{result=\"failed\"} 2\n";
  std::string m;
  for (int i = 0; i < 100; ++i) {
    ox_str *text = ox_str_new();
    ASSERT_EQ(ox_httpsrv_metrics(srv.get(), text), 0);
    m = ox_str_content(text);
    ox_str_free(text);
    if (m.find(failed) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(m.find(done), std::string::npos) << m;
  EXPECT_NE(m.find(failed), std::string::npos) << m;
}

// A returning client resumes its session from the ticket it was given,
// over TLS 1.2 and 1.3, instead of a full handshake; where client
// certificates are asked for, no ticket is issued, since a resumed session
// would skip the certificate's check.
TEST(OxHttptls, ReturningClientsResumeTheirSession) {
  REQUIRE_TLS_FILES();
  if (access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "no openssl";
  const TlsFiles &f = tls_files();
  for (bool client_ca : {false, true}) {
    oxtest::ServerOptions o = https_options(ThreadModel::kPolling);
    auto base = o.configure;
    o.configure = [base, client_ca, &f](ox_httpsrv *srv) {
      base(srv);
      if (client_ca) {
        EXPECT_EQ(ox_httpsrv_set_tls_client_ca(srv, f.client_cert(0).c_str()),
                  0);
      }
    };
    TestServer srv(answer_secure, o);
    ASSERT_TRUE(srv.listening());
    for (const char *version : {"-tls1_2", "-tls1_3"}) {
      SCOPED_TRACE(std::string(version) + (client_ca ? " client CA" : ""));
      std::string session = testing::TempDir() + "/ox_tls_session." +
                            std::to_string(getpid());
      unlink(session.c_str());
      std::string first = s_client(srv.port(), {version, "-sess_out", session});
      EXPECT_NE(first.find("\nNew, TLSv1."), std::string::npos) << first;
      // Without a ticket, TLS 1.3 leaves the client nothing to keep.
      std::string again = s_client(srv.port(), {version, "-sess_in", session});
      bool reused = again.find("\nReused, TLSv1.") != std::string::npos;
      EXPECT_EQ(reused, !client_ca) << again;
      unlink(session.c_str());
    }
  }
}

namespace {

// The certificate a client of a TLS connection was shown: the subject
// line of `openssl s_client`.
std::string s_client_subject(const std::string &said) {
  size_t at = said.find("subject=");
  return at == std::string::npos ? ""
                                 : said.substr(at, said.find('\n', at) - at);
}

}  // namespace

// SNI: the pair is chosen by the name the client asks for, an exact name
// before a wildcard, without regard to case; a client asking for none or
// for an unknown name gets the default pair.
TEST(OxHttptls, ServerNameChoosesThePair) {
  REQUIRE_TLS_FILES();
  if (access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "no openssl";
  const TlsFiles &f = tls_files();
  oxtest::ServerOptions o = https_options(ThreadModel::kPolling);
  auto base = o.configure;
  o.configure = [base, &f](ox_httpsrv *srv) {
    for (const char *bad : {"", "*.", "a..test", "-.test/x", "a test", "*"}) {
      EXPECT_EQ(ox_httpsrv_set_tls_sni(srv, bad, f.extra_cert("a").c_str(),
                                       f.extra_key("a").c_str(), nullptr),
                EINVAL)
          << bad;
    }
    // A name may come before the default pair.
    EXPECT_EQ(ox_httpsrv_set_tls_sni(srv, "A.Test", f.extra_cert("a").c_str(),
                                     f.extra_key("a").c_str(), nullptr),
              0);
    base(srv);
    EXPECT_EQ(
        ox_httpsrv_set_tls_sni(srv, "*.wild.test", f.extra_cert("wild").c_str(),
                               f.extra_key("wild").c_str(), nullptr),
        0);
    // A pair that does not match is refused and leaves the name's own.
    EXPECT_EQ(ox_httpsrv_set_tls_sni(srv, "a.test", f.cert().c_str(),
                                     f.other_key().c_str(), nullptr),
              EINVAL);
  };
  TestServer srv(answer_secure, o);
  ASSERT_TRUE(srv.listening());
  struct Case {
    std::vector<std::string> args;
    const char *subject;
  } cases[] = {
      {{"-servername", "a.test"}, "CN = a.test"},
      {{"-servername", "A.TEST"}, "CN = a.test"},
      {{"-servername", "x.wild.test"}, "CN = x.wild.test"},
      {{"-servername", "wild.test"}, "CN = localhost"},
      {{"-servername", "a.b.wild.test"}, "CN = localhost"},
      {{"-servername", "other.test"}, "CN = localhost"},
      {{"-noservername"}, "CN = localhost"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.back());
    std::string said = s_client(srv.port(), c.args);
    EXPECT_EQ(s_client_subject(said), std::string("subject=") + c.subject)
        << said;
  }
}

// A certificate renewed while clients keep connecting: none of them sees
// an error, every connection made after the swap gets the new certificate,
// a connection made before it keeps the old one and finishes, and a bad
// pair set afterwards leaves the new one serving.
TEST(OxHttptls, CertificateRenewedUnderLoad) {
  REQUIRE_TLS_FILES();
  if (access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "no openssl";
  const TlsFiles &f = tls_files();
  const std::string bundle = f.dir() + "/both.pem";
  {
    std::ofstream out(bundle);
    out << oxtest::read_file(f.cert())
        << oxtest::read_file(f.extra_cert("renewed"));
  }
  TestServer srv(answer_secure, https_options(ThreadModel::kPool));
  ASSERT_TRUE(srv.listening());

  // A connection whose handshake is done before the swap.
  std::string error;
  auto old = oxtest::Process::start(
      {"/usr/bin/openssl", "s_client", "-connect",
       "127.0.0.1:" + std::to_string(srv.port()), "-ign_eof"},
      &error);
  ASSERT_TRUE(old) << error;
  std::string line, seen;
  while (seen.find("Verify return code") == std::string::npos &&
         old->read_line(&line, 20000)) {
    seen += line + "\n";
  }
  ASSERT_EQ(s_client_subject(seen), "subject=CN = localhost") << seen;

  std::atomic<bool> swapped{false};
  std::atomic<int> done{0}, original{0}, renewed{0};
  std::mutex mutex;
  std::vector<std::string> faults;
  auto client = [&] {
    int after = 0;
    for (int i = 0; i < 300 && after < 10; ++i) {
      bool was_swapped = swapped.load();
      oxtest::Request req;
      req.target = "/load";
      req.ca_file = bundle;
      oxtest::Response r = oxtest::http(srv.port(), req);
      std::string fault;
      if (!r.ok() || r.status != 200) {
        fault = "request failed: " + r.error;
      } else if (r.cert_serial != (was_swapped ? "5200" : "5100") &&
                 (was_swapped || r.cert_serial != "5200")) {
        fault = "certificate " + r.cert_serial +
                (was_swapped ? " after" : " before") + " the swap";
      } else {
        ++(was_swapped ? renewed : original);
      }
      if (!fault.empty()) {
        std::lock_guard<std::mutex> lock(mutex);
        faults.push_back(fault);
      }
      if (was_swapped) ++after;
      ++done;
    }
  };
  std::thread a(client), b(client);
  for (int i = 0; i < 200 && done.load() < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(ox_httpsrv_set_tls(srv.get(), f.extra_cert("renewed").c_str(),
                               f.extra_key("renewed").c_str(), nullptr),
            0);
  swapped = true;
  a.join();
  b.join();
  EXPECT_TRUE(faults.empty())
      << faults.size() << " faults, first: " << faults.front();
  EXPECT_GE(original.load(), 10);
  EXPECT_EQ(renewed.load(), 20);

  // A bad pair is refused with the reason, and the renewed one serves on.
  EXPECT_EQ(ox_httpsrv_set_tls(srv.get(), f.cert().c_str(),
                               f.extra_key("renewed").c_str(), nullptr),
            EINVAL);
  oxtest::Request req;
  req.ca_file = bundle;
  oxtest::Response r = oxtest::http(srv.port(), req);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.cert_serial, "5200");
  bool told = false;
  for (const std::string &e : srv.errors()) {
    told |= e.find("does not match the certificate") != std::string::npos;
  }
  EXPECT_TRUE(told);

  // The connection from before the swap is served on its old handshake.
  ASSERT_TRUE(old->write_stdin(
      "GET /old HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  old->close_stdin();
  old->wait(20000);
  EXPECT_NE(old->read_stdout().find("secure /old from"), std::string::npos);
}
