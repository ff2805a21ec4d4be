// TLS material: checked once with GnuTLS, where a mistake can still be
// reported, and parsed once into what handshakes are handed.
#include "ox_httptls.h"

#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <microhttpd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_error.h"
#include "ox_httpconn.h"
#include "ox_httpsrv.h"

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

// What GnuTLS said of the pair, as an errno code and a text in plain
// words, GnuTLS's own after it; |other| says what failed when the code
// alone does not.
int tls_explain(int rc, const char *other, char *why,
                size_t why_size) noexcept {
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
      what = other;
      break;
  }
  snprintf(why, why_size, "%s (GnuTLS: %s)", what, gnutls_strerror(rc));
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

// A pair parsed for handshakes, and the host name it serves ("": none).
struct tls_pair {
  char host[256] = "";
  gnutls_pcert_st *certs = nullptr;
  unsigned int count = 0;
  gnutls_privkey_t key = nullptr;

  tls_pair() = default;
  tls_pair(const tls_pair &) = delete;
  tls_pair &operator=(const tls_pair &) = delete;
  ~tls_pair() {
    for (unsigned int i = 0; i < count; i++) gnutls_pcert_deinit(&certs[i]);
    ox_free(certs);
    if (key != nullptr) gnutls_privkey_deinit(key);
  }
};

// Parses the chain and the key apart, compares their public keys, and
// makes them a pair for handshakes.  GnuTLS's own loader
// (gnutls_certificate_set_x509_key_mem2) leaks what it parsed when it
// fails, so it only ever sees a pair checked here, as a last check of
// what GnuTLS will accept.
int tls_parse(const char *cert, const char *key, const char *password,
              tls_pair *pair, char *why, size_t why_size) noexcept {
  gnutls_datum_t c = tls_datum(cert), k = tls_datum(key);
  gnutls_x509_crt_t *crts = nullptr;
  unsigned int count = 0;
  int rc =
      gnutls_x509_crt_list_import2(&crts, &count, &c, GNUTLS_X509_FMT_PEM, 0);
  if (rc < 0) {
    return tls_explain(rc, "the certificate is no PEM certificate chain", why,
                       why_size);
  }
  std::unique_ptr<gnutls_x509_crt_t, crts_free> chain(crts, crts_free{count});
  gnutls_x509_privkey_t raw = nullptr;
  if (gnutls_x509_privkey_init(&raw) < 0) return ENOMEM;
  key_ptr pkey(raw);
  rc = gnutls_x509_privkey_import2(pkey.get(), &k, GNUTLS_X509_FMT_PEM,
                                   password, 0);
  if (rc < 0 && strstr(key, "ENCRYPTED") != nullptr) {
    rc = GNUTLS_E_DECRYPTION_FAILED;  // whatever GnuTLS calls a bad password
  }
  if (rc < 0) {
    return tls_explain(rc, "the private key is no PEM private key", why,
                       why_size);
  }
  if (count == 0 || !tls_key_matches(chain.get()[0], pkey.get())) {
    return tls_explain(GNUTLS_E_CERTIFICATE_KEY_MISMATCH, nullptr, why,
                       why_size);
  }
  gnutls_certificate_credentials_t cred_raw = nullptr;
  if (gnutls_certificate_allocate_credentials(&cred_raw) != GNUTLS_E_SUCCESS) {
    return ENOMEM;
  }
  cred_ptr cred(cred_raw);
  rc = gnutls_certificate_set_x509_key_mem2(cred.get(), &c, &k,
                                            GNUTLS_X509_FMT_PEM, password, 0);
  if (rc < 0) {
    return tls_explain(rc, "GnuTLS does not take the pair", why, why_size);
  }
  pair->certs =
      static_cast<gnutls_pcert_st *>(ox_alloc(count * sizeof *pair->certs));
  if (pair->certs == nullptr)
    return tls_explain(GNUTLS_E_MEMORY_ERROR, nullptr, why, why_size);
  unsigned int made = count;
  rc = gnutls_pcert_import_x509_list(pair->certs, chain.get(), &made, 0);
  if (rc < 0) {
    return tls_explain(rc, "GnuTLS does not take the certificate chain", why,
                       why_size);
  }
  pair->count = made;
  rc = gnutls_privkey_init(&pair->key);
  if (rc >= 0) {
    rc = gnutls_privkey_import_x509(pair->key, pkey.get(),
                                    GNUTLS_PRIVKEY_IMPORT_COPY);
  }
  return rc < 0 ? tls_explain(rc, "GnuTLS does not take the private key", why,
                              why_size)
                : 0;
}

}  // namespace

