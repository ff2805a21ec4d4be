// TLS material of a server: certificate chains and private keys in PEM,
// checked with GnuTLS when they are set and parsed once for every
// handshake.  A server holds a default pair and, for SNI, pairs chosen by
// the host name the client asks for; setting a pair while serving swaps
// it in for the handshakes that follow.
#ifndef OX_HTTPTLS_H
#define OX_HTTPTLS_H

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>

#include <cstddef>
#include <memory>
#include <mutex>

#include "ombrix.h"

// The pairs a handshake chooses from: never changed once made, shared by
// the server and by the connections whose handshakes took a pair from it,
// so that a connection keeps its certificate however often it is replaced.
struct ox__tlscreds;

struct ox__httptls {
  bool on = false;            // serves HTTPS: a pair was set before listen
  char *client_ca = nullptr;  // CAs client certificates must chain to, PEM;
                              // NULL: none
  std::mutex mutex;           // guards |creds|, replaced while serving
  std::shared_ptr<const ox__tlscreds> creds;
  // The key session tickets are sealed with, made with the first pair so
  // that a returning client resumes its session instead of paying for a
  // full handshake; empty when it could not be made (no resumption).
  gnutls_datum_t ticket_key{};
};

// The TLS versions a server speaks: 1.2 and 1.3, nothing older.
inline constexpr char ox__httptls_priorities[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

// Checks that |cert| and |key| parse and belong together (decrypting the
// key with |password|), then makes them the pair for the host name |host|
// (NULL: the default pair), replacing the one it had; new handshakes use
// it at once.  |host| is a name ("example.org") or a wildcard for one
// label ("*.example.org"), matched without regard to case.  On failure
// |tls| is unchanged and |why| (|why_size| bytes) says why in plain
// words, without a prefix or a newline.  Returns 0, EINVAL, EACCES (a
// wrong or missing password), ENOTSUP (no TLS in libmicrohttpd), ENOMEM.
// Any thread.
int ox__httptls_set(ox__httptls *tls, const char *host, const char *cert,
                    const char *key, const char *password, char *why,
                    size_t why_size) noexcept;

// True when |host| may name an SNI pair: a DNS name of at most 253 bytes,
// perhaps with "*." before it.
bool ox__httptls_host_ok(const char *host) noexcept;

// libmicrohttpd's certificate callback: hands a handshake the pair for the
// name the client asked for (else the default pair, else the first set),
// from the pairs its connection took at its first handshake.
int ox__httptls_retrieve(gnutls_session_t session, const gnutls_datum_t *ca,
                         int nca, const gnutls_pk_algorithm_t *algos,
                         int nalgos, gnutls_pcert_st **certs,
                         unsigned int *ncerts, gnutls_privkey_t *key) noexcept;

// Reads the PEM file at |path| (at most 1 MiB) into a new NUL-terminated
// block for ox_free().  Returns 0, EFBIG, ENOMEM or the errno of reading.
int ox__httptls_read(const char *path, char **pem) noexcept;

// Checks that |pem| holds at least one certificate, then stores a copy as
// the client CAs of |tls|.  Returns 0, EINVAL or ENOMEM, and |why| then
// says why, as ox__httptls_set() does.
int ox__httptls_set_client_ca(ox__httptls *tls, const char *pem, char *why,
                              size_t why_size) noexcept;

// True when the client of the TLS connection |con| presented a certificate
// that chains to the client CAs (libmicrohttpd handed them to GnuTLS).
bool ox__httptls_client_verified(MHD_Connection *con) noexcept;

// Writes |size| bytes to the TLS connection |con| past libmicrohttpd, as
// one record; false when they did not all go out.
bool ox__httptls_send(MHD_Connection *con, const void *buf,
                      size_t size) noexcept;

// Watches the handshake of the new TLS connection |con|: a client that
// offers nothing newer than TLS 1.1 gets a protocol_version alert before
// it is closed (so it reports a version it cannot speak, not a connection
// that ended), and a handshake done is noted on the connection's record and
// counted in the server's metrics.  The session also issues and takes
// tickets sealed with |tls|'s key, unless client certificates are asked
// for: a resumed session would skip the check of a certificate.
void ox__httptls_watch(MHD_Connection *con, const ox__httptls &tls) noexcept;

// The newest TLS version the ClientHello body |m| (|n| bytes, as a client
// sent it) offers, 0x0303 being TLS 1.2: that of its supported_versions
// extension, else its legacy version; 0 when it is cut short.
unsigned int ox__httptls_offered_version(const unsigned char *m,
                                        size_t n) noexcept;

// Wipes and frees a text ox__httptls_read() gave (NULL is ignored).
void ox__httptls_forget(char *pem) noexcept;

// Releases what |tls| holds; connections may hold its pairs still.
void ox__httptls_clear(ox__httptls *tls) noexcept;

#endif  // OX_HTTPTLS_H
