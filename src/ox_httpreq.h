// The request record and the steps libmicrohttpd drives it through.
#ifndef OX_HTTPREQ_H
#define OX_HTTPREQ_H

#include <microhttpd.h>

#include <cstdint>

#include "ombrix.h"
#include "ox_httpbody.h"
#include "ox_httpres.h"
#include "ox_httproute.h"

struct ox_httpconn;

// Where a request stands.
enum class ox__reqstage : uint8_t {
  receiving,  // head read; the body (if any) is arriving
  calling,    // the request callback runs
  isolated,   // an isolated callback runs, or waits for a worker
  resumed,    // the isolated callback returned; the reply is due
  answered,   // a reply was queued (or the connection given up)
};

// Plain data: the record is zero-filled, and reused by the requests of a
// kept-alive connection.
struct ox_httpreq {
  ox_httpres res;           // the reply
  ox_httpsrv *srv;          // the server that received the request
  ox_httpconn *conn;        // the connection it came on
  const char *path;         // decoded path without query (libmicrohttpd's,
                            // past the scheme and host of an absolute form)
  const char *target;       // the request target as sent (the connection's)
  const char *query;        // its query as sent, after the '?', or NULL
  char *authority;          // the host of an absolute-form target, or NULL
  char *log_id;             // the program's id for the access log, or NULL
  char *realm;              // the realm of a denial that waits for the end
                            // of the head, or NULL
  const char *method;       // the method (libmicrohttpd's)
  const char *version;      // "HTTP/1.1" (libmicrohttpd's)
  int64_t start_us;         // when the head arrived (monotonic, in us)
  ox_strmap *headers;       // filled from the connection on first use
  ox_strmap *cookies;       // likewise
  ox_strmap *params;        // likewise
  ox_httpbody body;         // payload, fields and uploads
  ox__httproutematch match; // the route that takes the request, if any
  ox_httpreq_cb isolated_cb;  // set by ox_httpreq_isolate()
  void *isolated_cls;
  ox_free_cb isolated_free;   // receives isolated_cls once it is done with
  ox_httpreq *isolated_next;  // the isolation queue
  const char *origin;       // the Origin header when CORS is on, or NULL
  unsigned int refusal;     // a status the library answers instead (404,
                            // 405, 503)
  ox_ws *ws;                // the WebSocket the request opens (a reference
                            // of its own), or NULL
  bool replied;             // the before hook answered: its reply goes out
                            // once the head is done
  ox__reqstage stage;
  uint8_t filled;           // which of the connection maps are filled
  bool pooled;              // the connection's record, kept between requests
  bool busy;                // in use by a request
};

// libmicrohttpd's access handler and completion notice for our requests.
MHD_Result ox__httpreq_access(void *cls, MHD_Connection *con, const char *url,
                              const char *method, const char *version,
                              const char *upload_data,
                              size_t *upload_data_size,
                              void **con_cls) noexcept;
void ox__httpreq_completed(void *cls, MHD_Connection *con, void **con_cls,
                           MHD_RequestTerminationCode toe) noexcept;

// Runs the isolated callback of |req| (on a worker) and resumes its
// connection, which then queues the reply.
void ox__httpreq_run_isolated(ox_httpreq *req) noexcept;

#endif  // OX_HTTPREQ_H