struct ox__tlscreds {
  std::vector<std::shared_ptr<const tls_pair>> pairs;  // in the order set
};

namespace {

// The pair for the server name |name| (lower case, "" for none): the one
// set for it, else one whose wildcard covers its first label, else the
// default, else the first set.
const tls_pair *tls_pick(const ox__tlscreds &creds, const char *name) noexcept {
  const tls_pair *fallback = nullptr, *wild = nullptr;
  const char *parent = strchr(name, '.');
  for (const auto &pair : creds.pairs) {
    const char *host = pair->host;
    if (*name != '\0' && strcmp(host, name) == 0) return pair.get();
    if (parent != nullptr && host[0] == '*' && strcmp(host + 1, parent) == 0 &&
        wild == nullptr) {
      wild = pair.get();
    }
    if (*host == '\0' || fallback == nullptr) fallback = pair.get();
  }
  return wild != nullptr ? wild : fallback;
}

// The server name the client of |session| asked for, in lower case, or "".
void tls_server_name(gnutls_session_t session, char *name, size_t size) {
  size_t len = size - 1;
  unsigned int type = 0;
  if (gnutls_server_name_get(session, name, &len, &type, 0) != 0 ||
      type != GNUTLS_NAME_DNS || len >= size || strlen(name) != len) {
    len = 0;
  }
  name[len] = '\0';
  for (size_t i = 0; i < len; i++) {
    if (name[i] >= 'A' && name[i] <= 'Z')
      name[i] = static_cast<char>(name[i] + 32);
  }
}

// Makes the master key of |tls|'s session tickets, from which GnuTLS
// derives the keys it rotates.  Without it tickets are simply not issued.
void tls_make_ticket_key(ox__httptls *tls) noexcept {
  if (gnutls_session_ticket_key_generate(&tls->ticket_key) !=
      GNUTLS_E_SUCCESS) {
    tls->ticket_key = {};
  }
}

}  // namespace

