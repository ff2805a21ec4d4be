// Small helpers shared by every source: errno discipline.
#ifndef OX_CORE_H
#define OX_CORE_H

#include <cerrno>

// Keeps errno as it was over a scope: int results never report through
// errno, but the C library calls behind them may set it.
class ox__errno_guard {
 public:
  ox__errno_guard() noexcept : saved_(errno) {}
  ~ox__errno_guard() { errno = saved_; }
  ox__errno_guard(const ox__errno_guard &) = delete;
  ox__errno_guard &operator=(const ox__errno_guard &) = delete;

 private:
  int saved_;
};

// Sets errno to EINVAL and returns |result|: the getters' answer to a NULL
// handle.
template <typename T>
inline T ox__einval(T result) noexcept {
  errno = EINVAL;
  return result;
}

// An intrusive doubly linked list of records with |prev| and |next|
// members, headed by |*head|; whatever guards the list is the caller's.
template <typename T>
inline void ox__list_push(T **head, T *node) noexcept {
  node->prev = nullptr;
  node->next = *head;
  if (*head != nullptr) (*head)->prev = node;
  *head = node;
}

template <typename T>
inline void ox__list_remove(T **head, T *node) noexcept {
  if (node->prev != nullptr) {
    node->prev->next = node->next;
  } else {
    *head = node->next;
  }
  if (node->next != nullptr) node->next->prev = node->prev;
  node->prev = node->next = nullptr;
}

// The value of a base64 digit (RFC 4648), or -1.
inline int ox__base64_value(unsigned char c) noexcept {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

#endif  // OX_CORE_H
