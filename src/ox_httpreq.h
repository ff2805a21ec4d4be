// The request record and the steps libmicrohttpd drives it through.
#ifndef OX_HTTPREQ_H
#define OX_HTTPREQ_H

#include <microhttpd.h>

#include <cstdint>

#include "ombrix.h"
#include "ox_httpres.h"

// Where a request stands.
enum class ox__reqstage : uint8_t {
  receiving,  // head read; the body (if any) is arriving
  calling,    // the request callback runs
  isolated,   // an isolated callback runs on its own thread
  resumed,    // the isolated callback returned; the reply is due
  answered,   // a reply was queued (or the connection given up)
};

struct ox_httpreq {
  ox_httpres res;           // the reply; first, so a response finds its request
  ox_httpsrv *srv;          // the server that received the request
  const char *path;         // decoded path without query (libmicrohttpd's)
  const char *method;       // the method (libmicrohttpd's)
  ox_strmap *headers;       // filled from the connection on first use
  ox_strmap *cookies;       // likewise
  ox_strmap *params;        // likewise
  ox_strmap *fields;        // form fields of the body
  ox_str *payload;          // the body; made on first use
  MHD_PostProcessor *post;  // parses form bodies
  ox_httpupld *uplds;       // uploads in arrival order
  ox_httpupld *upld_last;   // the upload receiving data
  ox_str *field_val;        // the form field being received
  char *field_name;         // its name
  uint64_t body_size;       // body bytes kept in memory so far
  uint64_t upld_size;       // file bytes received so far
  ox_httpreq_cb isolated_cb;  // set by ox_httpreq_isolate()
  void *isolated_cls;
  ox__reqstage stage;
  uint8_t filled;           // which of the connection maps are filled
  bool multipart;           // the body is multipart/form-data
  bool too_large;           // over a limit: the rest is dropped, 413 follows
  bool malformed;           // the form body did not parse: 400 follows
  bool failed;              // the server could not keep the body: 500 follows
  bool pooled;              // the connection's record, kept between requests
  bool busy;                // in use by a request
};

// libmicrohttpd's access handler and completion notice for our requests.
MHD_Result ox__httpreq_access(void *cls, MHD_Connection *con, const char *url,
                              const char *method, const char *version,
                              const char *upload_data,
                              size_t *upload_data_size,
                              void **con_cls) noexcept;
// libmicrohttpd's connection notice: each connection keeps one record that
// its requests reuse.
void ox__httpreq_connection(void *cls, MHD_Connection *con,
                            void **socket_context,
                            MHD_ConnectionNotificationCode code) noexcept;
void ox__httpreq_completed(void *cls, MHD_Connection *con, void **con_cls,
                           MHD_RequestTerminationCode toe) noexcept;

#endif  // OX_HTTPREQ_H
