// Groups of WebSocket connections a message is sent to at once.
#ifndef OX_WSGROUP_H
#define OX_WSGROUP_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "ombrix.h"

struct ox_wsgroup {
  std::atomic<uint32_t> refs{1};  // the program's, and each member's
  std::mutex mutex;               // guards |members|
  std::vector<ox_ws *> members;   // each holds a reference of its own
};

// |ws| closed: it leaves |group| (whose reference it held, dropped here).
void ox__wsgroup_drop(ox_wsgroup *group, ox_ws *ws) noexcept;

void ox__wsgroup_unref(ox_wsgroup *group) noexcept;

#endif  // OX_WSGROUP_H
