// The router record: a route list's head, as it was handed over.
#ifndef OX_ROUTER_H
#define OX_ROUTER_H

#include "ombrix.h"

struct ox_router {
  ox_route *routes;  // the first route of the list; not owned
};

#endif  // OX_ROUTER_H