bool ox__httptls_host_ok(const char *host) noexcept {
  if (host == nullptr) return false;
  if (host[0] == '*' && host[1] == '.') host += 2;
  size_t len = strlen(host), label = 0;
  if (len == 0 || len > 253) return false;
  for (const char *p = host; *p != '\0'; p++) {
    unsigned char ch = static_cast<unsigned char>(*p);
    if (ch == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (isalnum(ch) != 0 || ch == '-' || ch == '_') {
      if (++label > 63) return false;
    } else {
      return false;
    }
  }
  return label != 0;
}

int ox__httptls_set(ox__httptls *tls, const char *host, const char *cert,
                    const char *key, const char *password, char *why,
                    size_t why_size) noexcept {
  // Paths that fail for want of memory alone leave this text.
  snprintf(why, why_size, "no memory for the TLS pair");
  if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
    snprintf(why, why_size, "libmicrohttpd was built without TLS");
    return ENOTSUP;
  }
  auto pair = std::shared_ptr<tls_pair>(new (std::nothrow) tls_pair,
                                        [](tls_pair *p) { delete p; });
  if (!pair) return ENOMEM;
  if (host != nullptr) {
    size_t len = strlen(host);
    for (size_t i = 0; i <= len && i < sizeof pair->host; i++) {
      pair->host[i] =
          static_cast<char>(tolower(static_cast<unsigned char>(host[i])));
    }
  }
  if (int rc = tls_parse(cert, key, password, pair.get(), why, why_size);
      rc != 0) {
    return rc;
  }
  try {
    auto creds = std::make_shared<ox__tlscreds>();
    std::lock_guard<std::mutex> lock(tls->mutex);
    if (tls->creds) creds->pairs = tls->creds->pairs;
    bool replaced = false;
    for (auto &held : creds->pairs) {
      if (strcmp(held->host, pair->host) == 0) {
        held = pair;
        replaced = true;
      }
    }
    if (!replaced) creds->pairs.push_back(pair);
    tls->creds = std::move(creds);
    // Written only before listening: a renewal finds them set, and serving
    // threads read them without the lock.
    if (!tls->on) {
      tls->on = true;
      tls_make_ticket_key(tls);
    }
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  return 0;
}

int ox__httptls_retrieve(gnutls_session_t session, const gnutls_datum_t *ca,
                         int nca, const gnutls_pk_algorithm_t *algos,
                         int nalgos, gnutls_pcert_st **certs,
                         unsigned int *ncerts, gnutls_privkey_t *key) noexcept {
  (void)ca, (void)nca, (void)algos, (void)nalgos;
  auto *con = static_cast<MHD_Connection *>(gnutls_session_get_ptr(session));
  ox_httpconn *conn = con != nullptr ? ox__httpconn_of(con) : nullptr;
  if (conn == nullptr) return GNUTLS_E_INTERNAL_ERROR;
  if (!conn->tls_creds) {
    // The connection keeps the pairs of its first handshake while it lives:
    // GnuTLS holds on to what it is handed.
    ox__httptls *tls = &conn->srv->tls;
    std::lock_guard<std::mutex> lock(tls->mutex);
    conn->tls_creds = tls->creds;
  }
  if (!conn->tls_creds || conn->tls_creds->pairs.empty()) {
    return GNUTLS_E_INSUFFICIENT_CREDENTIALS;
  }
  char name[256];
  tls_server_name(session, name, sizeof name);
  const tls_pair *pair = tls_pick(*conn->tls_creds, name);
  *certs = pair->certs;
  *ncerts = pair->count;
  *key = pair->key;
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
    snprintf(why, why_size, "no PEM CA certificate (GnuTLS: %s)",
             gnutls_strerror(rc));
    return EINVAL;
  }
  crts_free{count}(crts);
  char *copy = ox__strdup(pem);
  if (copy == nullptr) {
    snprintf(why, why_size, "no memory for the client CAs");
    return ENOMEM;
  }
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

unsigned int ox__httptls_offered_version(const unsigned char *m,
                                        size_t n) noexcept {
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

namespace {

int tls_hook(gnutls_session_t session, unsigned int htype, unsigned when,
             unsigned int incoming, const gnutls_datum_t *msg) noexcept {
  auto *con = static_cast<MHD_Connection *>(gnutls_session_get_ptr(session));
  if (htype == GNUTLS_HANDSHAKE_CLIENT_HELLO && when == GNUTLS_HOOK_PRE &&
      incoming != 0 && msg != nullptr &&
      ox__httptls_offered_version(msg->data, msg->size) < 0x0303) {
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

void ox__httptls_watch(MHD_Connection *con, const ox__httptls &tls) noexcept {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(con, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (info == nullptr || info->tls_session == nullptr) return;
  auto session = static_cast<gnutls_session_t>(info->tls_session);
  gnutls_handshake_set_hook_function(session, GNUTLS_HANDSHAKE_ANY,
                                     GNUTLS_HOOK_BOTH, tls_hook);
  if (tls.ticket_key.data != nullptr && tls.client_ca == nullptr) {
    gnutls_session_ticket_enable_server(session, &tls.ticket_key);
  }
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

void ox__httptls_forget(char *pem) noexcept { tls_wipe_free(pem); }

void ox__httptls_clear(ox__httptls *tls) noexcept {
  ox_free(tls->client_ca);
  tls->client_ca = nullptr;
  if (tls->ticket_key.data != nullptr) {
    gnutls_memset(tls->ticket_key.data, 0, tls->ticket_key.size);
    gnutls_free(tls->ticket_key.data);
    tls->ticket_key = {};
  }
  std::lock_guard<std::mutex> lock(tls->mutex);
  tls->creds.reset();
}
