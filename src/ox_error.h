// Errors: the one place that maps the codes of the libraries underneath to
// errno values, and makes texts a client chose safe to put in a log line.
#ifndef OX_ERROR_H
#define OX_ERROR_H

#include <cstddef>

// PCRE2 compile and JIT results as errno codes.
int ox__from_pcre2(int rc) noexcept;

// GnuTLS results (negative) as errno codes: EACCES for a key that does not
// decrypt, ENOMEM, EINVAL for anything else wrong with what was given.
int ox__from_gnutls(int rc) noexcept;

// Copies |text| into |out| (|size| bytes, at least 4) with every byte that
// could break or forge a line of a log written as text (control bytes, a
// quote, a backslash, anything outside ASCII) written as \xHH, cut with
// "..." when it does not fit.  Returns |out|.
const char *ox__escape(const char *text, char *out, size_t size) noexcept;

#endif  // OX_ERROR_H
