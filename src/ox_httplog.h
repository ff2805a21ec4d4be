// The access log: a record of each request handed to the program's
// callback once libmicrohttpd is done with the request.
#ifndef OX_HTTPLOG_H
#define OX_HTTPLOG_H

#include <microhttpd.h>

#include <cstdint>
#include <ctime>

#include "ombrix.h"

struct ox_httplog {
  ox_httpreq *req;       // the request, alive for the callback's duration;
                         // libmicrohttpd frees the head it read only after
                         // the completion notice, so headers are looked up
                         // there when asked
  uint64_t bytes;        // body bytes sent
  uint64_t duration_us;  // from the head's arrival to the end of the reply
  time_t time;           // when the head arrived (seconds since the epoch)
  char *user;            // the Basic user, decoded on first use
  bool user_read;        // |user| was looked for
};

// Hands the record of |req|, which ended as |toe| says at |end_us| (the
// monotonic clock in microseconds, as the request's start_us), to the
// server's log callback.
void ox__httplog_emit(ox_httpreq *req, MHD_RequestTerminationCode toe,
                      int64_t end_us) noexcept;

#endif  // OX_HTTPLOG_H
