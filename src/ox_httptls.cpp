// TLS material: checked once with GnuTLS, where a mistake can still be
// reported, rather than found by libmicrohttpd at listen with a vaguer text.
#include "ox_httptls.h"

#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <microhttpd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ox_alloc.h"
#include "ox_error.h"
#include "ox_core.h"
#include "ox_httpconn.h"

namespace {

// A certificate chain or key larger than this is no PEM file of ours.
constexpr size_t tls_max_pem = 1024 * 1024;

struct cred_free {
  void operator()(gnutls_certificate_credentials_t c) const noexcept {
    gnutls_certificate_free_credentials(c);
  }
};
using cred_ptr = std::unique_ptr<gnutls_certificate_credentials_st, cred_free>;

// Wipes a copy of key material before giving it back.
void tls_wipe_free(char *secret) noexcept {
  if (secret == nullptr) return;
  explicit_bzero(secret, strlen(secret));
  ox_free(secret);
}

struct secret_free {
  void operator()(char *s) const noexcept { tls_wipe_free(s); }
};
using secret_ptr = std::unique_ptr<char, secret_free>;

gnutls_datum_t tls_datum(const char *pem) noexcept {
  return {reinterpret_cast<unsigned char *>(const_cast<char *>(pem)),
          static_cast<unsigned int>(strlen(pem))};
}

// What GnuTLS said of the pair, as an errno code and a text.
int tls_explain(int rc, char *why, size_t why_size) noexcept {
  const char *what;
  switch (rc) {
    case GNUTLS_E_CERTIFICATE_KEY_MISMATCH:
      what = "the private key does not match the certificate";
      break;
    case GNUTLS_E_DECRYPTION_FAILED:
      what = "the private key's password is wrong or missing";
      break;
    case GNUTLS_E_MEMORY_ERROR:
      what = "no memory";
      break;
    default:
      what = "the certificate or the private key is not valid PEM";
      break;
  }
  snprintf(why, why_size, "ombrix: TLS: %s (%s)\n", what, gnutls_strerror(rc));
  return ox__from_gnutls(rc);
}

struct crts_free {
  unsigned int count;
  void operator()(gnutls_x509_crt_t *crts) const noexcept {
    for (unsigned int i = 0; i < count; i++) gnutls_x509_crt_deinit(crts[i]);
    gnutls_free(crts);
  }
};

struct key_free {
  void operator()(gnutls_x509_privkey_t k) const noexcept {
    gnutls_x509_privkey_deinit(k);
  }
};
using key_ptr = std::unique_ptr<gnutls_x509_privkey_int, key_free>;

// True when the key |key| and the certificate |crt| have one public key.
bool tls_key_matches(gnutls_x509_crt_t crt,
                     gnutls_x509_privkey_t key) noexcept {
  unsigned char a[64], b[64];
  size_t alen = sizeof a, blen = sizeof b;
  return gnutls_x509_crt_get_key_id(crt, 0, a, &alen) == GNUTLS_E_SUCCESS &&
         gnutls_x509_privkey_get_key_id(key, 0, b, &blen) == GNUTLS_E_SUCCESS &&
         alen == blen && memcmp(a, b, alen) == 0;
}

// Parses the chain and the key apart and compares their public keys.
// GnuTLS's own loader (gnutls_certificate_set_x509_key_mem2) leaks what it
// parsed when it fails, so it only ever sees a pair checked here, once as
// a last check and again in libmicrohttpd at listen.
int tls_check(const char *cert, const char *key, const char *password,
              char *why, size_t why_size) noexcept {
  gnutls_datum_t c = tls_datum(cert), k = tls_datum(key);
  gnutls_x509_crt_t *crts = nullptr;
  unsigned int count = 0;
  int rc =
      gnutls_x509_crt_list_import2(&crts, &count, &c, GNUTLS_X509_FMT_PEM, 0);
  if (rc < 0) return tls_explain(rc, why, why_size);
  std::unique_ptr<gnutls_x509_crt_t, crts_free> chain(crts, crts_free{count});
  gnutls_x509_privkey_t raw = nullptr;
  if (gnutls_x509_privkey_init(&raw) < 0) return ENOMEM;
  key_ptr pkey(raw);
  rc = gnutls_x509_privkey_import2(pkey.get(), &k, GNUTLS_X509_FMT_PEM,
                                   password, 0);
  if (rc < 0 && strstr(key, "ENCRYPTED") != nullptr) {
    rc = GNUTLS_E_DECRYPTION_FAILED;  // whatever GnuTLS calls a bad password
  }
  if (rc < 0) return tls_explain(rc, why, why_size);
  if (count == 0 || !tls_key_matches(chain.get()[0], pkey.get())) {
    return tls_explain(GNUTLS_E_CERTIFICATE_KEY_MISMATCH, why, why_size);
  }
  gnutls_certificate_credentials_t cred_raw = nullptr;
  if (gnutls_certificate_allocate_credentials(&cred_raw) != GNUTLS_E_SUCCESS) {
    return ENOMEM;
  }
  cred_ptr cred(cred_raw);
  rc = gnutls_certificate_set_x509_key_mem2(cred.get(), &c, &k,
                                            GNUTLS_X509_FMT_PEM, password, 0);
  return rc < 0 ? tls_explain(rc, why, why_size) : 0;
}

}  // namespace

