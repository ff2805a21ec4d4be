// WebSocket groups: a member list under a lock, and broadcasts that make
// their frame once.
#include "ox_wsgroup.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include "ox_core.h"
#include "ox_ws.h"
#include "ox_wsframe.h"

namespace {

// Removes |ws| from the members (under the lock); true when it was one.
bool group_remove(ox_wsgroup *group, ox_ws *ws) noexcept {
  auto it = std::find(group->members.begin(), group->members.end(), ws);
  if (it == group->members.end()) return false;
  *it = group->members.back();
  group->members.pop_back();
  return true;
}

}  // namespace

void ox__wsgroup_unref(ox_wsgroup *group) noexcept {
  if (group->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete group;
}

void ox__wsgroup_drop(ox_wsgroup *group, ox_ws *ws) noexcept {
  bool was;
  {
    std::lock_guard<std::mutex> lock(group->mutex);
    was = group_remove(group, ws);
  }
  if (was) ox_ws_unref(ws);
  ox__wsgroup_unref(group);
}

ox_wsgroup *ox_wsgroup_new(void) noexcept {
  return new (std::nothrow) ox_wsgroup;
}

void ox_wsgroup_free(ox_wsgroup *group) noexcept {
  if (group == nullptr) return;
  std::vector<ox_ws *> members;
  {
    std::lock_guard<std::mutex> lock(group->mutex);
    members.swap(group->members);
  }
  for (ox_ws *ws : members) {
    ox__ws_forget_group(ws, group);
    ox_ws_unref(ws);
  }
  ox__wsgroup_unref(group);
}

int ox_wsgroup_join(ox_wsgroup *group, ox_ws *ws) noexcept {
  if (group == nullptr || ws == nullptr) return EINVAL;
  // The connection's lock first, then the group's: a closing connection
  // takes its list of groups under its own lock, so it cannot miss this
  // one.
  std::lock_guard<std::mutex> ws_lock(ws->mutex);
  if (ws->shut || (ws->state != ox__wsstate::opening &&
                   ws->state != ox__wsstate::open)) {
    return EPIPE;
  }
  std::lock_guard<std::mutex> lock(group->mutex);
  if (std::find(group->members.begin(), group->members.end(), ws) !=
      group->members.end()) {
    return EEXIST;
  }
  try {
    ws->groups.reserve(ws->groups.size() + 1);
    group->members.push_back(ws);
  } catch (...) {
    return ENOMEM;
  }
  ws->groups.push_back(group);
  group->refs.fetch_add(1, std::memory_order_relaxed);
  ws->refs.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

int ox_wsgroup_leave(ox_wsgroup *group, ox_ws *ws) noexcept {
  if (group == nullptr || ws == nullptr) return EINVAL;
  bool was;
  {
    std::lock_guard<std::mutex> lock(group->mutex);
    was = group_remove(group, ws);
  }
  if (!was) return ENOENT;
  ox__ws_forget_group(ws, group);
  ox_ws_unref(ws);
  return 0;
}

int ox_wsgroup_send(ox_wsgroup *group, const void *data, size_t size,
                    ox_wstype type, const ox_ws *except) noexcept {
  if (group == nullptr || (data == nullptr && size != 0) ||
      (type != OX_WS_TEXT && type != OX_WS_BINARY)) {
    return EINVAL;
  }
  if (type == OX_WS_TEXT && !ox__utf8_valid(data, size)) return EINVAL;
  uint8_t head[ox__wsframe_head_max];
  size_t head_len = ox__wsframe_head(
      head, type == OX_WS_TEXT ? ox__wsop::text : ox__wsop::binary, false,
      size);
  ox__wsbuf *buf = ox__wsbuf_new(head, head_len, data, size);
  if (buf == nullptr) return ENOMEM;
  // The members are sent to outside the group's lock, each kept by a
  // reference: a join holds a connection's lock, then the group's.
  std::vector<ox_ws *> members;
  try {
    std::lock_guard<std::mutex> lock(group->mutex);
    members.reserve(group->members.size());
    for (ox_ws *ws : group->members) {
      if (ws == except) continue;
      members.push_back(ox_ws_ref(ws));
    }
  } catch (...) {
    for (ox_ws *ws : members) ox_ws_unref(ws);
    ox__wsbuf_unref(buf);
    return ENOMEM;
  }
  for (ox_ws *ws : members) {
    ox__ws_send_shared(ws, buf);
    ox_ws_unref(ws);
  }
  ox__wsbuf_unref(buf);
  return 0;
}

size_t ox_wsgroup_size(const ox_wsgroup *group) noexcept {
  if (group == nullptr) return ox__einval<size_t>(0);
  std::lock_guard<std::mutex> lock(const_cast<ox_wsgroup *>(group)->mutex);
  return group->members.size();
}
