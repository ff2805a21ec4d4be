// The response record: what a request's reply is built from.
#ifndef OX_HTTPRES_H
#define OX_HTTPRES_H

#include <microhttpd.h>

#include "ombrix.h"

struct ox_httpres {
  MHD_Connection *con;    // the request's connection
  MHD_Response *handle;   // the reply built by a send or a denial; NULL until then
  ox_strmap *headers;     // reply headers, copied onto |handle| when queued
  unsigned int status;    // the reply's status
  int ret;                // libmicrohttpd's answer: MHD_YES or MHD_NO
};

#endif  // OX_HTTPRES_H
