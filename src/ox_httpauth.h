// The Basic-authentication record of one request.
#ifndef OX_HTTPAUTH_H
#define OX_HTTPAUTH_H

#include "ombrix.h"
#include "ox_httpres.h"

struct ox_httpauth {
  ox_httpres *res;  // the request's response; borrowed
  char *realm;      // set by ox_httpauth_set_realm(); a strdup copy
  char *usr;        // the Basic user name from libmicrohttpd, or NULL
  char *pwd;        // the Basic password from libmicrohttpd, or NULL
  bool canceled;    // set by ox_httpauth_cancel()
  ox_strmap *denial_type;  // the Content-Type pair a denial added, or NULL
};

// Decodes the Basic credentials of an Authorization header |header| (may
// be NULL) into new blocks |*usr| and |*pwd| (ox_free both).  Returns 0, or
// ENOENT (no Basic credentials), EINVAL (malformed: bad base64, no colon, a
// control byte such as an encoded NUL), ENOMEM; both stay NULL then.
int ox__httpauth_parse_basic(const char *header, char **usr,
                             char **pwd) noexcept;

// Reads the request's credentials into a new record; NULL when out of memory.
ox_httpauth *ox__httpauth_new(ox_httpres *res) noexcept;

// Releases the record and its strings.  NULL does nothing.
void ox__httpauth_free(ox_httpauth *auth) noexcept;

// Applies what the authentication callback left: queues a prepared denial
// (a 401 challenge naming the realm, or a plain reply), or nothing.  With
// |later| (a request without a body, whose connection a reply queued on
// the head would close), a denial is left prepared instead, res->ret is
// MHD_YES, and |*later| receives the realm its challenge is to name (for
// ox_free()), to be queued once the head is done.  Returns true when the
// request was canceled after a denial was prepared (res->ret is then
// MHD_YES and nothing was queued), or when res->ret was already set; false
// otherwise, with res->ret the queueing result.
bool ox__httpauth_dispatch(ox_httpauth *auth, char **later) noexcept;

// Drops a denial the callback prepared but did not stand by (it let the
// request through, or canceled it): the reply, its status, and the
// Content-Type pair it added to the reply headers.
void ox__httpauth_withdraw(ox_httpauth *auth) noexcept;

#endif  // OX_HTTPAUTH_H