int ox__httptls_set(ox__httptls *tls, const char *cert, const char *key,
                    const char *password, char *why, size_t why_size) noexcept {
  if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES ||
      (password != nullptr &&
       MHD_is_feature_supported(MHD_FEATURE_HTTPS_KEY_PASSWORD) != MHD_YES)) {
    snprintf(why, why_size,
             "ombrix: TLS: libmicrohttpd was built without it\n");
    return ENOTSUP;
  }
  if (int rc = tls_check(cert, key, password, why, why_size); rc != 0) {
    return rc;
  }
  secret_ptr c{ox__strdup(cert)}, k{ox__strdup(key)};
  secret_ptr p{password != nullptr ? ox__strdup(password) : nullptr};
  if (!c || !k || (password != nullptr && !p)) {
    snprintf(why, why_size, "ombrix: TLS: no memory\n");
    return ENOMEM;
  }
  // The client CAs stay: only the server's own pair is replaced.
  ox_free(tls->cert);
  tls_wipe_free(tls->key);
  tls_wipe_free(tls->password);
  tls->cert = c.release();
  tls->key = k.release();
  tls->password = p.release();
  return 0;
}

int ox__httptls_set_client_ca(ox__httptls *tls, const char *pem, char *why,
                              size_t why_size) noexcept {
  gnutls_datum_t d = tls_datum(pem);
  gnutls_x509_crt_t *crts = nullptr;
  unsigned int count = 0;
  int rc =
      gnutls_x509_crt_list_import2(&crts, &count, &d, GNUTLS_X509_FMT_PEM, 0);
  if (rc < 0) {
    snprintf(why, why_size, "ombrix: TLS: no client CA certificate (%s)\n",
             gnutls_strerror(rc));
    return EINVAL;
  }
  crts_free{count}(crts);
  char *copy = ox__strdup(pem);
  if (copy == nullptr) return ENOMEM;
  ox_free(tls->client_ca);
  tls->client_ca = copy;
  return 0;
}

