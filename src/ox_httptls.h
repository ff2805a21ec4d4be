// TLS material of a server: the certificate chain and private key in PEM,
// checked with GnuTLS when they are set, handed to libmicrohttpd at listen.
#ifndef OX_HTTPTLS_H
#define OX_HTTPTLS_H

#include <microhttpd.h>

#include <cstddef>

#include "ombrix.h"

struct ox__httptls {
  char *cert;       // the certificate chain, PEM, NUL-terminated; NULL: plain
  char *key;        // the private key, PEM (encrypted when |password| is set)
  char *password;   // the key's password, or NULL
  char *client_ca;  // CAs client certificates must chain to, PEM; NULL: none
};

// The TLS versions a server speaks: 1.2 and 1.3, nothing older.
inline constexpr char ox__httptls_priorities[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

// Checks that |cert| and |key| parse and belong together (decrypting the
// key with |password|), then stores copies in |tls|, replacing what it
// held.  On failure |tls| is unchanged and |why| (|why_size| bytes) holds
// a text for the error callback.  Returns 0, EINVAL, EACCES (a wrong or
// missing password), ENOTSUP (no TLS in libmicrohttpd), ENOMEM.
int ox__httptls_set(ox__httptls *tls, const char *cert, const char *key,
                    const char *password, char *why, size_t why_size) noexcept;

// Reads the PEM file at |path| (at most 1 MiB) into a new NUL-terminated
// block for ox_free().  Returns 0, EFBIG, ENOMEM or the errno of reading.
int ox__httptls_read(const char *path, char **pem) noexcept;

// Checks that |pem| holds at least one certificate, then stores a copy as
// the client CAs of |tls|.  Returns 0, EINVAL (|why| then says why), ENOMEM.
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
// counted in the server's metrics.
void ox__httptls_watch(MHD_Connection *con) noexcept;

// Releases what |tls| holds, the key wiped first.
void ox__httptls_clear(ox__httptls *tls) noexcept;

#endif  // OX_HTTPTLS_H