bool ox__httptls_client_verified(MHD_Connection *con) noexcept {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(con, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (info == nullptr || info->tls_session == nullptr) return false;
  auto session = static_cast<gnutls_session_t>(info->tls_session);
  unsigned int status = 0;
  // No certificate at all is an error here, as is any flaw in the chain.
  return gnutls_certificate_type_get(session) == GNUTLS_CRT_X509 &&
         gnutls_certificate_verify_peers2(session, &status) ==
             GNUTLS_E_SUCCESS &&
         status == 0;
}

bool ox__httptls_send(MHD_Connection *con, const void *buf,
                      size_t size) noexcept {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(con, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (info == nullptr || info->tls_session == nullptr) return false;
  auto session = static_cast<gnutls_session_t>(info->tls_session);
  return gnutls_record_send(session, buf, size) == static_cast<ssize_t>(size);
}

namespace {

// The newest TLS version a ClientHello body |m| offers (0x0303 is TLS
// 1.2): its supported_versions extension's, else its legacy version.
// 0 when the message is cut short.
unsigned int tls_offered_version(const unsigned char *m, size_t n) noexcept {
  size_t at = 2 + 32;  // legacy_version, random
  if (n < at + 1) return 0;
  unsigned int legacy = m[0] << 8 | m[1];
  at += 1 + m[at];  // session id
  if (n < at + 2) return legacy;
  at += 2 + (m[at] << 8 | m[at + 1]);  // cipher suites
  if (n < at + 1) return legacy;
  at += 1 + m[at];  // compression methods
  if (n < at + 2) return legacy;
  size_t end = at + 2 + (m[at] << 8 | m[at + 1]);
  at += 2;
  if (end > n) end = n;
  while (at + 4 <= end) {
    unsigned int type = m[at] << 8 | m[at + 1];
    size_t len = m[at + 2] << 8 | m[at + 3];
    at += 4;
    if (at + len > end) break;
    if (type == 43 && len >= 1) {  // supported_versions
      unsigned int best = 0;
      for (size_t i = at + 1; i + 1 < at + len && i + 1 <= at + m[at]; i += 2) {
        unsigned int v = m[i] << 8 | m[i + 1];
        // Reserved (GREASE) values end in 0x?a?a; they are no version.
        if ((v & 0x0f0f) != 0x0a0a && v > best) best = v;
      }
      return best;
    }
    at += len;
  }
  return legacy;
}

int tls_hook(gnutls_session_t session, unsigned int htype, unsigned when,
             unsigned int incoming, const gnutls_datum_t *msg) noexcept {
  auto *con = static_cast<MHD_Connection *>(gnutls_session_get_ptr(session));
  if (htype == GNUTLS_HANDSHAKE_CLIENT_HELLO && when == GNUTLS_HOOK_PRE &&
      incoming != 0 && msg != nullptr &&
      tls_offered_version(msg->data, msg->size) < 0x0303) {
    gnutls_alert_send(session, GNUTLS_AL_FATAL, GNUTLS_A_PROTOCOL_VERSION);
    return GNUTLS_E_UNSUPPORTED_VERSION_PACKET;
  }
  // The client's Finished: the handshake is done, whichever came first.
  if (htype == GNUTLS_HANDSHAKE_FINISHED && when == GNUTLS_HOOK_POST &&
      incoming != 0 && con != nullptr) {
    ox__httpconn_tls_done(con);
  }
  return 0;
}

}  // namespace

void ox__httptls_watch(MHD_Connection *con) noexcept {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(con, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (info == nullptr || info->tls_session == nullptr) return;
  gnutls_handshake_set_hook_function(
      static_cast<gnutls_session_t>(info->tls_session), GNUTLS_HANDSHAKE_ANY,
      GNUTLS_HOOK_BOTH, tls_hook);
}

int ox__httptls_read(const char *path, char **pem) noexcept {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return EINVAL;
  }
  if (static_cast<uint64_t>(st.st_size) > tls_max_pem) {
    close(fd);
    return EFBIG;
  }
  auto size = static_cast<size_t>(st.st_size);
  secret_ptr text{static_cast<char *>(ox_alloc(size + 1))};
  size_t got = 0;
  int rc = text ? 0 : ENOMEM;
  while (rc == 0 && got < size) {
    ssize_t n = read(fd, text.get() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) rc = n < 0 ? errno : EINVAL;  // shrank while read
    if (n > 0) got += static_cast<size_t>(n);
  }
  close(fd);
  if (rc != 0) return rc;
  text.get()[got] = '\0';
  *pem = text.release();
  return 0;
}

void ox__httptls_clear(ox__httptls *tls) noexcept {
  ox_free(tls->client_ca);
  ox_free(tls->cert);
  tls_wipe_free(tls->key);
  tls_wipe_free(tls->password);
  *tls = ox__httptls{};
}
