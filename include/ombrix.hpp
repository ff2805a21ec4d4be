/**
 * @file
 * ombrix.hpp - ombrix.h for C++: a server whose routes, fallback,
 * authentication and error sink are C++ callables, views over the request
 * and the response a handler gets, and owners for the data types.
 * Header-only and C++17; it calls the C functions of ombrix.h and nothing
 * else, so it works with the shared and the static library alike.
 *
 * Conventions, on top of those of ombrix.h:
 *
 *  1. A C function's non-zero result becomes an ombrix::error, a
 *     std::system_error whose code() is that errno value in
 *     std::generic_category(), and whose what() names the C function.  For
 *     a call on a server, what() also says why, as the server recorded it
 *     (ox_httpsrv_last_error()): "ox_httpsrv_set_tls: the private key does
 *     not match the certificate (GnuTLS: ...)".
 *     What the C comment says a failure leaves unchanged stays unchanged.
 *  2. Text goes in as std::string_view.  Where the C function needs a
 *     NUL-terminated string the view is copied first (on the stack when
 *     short), so a NUL byte inside it ends the text there.
 *  3. Text comes out as std::string_view into the library's storage, with
 *     the lifetime ombrix.h gives the pointer; a thing that is absent gives
 *     an empty view.  Where absent and empty must be told apart, the
 *     find functions give a std::optional: `req.find_param("limit")`.
 *  4. No exception crosses into the C library.  One that escapes a handler
 *     (a route, the fallback, an isolated callable) is caught where the
 *     library called in: the client gets 500 "Internal Server Error\n" as
 *     text/plain unless a reply was sent already, and the server's error
 *     sink gets a line "ombrix: exception in METHOD PATH: WHAT".  One that
 *     escapes an authenticator gets the request answered 500 the same
 *     way; one that escapes a stream reader breaks the stream.  Exceptions
 *     of callables run during a call of ours (a dispatch, a sort, an
 *     iteration) are caught there and thrown again once the C call is over.
 */
#ifndef OMBRIX_HPP
#define OMBRIX_HPP

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <charconv>
#include <exception>
#include <functional>
#include <initializer_list>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "ombrix.h"

/** The C++ interface of libombrix. */
namespace ombrix {

/**
 * The failure of a C function: code() holds its errno value (ENOMEM,
 * EINVAL, EALREADY, ...) in std::generic_category(), and what() names the
 * function and says why ("ox_httpsrv_listen2: cannot listen on port 80:
 * Permission denied"), or without a reason gives the code's text
 * ("ox_str_write: Cannot allocate memory").
 */
class error : public std::system_error {
 public:
  /** An error of code |code| raised by the C function named |context|. */
  error(int code, const char *context)
      : std::system_error(code, std::generic_category(), context),
        reason_("") {}
  /**
   * As above, for the reason |reason| (NULL or empty: none): what() is
   * then "<context>: <reason>".
   */
  error(int code, const char *context, const char *reason)
      : std::system_error(code, std::generic_category(), context),
        reason_(reason != nullptr && *reason != '\0'
                    ? std::string(context) + ": " + reason
                    : std::string()) {}
  /** The function and the reason, else what std::system_error says. */
  const char *what() const noexcept override {
    const char *text = reason_.what();
    return *text != '\0' ? text : std::system_error::what();
  }

 private:
  // A std::runtime_error holds the text because it copies without
  // throwing, as an exception must.
  std::runtime_error reason_;
};

class server;
class request;
class response;

/** @cond ombrix_internal */
namespace detail {

// Throws the error a C result stands for.
inline void check(int rc, const char *context) {
  if (rc != 0) throw error(rc, context);
}

// An argument of a setter as it goes to C: a value as it is, a text as a
// NUL-terminated C string.
template <class T>
struct setter_arg {
  static_assert(!std::is_same_v<T, const char *>,
                "a text is passed as std::string_view");
  explicit setter_arg(T v) : value(v) {}
  T value;
  T get() const noexcept { return value; }
};
template <>
struct setter_arg<std::string_view> {
  explicit setter_arg(std::string_view text) : value(text) {}
  std::string value;
  const char *get() const noexcept { return value.c_str(); }
};

// A view of a C string that may be NULL.
inline std::string_view view(const char *text) noexcept {
  return text != nullptr ? std::string_view(text) : std::string_view();
}

// A NUL-terminated copy of a view for a C call, on the stack when it is
// short: names, content types and header values mostly are, so a call
// like res.send(body, "text/html; charset=utf-8") allocates nothing here.
class cstr {
 public:
  explicit cstr(std::string_view text) {
    if (text.size() < sizeof(buf_)) {
      if (!text.empty()) std::memcpy(buf_, text.data(), text.size());
      buf_[text.size()] = '\0';
      ptr_ = buf_;
    } else {
      long_.assign(text);
      ptr_ = long_.c_str();
    }
  }
  cstr(const cstr &) = delete;
  cstr &operator=(const cstr &) = delete;
  const char *get() const noexcept { return ptr_; }

 private:
  char buf_[128];
  std::string long_;
  const char *ptr_;
};

// The integer |text| spells, whole: digits with a '-' first for a signed
// type, in range; empty otherwise (no sign '+', no space, no hex).
template <class T>
std::optional<T> parse_integer(std::string_view text) noexcept {
  static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>,
                "a typed capture reads integers");
  if (text.empty()) return std::nullopt;
  T value{};
  const char *end = text.data() + text.size();
  auto [at, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || at != end) return std::nullopt;
  return value;
}

// An exception caught inside a C callback, thrown again after the C call.
struct pending {
  std::exception_ptr caught;
  void rethrow() {
    if (caught) std::rethrow_exception(std::exchange(caught, nullptr));
  }
};

}  // namespace detail
/** @endcond */

/** A pair of a string map: its name and its value. */
using pair_view = std::pair<std::string_view, std::string_view>;

/**
 * A view of a string map (ox_strmap): the request's headers, cookies,
 * query arguments and form fields, or the reply's headers.  Names compare
 * without ASCII case.  A view does not own the map; it is valid while the
 * map does not change.
 */
class strmap_view {
 public:
  /** Iterates over the pairs, in map order. */
  using iterator = std::vector<pair_view>::const_iterator;

  /** A view of the empty map. */
  strmap_view() noexcept = default;
  /** A view of the map that starts at |map| (NULL: the empty map). */
  explicit strmap_view(ox_strmap *map) noexcept : map_(map) {}

  /** Returns the value of the first pair named |name|, or an empty view. */
  std::string_view get(std::string_view name) const {
    detail::cstr n(name);
    return detail::view(ox_strmap_get(map_, n.get()));
  }

  /** Returns true when a pair is named |name|, be its value empty or not. */
  bool contains(std::string_view name) const {
    detail::cstr n(name);
    ox_strmap *pair = nullptr;
    return ox_strmap_find(map_, n.get(), &pair) == 0;
  }

  /**
   * Returns the value of the first pair named |name| (an empty view for
   * "?limit="), or std::nullopt when no pair is so named.
   */
  std::optional<std::string_view> find(std::string_view name) const {
    detail::cstr n(name);
    ox_strmap *pair = nullptr;
    if (ox_strmap_find(map_, n.get(), &pair) != 0) return std::nullopt;
    return detail::view(ox_strmap_val(pair));
  }

  /** Returns the number of pairs. */
  std::size_t size() const noexcept { return ox_strmap_count(map_); }

  /** Returns true for a map without pairs. */
  bool empty() const noexcept { return map_ == nullptr; }

  /**
   * Calls |fn|(name, value) with each pair in map order.  An exception of
   * |fn| stops the walk and is thrown again from here.
   */
  template <class Fn>
  void for_each(Fn &&fn) const {
    struct walk {
      Fn &fn;
      detail::pending thrown;
    } state{fn, {}};
    ox_strmap_iter(
        map_,
        [](void *cls, ox_strmap *pair) noexcept -> int {
          auto *w = static_cast<walk *>(cls);
          try {
            w->fn(detail::view(ox_strmap_name(pair)),
                  detail::view(ox_strmap_val(pair)));
            return 0;
          } catch (...) {
            w->thrown.caught = std::current_exception();
            return 1;
          }
        },
        &state);
    state.thrown.rethrow();
  }

  /**
   * Returns the first pair.  The pairs are listed once, on the first call
   * of begin() or end() on this view (one allocation), so that
   * `for (auto [name, value] : req.headers())` walks them.
   */
  iterator begin() const { return list().begin(); }
  /** Returns the end of the pairs listed by begin(). */
  iterator end() const { return list().end(); }

  /** Returns the map's first pair, the C handle (NULL when empty). */
  ox_strmap *native() const noexcept { return map_; }

 private:
  const std::vector<pair_view> &list() const {
    if (!listed_) {
      // Room first: the C walk below must not throw.
      pairs_.reserve(size());
      ox_strmap_iter(
          map_,
          [](void *cls, ox_strmap *pair) noexcept -> int {
            static_cast<std::vector<pair_view> *>(cls)->emplace_back(
                detail::view(ox_strmap_name(pair)),
                detail::view(ox_strmap_val(pair)));
            return 0;
          },
          &pairs_);
      listed_ = true;
    }
    return pairs_;
  }

  ox_strmap *map_ = nullptr;
  mutable std::vector<pair_view> pairs_;
  mutable bool listed_ = false;
};

/**
 * A string map of its own (an owned ox_strmap): pairs added, set, looked
 * up and sorted.  Movable, not copyable.
 */
class strmap {
 public:
  /** An empty map; allocates nothing. */
  strmap() noexcept = default;
  /** Releases every pair. */
  ~strmap() { ox_strmap_cleanup(&map_); }
  /** Takes the pairs of |other|, which is left empty. */
  strmap(strmap &&other) noexcept : map_(std::exchange(other.map_, nullptr)) {}
  /** Releases this map's pairs and takes those of |other|. */
  strmap &operator=(strmap &&other) noexcept {
    if (this != &other) {
      ox_strmap_cleanup(&map_);
      map_ = std::exchange(other.map_, nullptr);
    }
    return *this;
  }
  strmap(const strmap &) = delete;
  strmap &operator=(const strmap &) = delete;

  /** Adds the pair (|name|, |value|), keeping other pairs of that name. */
  void add(std::string_view name, std::string_view value) {
    detail::cstr n(name), v(value);
    detail::check(ox_strmap_add(&map_, n.get(), v.get()), "ox_strmap_add");
  }

  /** Gives |name| the single value |value|, as ox_strmap_set() does. */
  void set(std::string_view name, std::string_view value) {
    detail::cstr n(name), v(value);
    detail::check(ox_strmap_set(&map_, n.get(), v.get()), "ox_strmap_set");
  }

  /** Returns the value of the first pair named |name|, or an empty view. */
  std::string_view get(std::string_view name) const { return view().get(name); }

  /** Returns true when a pair is named |name|. */
  bool contains(std::string_view name) const { return view().contains(name); }

  /** Returns the number of pairs. */
  std::size_t size() const noexcept { return ox_strmap_count(map_); }

  /**
   * Reorders the pairs by |less|(a, b), which takes two pair_view and says
   * whether |a| goes first; pairs |less| finds equal keep their order.  An
   * exception of |less| is thrown again once the sort is over (the order
   * is then unspecified, the pairs all there).
   */
  template <class Less>
  void sort(Less &&less) {
    struct order {
      Less &less;
      detail::pending thrown;
    } state{less, {}};
    ox_strmap_sort(
        &map_,
        [](void *cls, ox_strmap *a, ox_strmap *b) noexcept -> int {
          auto *o = static_cast<order *>(cls);
          if (o->thrown.caught) return 0;
          try {
            pair_view pa(detail::view(ox_strmap_name(a)),
                         detail::view(ox_strmap_val(a)));
            pair_view pb(detail::view(ox_strmap_name(b)),
                         detail::view(ox_strmap_val(b)));
            if (o->less(pa, pb)) return -1;
            return o->less(pb, pa) ? 1 : 0;
          } catch (...) {
            o->thrown.caught = std::current_exception();
            return 0;
          }
        },
        &state);
    state.thrown.rethrow();
  }

  /** Removes every pair. */
  void clear() noexcept { ox_strmap_cleanup(&map_); }

  /** Returns a view of the map, to walk or look up. */
  strmap_view view() const noexcept { return strmap_view(map_); }

  /** Returns the C handle: the map's first pair (NULL when empty). */
  ox_strmap *native() const noexcept { return map_; }
  /** Returns the address of the C handle, for the C functions that change it.
   */
  ox_strmap **native_address() noexcept { return &map_; }

 private:
  ox_strmap *map_ = nullptr;
};

/**
 * A growable byte buffer (an owned ox_str).  Movable, not copyable; a
 * moved-from buffer may only be assigned to or destroyed.
 */
class str {
 public:
  /** An empty buffer.  Throws error(ENOMEM) when memory runs out. */
  str() : str_(ox_str_new()) {
    if (str_ == nullptr) throw error(ENOMEM, "ox_str_new");
  }
  /** Releases the buffer. */
  ~str() { ox_str_free(str_); }
  /** Takes the buffer of |other|. */
  str(str &&other) noexcept : str_(std::exchange(other.str_, nullptr)) {}
  /** Releases this buffer and takes the buffer of |other|. */
  str &operator=(str &&other) noexcept {
    if (this != &other) {
      ox_str_free(str_);
      str_ = std::exchange(other.str_, nullptr);
    }
    return *this;
  }
  str(const str &) = delete;
  str &operator=(const str &) = delete;

  /**
   * Appends the bytes of |bytes|, NUL bytes included.  An empty view
   * appends nothing (where ox_str_write() refuses a length of 0).
   */
  str &write(std::string_view bytes) {
    if (!bytes.empty()) {
      detail::check(ox_str_write(str_, bytes.data(), bytes.size()),
                    "ox_str_write");
    }
    return *this;
  }

  /** Appends the text |fmt| makes of the values after it, as printf does. */
  [[gnu::format(printf, 2, 3)]] str &printf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = ox_str_printf_va(str_, fmt, ap);
    va_end(ap);
    detail::check(rc, "ox_str_printf");
    return *this;
  }

  /** Returns the content, every byte written: valid until the next append. */
  std::string_view view() const noexcept {
    return std::string_view(ox_str_content(str_), ox_str_length(str_));
  }

  /** Returns the number of bytes written. */
  std::size_t size() const noexcept { return ox_str_length(str_); }

  /** Empties the buffer; its capacity stays. */
  void clear() noexcept { ox_str_clear(str_); }

  /** Returns the C handle. */
  ox_str *native() const noexcept { return str_; }

 private:
  ox_str *str_;
};

/**
 * A route seen from its handler during router::dispatch(): the path it
 * matched and what its groups captured.
 */
class route {
 public:
  /** A view of the C route |r|. */
  explicit route(ox_route *r) noexcept : route_(r) {}

  /** Returns the path of the dispatch (valid during the handler). */
  std::string_view path() const noexcept {
    return detail::view(ox_route_path(route_));
  }

  /** Returns the user data given to router::dispatch(). */
  void *user_data() const noexcept { return ox_route_user_data(route_); }

  /**
   * Calls |fn|(name, text) with each named group that took part in the
   * match, in pattern order.  An exception of |fn| stops the walk and is
   * thrown again from here.
   */
  template <class Fn>
  void for_each_var(Fn &&fn) const {
    struct walk {
      Fn &fn;
      detail::pending thrown;
    } state{fn, {}};
    int rc = ox_route_vars_iter(
        route_,
        [](void *cls, const char *name, const char *val) noexcept -> int {
          auto *w = static_cast<walk *>(cls);
          try {
            w->fn(detail::view(name), detail::view(val));
            return 0;
          } catch (...) {
            w->thrown.caught = std::current_exception();
            return -1;
          }
        },
        &state);
    state.thrown.rethrow();
    detail::check(rc, "ox_route_vars_iter");
  }

  /**
   * Calls |fn|(index, text) with each group that took part in the match,
   * named or not; |index| counts from 0 as in ox_route_segments_iter().
   */
  template <class Fn>
  void for_each_segment(Fn &&fn) const {
    struct walk {
      Fn &fn;
      detail::pending thrown;
    } state{fn, {}};
    int rc = ox_route_segments_iter(
        route_,
        [](void *cls, unsigned int index, const char *seg) noexcept -> int {
          auto *w = static_cast<walk *>(cls);
          try {
            w->fn(index, detail::view(seg));
            return 0;
          } catch (...) {
            w->thrown.caught = std::current_exception();
            return -1;
          }
        },
        &state);
    state.thrown.rethrow();
    detail::check(rc, "ox_route_segments_iter");
  }

  /** Returns the C handle. */
  ox_route *native() const noexcept { return route_; }

 private:
  ox_route *route_;
};

/**
 * A route list with its router (ox_routes_add(), ox_router_dispatch()):
 * patterns tried in the order they were added, the first that matches a
 * path whole runs its handler.  Not copyable nor movable, since each
 * route's C record points at its handler here.  Dispatches must not
 * overlap, as in C.
 */
class router {
 public:
  /** A route's handler: any callable void(ombrix::route &). */
  using handler = std::function<void(route &)>;

  /** An empty router; allocates nothing. */
  router() noexcept = default;
  /** Releases the router and its routes. */
  ~router() {
    ox_router_free(router_);
    ox_routes_cleanup(&routes_);
  }
  router(const router &) = delete;
  router &operator=(const router &) = delete;

  /**
   * Appends a route of |pattern| (compiled as ox_routes_add() compiles
   * it) answered by |fn|.  Throws error(EINVAL) for a pattern that does
   * not compile, ENOTSUP, ENOMEM; the router is then as it was.
   */
  void add(std::string_view pattern, handler fn) {
    detail::cstr p(pattern);
    handlers_.push_back(entry{this, std::move(fn)});
    int rc = ox_routes_add(&routes_, p.get(), &route_cb, &handlers_.back());
    if (rc == 0 && router_ == nullptr) {
      // The list's head never moves once it exists: routes are appended.
      router_ = ox_router_new(routes_);
      if (router_ == nullptr) {
        ox_routes_cleanup(&routes_);
        rc = ENOMEM;
      }
    }
    if (rc != 0) {
      handlers_.pop_back();
      throw error(rc, "ox_routes_add");
    }
  }

  /**
   * Runs the handler of the first route that matches |path| whole, with
   * |user_data|.  Returns true when a route ran, false when none matched.
   * An exception of the handler is thrown again from here.
   */
  bool dispatch(std::string_view path, void *user_data = nullptr) {
    if (router_ == nullptr) return false;
    detail::cstr p(path);
    int rc = ox_router_dispatch(router_, p.get(), user_data);
    pending_.rethrow();
    if (rc == ENOENT) return false;
    detail::check(rc, "ox_router_dispatch");
    return true;
  }

  /** Returns the first route of the list (NULL while there is none). */
  ox_route *native_routes() const noexcept { return routes_; }
  /** Returns the C router (NULL while there is no route). */
  ox_router *native() const noexcept { return router_; }

 private:
  struct entry {
    router *owner;
    handler fn;
  };

  static void route_cb(void *cls, ox_route *r) noexcept {
    auto *e = static_cast<entry *>(cls);
    try {
      route view(r);
      e->fn(view);
    } catch (...) {
      e->owner->pending_.caught = std::current_exception();
    }
  }

  std::list<entry> handlers_;  // stable addresses: each is a route's cls
  detail::pending pending_;    // a handler's exception, for dispatch()
  ox_route *routes_ = nullptr;
  ox_router *router_ = nullptr;
};

/**
 * An entry of an entrypoints table, or none.  Valid until the table
 * changes.
 */
class entrypoint {
 public:
  /** A view of the C record |e| (NULL: none). */
  explicit entrypoint(ox_entrypoint *e = nullptr) noexcept : entry_(e) {}
  /** Returns true for an entry, false for none. */
  explicit operator bool() const noexcept { return entry_ != nullptr; }
  /** Returns the entry's name ("/r1"). */
  std::string_view name() const noexcept {
    return detail::view(ox_entrypoint_name(entry_));
  }
  /** Returns the entry's user data. */
  void *user_data() const noexcept { return ox_entrypoint_user_data(entry_); }
  /** Replaces the entry's user data. */
  void set_user_data(void *data) {
    detail::check(ox_entrypoint_set_user_data(entry_, data),
                  "ox_entrypoint_set_user_data");
  }
  /** Returns the C record. */
  ox_entrypoint *native() const noexcept { return entry_; }

 private:
  ox_entrypoint *entry_;
};

/**
 * A table of entry points (an owned ox_entrypoints): names made of a
 * path's first segment, each with one pointer of the program's.  Not
 * copyable.
 */
class entrypoints {
 public:
  /** An empty table.  Throws error(ENOMEM) when memory runs out. */
  entrypoints() : table_(ox_entrypoints_new()) {
    if (table_ == nullptr) throw error(ENOMEM, "ox_entrypoints_new");
  }
  /** Releases the table (the user data is not touched). */
  ~entrypoints() { ox_entrypoints_free(table_); }
  entrypoints(const entrypoints &) = delete;
  entrypoints &operator=(const entrypoints &) = delete;

  /**
   * Adds an entry named after the first segment of |path|.  Throws
   * error(EALREADY) when that name is taken, ENOMEM.
   */
  void add(std::string_view path, void *user_data = nullptr) {
    detail::cstr p(path);
    detail::check(ox_entrypoints_add(table_, p.get(), user_data),
                  "ox_entrypoints_add");
  }

  /**
   * Removes the entry named after the first segment of |path|.  Returns
   * false when there is none; throws error(ENOMEM).
   */
  bool remove(std::string_view path) {
    detail::cstr p(path);
    int rc = ox_entrypoints_rm(table_, p.get());
    if (rc == ENOENT) return false;
    detail::check(rc, "ox_entrypoints_rm");
    return true;
  }

  /**
   * Returns the entry for |path| or any path below it, or none.  Throws
   * error(ENOMEM).
   */
  entrypoint find(std::string_view path) const {
    detail::cstr p(path);
    ox_entrypoint *e = nullptr;
    int rc = ox_entrypoints_find(table_, &e, p.get());
    if (rc == ENOENT) return entrypoint();
    detail::check(rc, "ox_entrypoints_find");
    return entrypoint(e);
  }

  /**
   * Calls |fn|(entrypoint) with each entry in name order.  An exception
   * of |fn| stops the walk and is thrown again from here.
   */
  template <class Fn>
  void for_each(Fn &&fn) const {
    struct walk {
      Fn &fn;
      detail::pending thrown;
    } state{fn, {}};
    ox_entrypoints_iter(
        table_,
        [](void *cls, ox_entrypoint *e) noexcept -> int {
          auto *w = static_cast<walk *>(cls);
          try {
            w->fn(entrypoint(e));
            return 0;
          } catch (...) {
            w->thrown.caught = std::current_exception();
            return -1;
          }
        },
        &state);
    state.thrown.rethrow();
  }

  /** Removes every entry. */
  void clear() noexcept { ox_entrypoints_clear(table_); }

  /** Returns the C table. */
  ox_entrypoints *native() const noexcept { return table_; }

 private:
  ox_entrypoints *table_;
};

/**
 * Returns a safe file name made of |name|, a client's, as
 * ox_safe_filename() makes it: one path component, valid UTF-8, no more
 * than 255 bytes, that stays inside any directory it is joined to.  An
 * empty string when nothing of |name| is left ("", "..", "a/"): the
 * program then picks a name of its own.  Throws error(ENOMEM).
 */
inline std::string safe_filename(std::string_view name) {
  char out[256];
  int rc = ox_safe_filename(detail::cstr(name).get(), out, sizeof out);
  if (rc == EINVAL) return std::string();
  detail::check(rc, "ox_safe_filename");
  return out;
}

/** A file uploaded with a request (ox_httpupld), valid while it is served. */
class upload {
 public:
  /** A view of the C upload |u|. */
  explicit upload(ox_httpupld *u) noexcept : upld_(u) {}
  /** Returns the file name the client gave, as given (it may be unsafe). */
  std::string_view name() const noexcept {
    return detail::view(ox_httpupld_name(upld_));
  }
  /** Returns the form field the file came in. */
  std::string_view field() const noexcept {
    return detail::view(ox_httpupld_field(upld_));
  }
  /** Returns the MIME type the client gave, or an empty view. */
  std::string_view mime() const noexcept {
    return detail::view(ox_httpupld_mime(upld_));
  }
  /** Returns the number of bytes received. */
  std::uint64_t size() const noexcept { return ox_httpupld_size(upld_); }
  /**
   * Returns the path of the file: the temporary file until it is saved,
   * then where it was saved.
   */
  std::string_view path() const noexcept {
    return detail::view(ox_httpupld_path(upld_));
  }
  /**
   * Moves the file into the server's upload directory under its name, as
   * ox_httpupld_save() does.  Throws error(EINVAL) for a name refused,
   * EEXIST when |overwrite| is false and the file exists, EALREADY, or
   * another errno of the file system.
   */
  void save(bool overwrite = false) const {
    detail::check(ox_httpupld_save(upld_, overwrite), "ox_httpupld_save");
  }
  /**
   * Moves the file to |path|, the program's choice, atomically, as
   * ox_httpupld_save_as() does: `u.save_as(dir + "/" +
   * ombrix::safe_filename(u.name()))`.  Throws error(EEXIST) when
   * |overwrite| is false and |path| exists (of two saves racing for one
   * name exactly one wins), EALREADY, EINVAL for an empty |path|, or
   * another errno of the file system.
   */
  void save_as(std::string_view path, bool overwrite = false) const {
    detail::check(ox_httpupld_save_as(upld_, detail::cstr(path).get(),
                                      overwrite),
                  "ox_httpupld_save_as");
  }
  /** Returns the C upload. */
  ox_httpupld *native() const noexcept { return upld_; }

 private:
  ox_httpupld *upld_;
};

/** @cond ombrix_internal */
namespace detail {

class upload_iterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = upload;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = upload;

  explicit upload_iterator(ox_httpupld *u) noexcept : upld_(u) {}
  upload operator*() const noexcept { return upload(upld_); }
  upload_iterator &operator++() noexcept {
    ox_httpuplds_next(&upld_);
    return *this;
  }
  bool operator==(const upload_iterator &o) const noexcept {
    return upld_ == o.upld_;
  }
  bool operator!=(const upload_iterator &o) const noexcept {
    return upld_ != o.upld_;
  }

 private:
  ox_httpupld *upld_;
};

}  // namespace detail
/** @endcond */

/** The uploads of a request, in arrival order: `for (upload u :
 * req.uploads())`. */
class upload_list {
 public:
  /** Walks the uploads; dereferencing gives an ombrix::upload. */
  using iterator = detail::upload_iterator;
  /** The list that starts at |first| (NULL: none). */
  explicit upload_list(ox_httpupld *first) noexcept : first_(first) {}
  /** Returns the first upload. */
  iterator begin() const noexcept { return iterator(first_); }
  /** Returns the end of the list. */
  iterator end() const noexcept { return iterator(nullptr); }
  /** Returns true when the request carries no file. */
  bool empty() const noexcept { return first_ == nullptr; }

 private:
  ox_httpupld *first_;
};

/**
 * The request a handler answers: a view over ox_httpreq that lives as
 * long as the handler call.  Texts it hands out live as long as the
 * request.
 *
 * @code
 * srv.get("/search/(?<page>[0-9]+)", [](ombrix::request &req,
 *                                      ombrix::response &res) {
 *   std::optional<int> page = req.var_as<int>("page");      // typed capture
 *   std::optional<std::string_view> q = req.find_param("q"); // ?q= vs none
 *   std::string_view agent = req.header("User-Agent");      // "" if absent
 *   if (!page || !q) return res.send("bad query\n", "text/plain", 400);
 *   res.send(search(*q, *page, agent), "application/json");
 * });
 * srv.post("/files", [](ombrix::request &req, ombrix::response &res) {
 *   for (ombrix::upload up : req.uploads()) {
 *     up.save_as("/srv/files/" + ombrix::safe_filename(up.name()));
 *   }
 *   res.send("", "", 204);
 * });
 * @endcode
 */
class request {
 public:
  /** A view of |req|, received by |srv|; made by the server for handlers. */
  request(ox_httpreq *req, ombrix::server &srv) noexcept
      : req_(req), srv_(&srv) {}
  request(const request &) = delete;
  request &operator=(const request &) = delete;

  /** Returns the decoded path, without the query. */
  std::string_view path() const noexcept {
    return detail::view(ox_httpreq_path(req_));
  }
  /** Returns the method ("GET", "POST", ...). */
  std::string_view method() const noexcept {
    return detail::view(ox_httpreq_method(req_));
  }

  /** Returns the request headers (names without case). */
  strmap_view headers() const noexcept { return map(ox_httpreq_headers(req_)); }
  /** Returns the cookies the request carries. */
  strmap_view cookies() const noexcept { return map(ox_httpreq_cookies(req_)); }
  /** Returns the query arguments. */
  strmap_view params() const noexcept { return map(ox_httpreq_params(req_)); }
  /** Returns the form fields of a url-encoded or multipart body. */
  strmap_view fields() const noexcept { return map(ox_httpreq_fields(req_)); }

  /** Returns the first header named |name|, or an empty view. */
  std::string_view header(std::string_view name) const {
    return headers().get(name);
  }
  /** Returns the cookie named |name|, or an empty view. */
  std::string_view cookie(std::string_view name) const {
    return cookies().get(name);
  }
  /** Returns the first query argument named |name|, or an empty view. */
  std::string_view param(std::string_view name) const {
    return params().get(name);
  }
  /** Returns the first form field named |name|, or an empty view. */
  std::string_view field(std::string_view name) const {
    return fields().get(name);
  }

  /**
   * Returns the first header named |name|, or std::nullopt when there is
   * none; a header sent empty gives an empty view.
   */
  std::optional<std::string_view> find_header(std::string_view name) const {
    return headers().find(name);
  }
  /** Returns the cookie named |name|, or std::nullopt when there is none. */
  std::optional<std::string_view> find_cookie(std::string_view name) const {
    return cookies().find(name);
  }
  /**
   * Returns the first query argument named |name|, or std::nullopt when
   * there is none: "?limit=" gives an empty view, "?" gives std::nullopt.
   */
  std::optional<std::string_view> find_param(std::string_view name) const {
    return params().find(name);
  }
  /** Returns the first form field named |name|, or std::nullopt. */
  std::optional<std::string_view> find_field(std::string_view name) const {
    return fields().find(name);
  }

  /**
   * Returns the first query argument named |name| read as the integer type
   * |T| (int, long, std::uint64_t...), or std::nullopt when the argument
   * is absent or is not such an integer whole: decimal digits, a '-'
   * first only for a signed |T|, within |T|'s range ("12x", "", " 1",
   * "+1" and 2^63 for a long all give std::nullopt).  Allocates nothing.
   */
  template <class T>
  std::optional<T> param_as(std::string_view name) const {
    std::optional<std::string_view> text = find_param(name);
    if (!text) return std::nullopt;
    return detail::parse_integer<T>(*text);
  }

  /**
   * Returns what the route's group named |name| captured of the path, or
   * an empty view (no such group, the group took no part, or no route took
   * the request).
   */
  std::string_view var(std::string_view name) const {
    detail::cstr n(name);
    std::size_t len = 0;
    const char *at = ox_httpreq_var(req_, n.get(), &len);
    return at != nullptr ? std::string_view(at, len) : std::string_view();
  }

  /**
   * Returns what the route's group named |name| captured read as the
   * integer type |T|, as param_as() reads: std::nullopt when the group
   * captured nothing, or not an integer of |T| whole (an overflow, a
   * sign on an unsigned |T|).  `req.var_as<long>("id")` replaces a copy
   * and std::stol(), and throws nothing.
   */
  template <class T>
  std::optional<T> var_as(std::string_view name) const {
    return detail::parse_integer<T>(var(name));
  }

  /**
   * Returns what the route's group at |index| captured (counted from 0,
   * named groups included), or an empty view.
   */
  std::string_view capture(unsigned int index) const noexcept {
    std::size_t len = 0;
    const char *at = ox_httpreq_capture(req_, index, &len);
    return at != nullptr ? std::string_view(at, len) : std::string_view();
  }

  /** Returns the client's address ("127.0.0.1", "::1"), or an empty view. */
  std::string_view peer() const noexcept {
    return detail::view(ox_httpreq_peer(req_));
  }

  /**
   * Gives the request the id |id| for its access-log record
   * (access_record::id(), and the last field of server::log_to() lines in
   * log_format::combined).  Throws error(EINVAL) for an id that is empty,
   * over 128 bytes or not printable ASCII; ENOMEM.
   */
  void set_log_id(std::string_view id) {
    detail::cstr i(id);
    detail::check(ox_httpreq_set_log_id(req_, i.get()),
                  "ox_httpreq_set_log_id");
  }

  /** Returns the body, every byte of it (NUL bytes included). */
  std::string_view payload() const noexcept {
    ox_str *body = ox_httpreq_payload(req_);
    if (body == nullptr) return std::string_view();
    return std::string_view(ox_str_content(body), ox_str_length(body));
  }

  /**
   * Hands the body to |fn|, a callable void(std::string_view piece), piece
   * by piece as it arrives, instead of holding it, as
   * ox_httpreq_set_body_cb() does: the payload stays empty and forms are
   * not parsed; the handler runs once the whole body was handed over.
   * Only from the authenticator, before the body is read.  The body is
   * bounded by server::set_uploads_limit().
   *
   * An exception from |fn| stops the body, goes to the error sink as a
   * handler's does, and is answered at once (the connection then closed):
   * 413 for an ombrix::error (or any std::system_error of the generic
   * category) of code E2BIG, 400 for one of EBADMSG, 500 for anything
   * else.  |fn| is moved to the heap and destroyed when the request ends.
   * Throws error(EALREADY) when a body callable was set already or the
   * body is being read, ENOMEM.
   */
  template <class Fn>
  void on_body(Fn &&fn);

  /** Returns true when the request carries at least one uploaded file. */
  bool is_uploading() const noexcept { return ox_httpreq_is_uploading(req_); }
  /** Returns the uploaded files, in arrival order. */
  upload_list uploads() const noexcept {
    return upload_list(ox_httpreq_uploads(req_));
  }

  /**
   * Hands the request to |fn|, a callable void(request &, response &)
   * that runs on a thread of the isolation pool once the handler returns
   * and may block; its reply goes out when it returns.  The handler must
   * not touch the request nor its response after this call.  |fn| is
   * moved to the heap and destroyed once it ran.  Its exceptions are
   * handled as a handler's.
   *
   * Throws error(EALREADY) when the request is isolated or answered
   * already, ENOMEM.  A request the pool refuses (503, its queue full)
   * never runs |fn|, and the C library does not hand it back, so such a
   * callable is destroyed with the server.
   */
  template <class Fn>
  void isolate(Fn &&fn);

  /** Returns true once isolate() succeeded. */
  bool isolated() const noexcept { return isolated_; }

  /** Returns the server that received the request. */
  ombrix::server &server() const noexcept { return *srv_; }

  /** Returns the C request. */
  ox_httpreq *native() const noexcept { return req_; }

 private:
  static strmap_view map(ox_strmap **m) noexcept {
    return strmap_view(m != nullptr ? *m : nullptr);
  }

  ox_httpreq *req_;
  ombrix::server *srv_;
  bool isolated_ = false;
};

/** Which requests from other sites carry a cookie (ox_samesite). */
enum class cookie_same_site {
  lax = OX_SAMESITE_LAX,        ///< links from other sites, not their forms
  strict = OX_SAMESITE_STRICT,  ///< requests from the site itself only
  none = OX_SAMESITE_NONE,      ///< every request; needs |secure|
  omit = OX_SAMESITE_OMIT,      ///< no attribute: the browser's default
};

/**
 * The attributes of a cookie for response::cookie() and
 * response::delete_cookie(), as ox_cookie_opts documents them; the
 * defaults are those of the two-argument response::cookie() ("Path=/;
 * HttpOnly; SameSite=Lax").
 */
struct cookie_options {
  /** The paths it goes with; "" for no Path attribute. */
  std::string_view path = "/";
  /** The Domain attribute, or "" for none (this host alone). */
  std::string_view domain;
  /** How long it lives (Max-Age, whole seconds); 0 for no Max-Age. */
  std::chrono::seconds max_age{0};
  /** When it ends (Expires); the epoch (the default) for no Expires. */
  std::chrono::system_clock::time_point expires{};
  /** Sent over HTTPS only. */
  bool secure = false;
  /** Hidden from scripts in the page. */
  bool http_only = true;
  /** Which requests from other sites carry it. */
  cookie_same_site same_site = cookie_same_site::lax;
};

/** @cond ombrix_internal */
namespace detail {

// An ox_cookie_opts over a cookie_options, with the C strings it points at.
class cookie_opts {
 public:
  explicit cookie_opts(const cookie_options &opts)
      : path_(opts.path), domain_(opts.domain) {
    c_.path = path_.get();
    c_.domain = domain_.get();
    c_.max_age = static_cast<std::int64_t>(opts.max_age.count());
    c_.expires = std::chrono::system_clock::to_time_t(opts.expires);
    c_.secure = opts.secure;
    c_.http_only = opts.http_only;
    c_.same_site = static_cast<ox_samesite>(opts.same_site);
  }
  const ox_cookie_opts *get() const noexcept { return &c_; }

 private:
  cstr path_, domain_;
  ox_cookie_opts c_{};
};

// The callable of push_stream::on_gone(), owned by its stream with the
// callables it replaced, since one of those may still run on a serving
// thread until the stream ends.
struct gone_job {
  std::function<void()> fn;
  ombrix::server *srv;
  std::unique_ptr<gone_job> replaced;
  static void run_cb(void *cls) noexcept;
};

}  // namespace detail
/** @endcond */

/**
 * A push stream (ox_httpres_sendpush()), made by response::push(): a body
 * the program writes from any thread as it has something to send, while
 * no serving thread waits for it.  It owns the C stream: end(), or the
 * destructor, ends the stream once what was written has gone out.
 * Movable, not copyable; one moved from holds no stream, and its write()
 * returns false.
 *
 * @code
 * std::mutex mu;
 * std::list<ombrix::push_stream> streams;  // written to under |mu|
 * srv.get("/events", [&](ombrix::request &, ombrix::response &res) {
 *   std::lock_guard<std::mutex> lock(mu);
 *   auto at = streams.insert(streams.end(),
 *                            res.push("text/event-stream", ": ping\n\n"));
 *   // Runs after this handler returns, on a serving thread.
 *   at->on_gone([&, at] {
 *     std::lock_guard<std::mutex> relock(mu);
 *     streams.erase(at);  // ends it
 *   });
 * });
 * // On any thread, under |mu|: for (auto &s : streams) s.write(event);
 * @endcode
 */
class push_stream {
 public:
  /** An object that holds no stream. */
  push_stream() noexcept = default;
  /**
   * Takes over |push| (may be NULL); what a gone callable throws goes to
   * the error sink of |srv| (may be NULL: nowhere).
   */
  push_stream(ox_push *push, ombrix::server *srv) noexcept
      : push_(push), srv_(srv) {}
  /** Takes over |other|'s stream. */
  push_stream(push_stream &&other) noexcept
      : push_(std::exchange(other.push_, nullptr)),
        srv_(other.srv_),
        gone_(std::move(other.gone_)) {}
  /** Ends the stream held, then takes over |other|'s. */
  push_stream &operator=(push_stream &&other) noexcept {
    if (this != &other) {
      end();
      push_ = std::exchange(other.push_, nullptr);
      srv_ = other.srv_;
      gone_ = std::move(other.gone_);
    }
    return *this;
  }
  push_stream(const push_stream &) = delete;
  push_stream &operator=(const push_stream &) = delete;
  /** Ends the stream, as end() does. */
  ~push_stream() { end(); }

  /**
   * Queues |data| (copied) and returns without waiting for the client
   * (ox_push_write()); any thread may call it.  Returns true when it was
   * queued, false when it was not: the stream is over (the client left,
   * or it was cut or drained; on_gone() tells that once, and every later
   * write fails too), or the queue is full and the server's policy
   * refuses (a later write may pass), or this object holds no stream.
   * Throws error(ENOMEM).
   */
  bool write(std::string_view data) {
    if (push_ == nullptr) return false;
    int rc = ox_push_write(push_, data.data(), data.size());
    if (rc == EPIPE || rc == ENOBUFS) return false;
    detail::check(rc, "ox_push_write");
    return true;
  }

  /**
   * Sets |fn| to run once when the stream is over before end()
   * (ox_push_on_gone()): the client left, the stream was cut, or a drain
   * ended it.  It runs on a serving thread, or at once, on this thread,
   * when that happened already; set by the handler that made the stream,
   * never before that handler returns.  It may destroy this object (which
   * ends the stream); an exception it throws goes to the server's error
   * sink.
   * An empty |fn| clears it; a later call replaces it.  Nothing happens
   * when this object holds no stream.
   */
  void on_gone(std::function<void()> fn);

  /**
   * Ends the stream once what was written has gone out (ox_push_end()),
   * and holds none from then on.  A gone callable running on another
   * thread is waited for: the caller must not hold a lock it takes.
   */
  void end() noexcept {
    ox_push_end(std::exchange(push_, nullptr));
    gone_.reset();
  }

  /** True while this object holds a stream. */
  explicit operator bool() const noexcept { return push_ != nullptr; }

  /** Returns the C stream, or NULL. */
  ox_push *native() const noexcept { return push_; }

 private:
  ox_push *push_ = nullptr;
  ombrix::server *srv_ = nullptr;
  std::unique_ptr<detail::gone_job> gone_;
};

/**
 * The reply a handler builds: a view over ox_httpres.  One send per
 * reply; headers and cookies go before it.
 *
 * @code
 * srv.get("/report", [](ombrix::request &, ombrix::response &res) {
 *   ombrix::cookie_options session;
 *   session.secure = true;
 *   session.max_age = std::chrono::hours(8);
 *   res.cookie("sid", new_session_id(), session);
 *   res.set_header("Cache-Control", "no-store");
 *   res.send(R"({"rows":[]})", "application/json");   // or send_file(),
 * });                                                 // send_dir(), stream()
 * srv.after([](ombrix::request &, ombrix::response &res) {
 *   if (res.status() >= 500) res.replace_body(R"({"error":"sorry"})",
 *                                             "application/json");
 * });
 * @endcode
 */
class response {
 public:
  /** A view of |res|, of a request |srv| received; made by the server. */
  response(ox_httpres *res, ombrix::server &srv) noexcept
      : res_(res), srv_(&srv) {}
  response(const response &) = delete;
  response &operator=(const response &) = delete;

  /**
   * Sends |body| (copied; any bytes) as |content_type| ("" for no
   * Content-Type) with |status| (100 to 599).  Throws error(EALREADY) for
   * a second send, EINVAL for a bad status, ENOMEM.
   */
  void send(std::string_view body, std::string_view content_type = "text/plain",
            unsigned int status = 200) {
    detail::cstr type(content_type);
    detail::check(ox_httpres_sendbinary(res_, body.data(), body.size(),
                                        type.get(), status),
                  "ox_httpres_sendbinary");
    sent_ = true;
  }

  /**
   * As send(), with the body raw-deflated and marked "Content-Encoding:
   * deflate" (ox_httpres_zsendbinary()): for a client whose
   * Accept-Encoding takes deflate.
   */
  void send_deflated(std::string_view body,
                     std::string_view content_type = "text/plain",
                     unsigned int status = 200) {
    detail::cstr type(content_type);
    detail::check(ox_httpres_zsendbinary(res_, body.data(), body.size(),
                                         type.get(), status),
                  "ox_httpres_zsendbinary");
    sent_ = true;
  }

  /**
   * Sends the whole file at |path|, its Content-Type guessed from the
   * extension.  Throws error(ENOENT) for no such file (nothing is sent
   * then: another reply may follow), EINVAL for one that is not a regular
   * file, EALREADY, ENOMEM, or another errno of open().
   */
  void send_file(std::string_view path, unsigned int status = 200) {
    detail::cstr p(path);
    detail::check(ox_httpres_sendfile(res_, p.get(), status),
                  "ox_httpres_sendfile");
    sent_ = true;
  }

  /**
   * Answers from the file tree under the directory |root| for the request
   * path |path| (ox_httpres_senddir()): files with validators, ranges and
   * gzip, index pages, listings, 301 to a directory's slash form, and 404
   * for anything outside |root|, hidden or missing.  Throws
   * error(EALREADY), ENOMEM, or the errno of open() when |root| cannot be
   * opened (nothing is sent then: another reply may follow).
   */
  void send_dir(std::string_view root, std::string_view path) {
    detail::cstr r(root), p(path);
    detail::check(ox_httpres_senddir(res_, r.get(), p.get()),
                  "ox_httpres_senddir");
    sent_ = true;
  }

  /**
   * Sends |max_size| bytes (0: to the end) of the file at |path| from
   * |offset|, with a Content-Disposition of |disposition| ("attachment",
   * "inline"; "" for none) naming the file.  Throws as the other
   * send_file(), and error(EINVAL) for an |offset| past the end.
   */
  void send_file(std::string_view path, std::string_view disposition,
                 std::uint64_t offset = 0, std::uint64_t max_size = 0,
                 unsigned int status = 200) {
    detail::cstr p(path), d(disposition);
    detail::check(
        ox_httpres_sendfile2(res_, 0, max_size, offset, p.get(),
                             disposition.empty() ? nullptr : d.get(), status),
        "ox_httpres_sendfile2");
    sent_ = true;
  }

  /**
   * Sends a body made by |reader| as the client takes it: |size| bytes,
   * or with |size| 0 chunked until the reader ends it.  |reader| is a
   * callable ssize_t(std::uint64_t offset, char *buf, std::size_t size)
   * that writes at most |size| bytes into |buf| (|offset| bytes were
   * delivered before) and returns how many, or end_of_stream() to end the
   * body, or stream_error() to break it off.  It is moved to the heap and
   * runs on the serving thread, after the handler returned, until the
   * stream ends; it is destroyed once, when the stream ends, the client
   * goes away or the server stops.  An exception of |reader| breaks the
   * stream and goes to the error sink.
   *
   * Throws error(EALREADY) for a second send, EINVAL, ENOMEM (|reader| is
   * then destroyed).
   */
  template <class Reader>
  void stream(Reader &&reader, std::uint64_t size = 0,
              unsigned int status = 200);

  /**
   * Answers with a push stream (ox_httpres_sendpush()): a chunked body of
   * |content_type| ("" for none) and |status| that the program writes
   * from any thread through the push_stream returned, until it ends it or
   * lets it go; no serving thread waits meanwhile.  |ping| ("" for none;
   * ": ping\n\n" for event streams) is written after each ping interval
   * without a write, so that a client who left is noticed.  Throws
   * error(EALREADY) for a second send, EINVAL for a bad type or status,
   * ENOMEM.
   */
  [[nodiscard]] push_stream push(std::string_view content_type,
                                 std::string_view ping = {},
                                 unsigned int status = 200) {
    detail::cstr type(content_type), p(ping);
    ox_push *made = nullptr;
    detail::check(
        ox_httpres_sendpush(res_, content_type.empty() ? nullptr : type.get(),
                            ping.empty() ? nullptr : p.get(), status, &made),
        "ox_httpres_sendpush");
    sent_ = true;
    return push_stream(made, srv_);
  }

  /** Adds the reply header |name|: |value|, besides others of that name. */
  void header(std::string_view name, std::string_view value) {
    detail::cstr n(name), v(value);
    detail::check(ox_strmap_add(ox_httpres_headers(res_), n.get(), v.get()),
                  "ox_strmap_add");
  }

  /** Gives the reply header |name| the single value |value|. */
  void set_header(std::string_view name, std::string_view value) {
    detail::cstr n(name), v(value);
    detail::check(ox_strmap_set(ox_httpres_headers(res_), n.get(), v.get()),
                  "ox_strmap_set");
  }

  /**
   * Sets the cookie |name| to |value| ("Set-Cookie: name=value; Path=/;
   * HttpOnly; SameSite=Lax").  Throws error(EINVAL) for bytes a cookie
   * cannot hold.
   */
  void cookie(std::string_view name, std::string_view value) {
    detail::cstr n(name), v(value);
    detail::check(ox_httpres_set_cookie(res_, n.get(), v.get()),
                  "ox_httpres_set_cookie");
  }

  /**
   * Sets the cookie |name| to |value| with the attributes |opts|
   * (ox_httpres_set_cookie2()).  Throws error(EINVAL) for bytes a cookie,
   * its path or its domain cannot hold, a negative max_age, an expires
   * before 1970 or after 9999, and the cookies browsers drop
   * (cookie_same_site::none without secure, a "__Secure-" or "__Host-"
   * name without what it requires); ENOMEM.  No header is added then.
   */
  void cookie(std::string_view name, std::string_view value,
              const cookie_options &opts) {
    detail::cstr n(name), v(value);
    detail::cookie_opts o(opts);
    detail::check(ox_httpres_set_cookie2(res_, n.get(), v.get(), o.get()),
                  "ox_httpres_set_cookie2");
  }

  /**
   * Ends the browser's cookie |name| (ox_httpres_delete_cookie()), set
   * with |opts|: its path and domain must be those it was set with.
   * Throws error(EINVAL) as cookie() does, ENOMEM.
   */
  void delete_cookie(std::string_view name,
                     const cookie_options &opts = cookie_options()) {
    detail::cstr n(name);
    detail::cookie_opts o(opts);
    detail::check(ox_httpres_delete_cookie(res_, n.get(), o.get()),
                  "ox_httpres_delete_cookie");
  }

  /** Returns the reply headers set so far. */
  strmap_view headers() const noexcept {
    ox_strmap **m = ox_httpres_headers(res_);
    return strmap_view(m != nullptr ? *m : nullptr);
  }

  /**
   * Returns true once a send of this object succeeded (a send through
   * native() is not seen).
   */
  bool sent() const noexcept { return sent_; }

  /**
   * Returns the status of the reply described so far, or 0 before any
   * send (ox_httpres_status()).
   */
  unsigned int status() const noexcept { return ox_httpres_status(res_); }

  /**
   * In an after hook (server::after()) only: replaces the body with |body|
   * (copied) of type |content_type|, keeping the status and the library's
   * own headers (ox_httpres_replace_body()).  Throws error(EALREADY)
   * elsewhere, EINVAL for a type with a control byte, ENOMEM.
   */
  void replace_body(std::string_view body,
                    std::string_view content_type = "text/plain") {
    detail::cstr type(content_type);
    detail::check(ox_httpres_replace_body(res_, body.data(), body.size(),
                                          type.get()),
                  "ox_httpres_replace_body");
  }

  /** Returns the C response. */
  ox_httpres *native() const noexcept { return res_; }

 private:
  ox_httpres *res_;
  ombrix::server *srv_;
  bool sent_ = false;
};

/** The value a stream reader returns to end its body. */
inline ssize_t end_of_stream() noexcept { return ox_eor(false); }
/** The value a stream reader returns to break its body off. */
inline ssize_t stream_error() noexcept { return ox_eor(true); }

/**
 * The Basic authentication of a request, handed to the authenticator of
 * server::authenticate().
 */
class auth {
 public:
  /** A view of the C record |a|; made by the server. */
  explicit auth(ox_httpauth *a) noexcept : auth_(a) {}
  auth(const auth &) = delete;
  auth &operator=(const auth &) = delete;

  /**
   * Returns true when the client sent well-formed Basic credentials (the
   * user name or the password may still be empty).
   */
  bool has_credentials() const noexcept {
    return ox_httpauth_usr(auth_) != nullptr;
  }
  /** Returns the user name sent, or an empty view. */
  std::string_view user() const noexcept {
    return detail::view(ox_httpauth_usr(auth_));
  }
  /** Returns the password sent, or an empty view. */
  std::string_view password() const noexcept {
    return detail::view(ox_httpauth_pwd(auth_));
  }

  /** Sets the realm of the challenge.  Throws error(EALREADY) the second time.
   */
  void realm(std::string_view name) {
    detail::cstr r(name);
    detail::check(ox_httpauth_set_realm(auth_, r.get()),
                  "ox_httpauth_set_realm");
  }
  /** Returns the realm set, or an empty view. */
  std::string_view realm() const noexcept {
    return detail::view(ox_httpauth_realm(auth_));
  }

  /**
   * Prepares the denial: |body| (up to a NUL byte) as |content_type| with
   * |status|; a 401 goes out as a Basic challenge naming the realm.  The
   * authenticator then returns false.  Throws error(EALREADY) when denied
   * already, EINVAL, ENOMEM.
   */
  void deny(std::string_view body, std::string_view content_type = "text/plain",
            unsigned int status = 401) {
    detail::cstr b(body), t(content_type);
    detail::check(ox_httpauth_deny2(auth_, b.get(), t.get(), status),
                  "ox_httpauth_deny2");
  }

  /**
   * Cancels the request: alone, the connection is closed without a reply;
   * with a denial, the library answers 500.
   */
  void cancel() {
    detail::check(ox_httpauth_cancel(auth_), "ox_httpauth_cancel");
  }

  /** Returns the C record. */
  ox_httpauth *native() const noexcept { return auth_; }

 private:
  ox_httpauth *auth_;
};

/**
 * The access-log record of a served request (a view of an ox_httplog),
 * valid during the server's access logger only: so are the views it
 * hands out.
 */
class access_record {
 public:
  /** A view of |rec|; made by the server for its access logger. */
  explicit access_record(ox_httplog *rec) noexcept : rec_(rec) {}
  access_record(const access_record &) = delete;
  access_record &operator=(const access_record &) = delete;

  /** Returns the method ("GET", ...). */
  std::string_view method() const noexcept {
    return detail::view(ox_httplog_method(rec_));
  }
  /** Returns the decoded path, without the query. */
  std::string_view path() const noexcept {
    return detail::view(ox_httplog_path(rec_));
  }
  /** Returns the target as the client sent it ("/notes?limit=2"). */
  std::string_view target() const noexcept {
    return detail::view(ox_httplog_target(rec_));
  }
  /**
   * Returns the first request header named |name| (any case), or an empty
   * view when there is none; read from the connection when asked.
   */
  std::string_view header(std::string_view name) const {
    detail::cstr n(name);
    return detail::view(ox_httplog_header(rec_, n.get()));
  }
  /** Returns the id request::set_log_id() gave, or an empty view. */
  std::string_view id() const noexcept {
    return detail::view(ox_httplog_id(rec_));
  }
  /** Returns the HTTP version ("HTTP/1.1"). */
  std::string_view version() const noexcept {
    return detail::view(ox_httplog_version(rec_));
  }
  /** Returns the status sent, or 0 when no reply went out. */
  unsigned int status() const noexcept { return ox_httplog_status(rec_); }
  /** Returns the body bytes sent, as ox_httplog_bytes() counts them. */
  std::uint64_t bytes() const noexcept { return ox_httplog_bytes(rec_); }
  /** Returns the time from the head's arrival to the end of the reply. */
  std::chrono::microseconds duration() const noexcept {
    return std::chrono::microseconds(ox_httplog_duration(rec_));
  }
  /** Returns when the head arrived. */
  std::chrono::system_clock::time_point time() const noexcept {
    return std::chrono::system_clock::from_time_t(ox_httplog_time(rec_));
  }
  /** Returns the client's address. */
  std::string_view peer() const noexcept {
    return detail::view(ox_httplog_peer(rec_));
  }
  /** Returns the Basic user name the request carried, or an empty view. */
  std::string_view user() const noexcept {
    return detail::view(ox_httplog_user(rec_));
  }
  /** Returns the C record. */
  ox_httplog *native() const noexcept { return rec_; }

 private:
  ox_httplog *rec_;
};

/** @cond ombrix_internal */
namespace detail {

constexpr char internal_error_text[] = "Internal Server Error\n";

// Writes "ombrix: exception in <context><method> <path>: <what>" into
// |text|, each part escaped and cut to fit; no allocation, as it runs where
// memory may have run out.
inline void exception_line(char (&text)[512], const char *context,
                           std::string_view method, std::string_view path,
                           const char *what) noexcept {
  // The method and path are views of the request's C strings.
  char m[32], p[200], w[200];
  ox_escape(method.empty() ? "" : method.data(), m, sizeof m);
  ox_escape(path.empty() ? "" : path.data(), p, sizeof p);
  ox_escape(what != nullptr ? what : "", w, sizeof w);
  std::snprintf(text, sizeof(text), "ombrix: exception in %s%s%s%s: %s",
                context, m, *m != '\0' ? " " : "", p, w);
}

// Calls |fn|(req, res) for the C request |creq|; see serve_failed().
template <class Fn>
void serve(ombrix::server &srv, Fn &fn, ox_httpreq *creq, ox_httpres *cres,
           const char *context) noexcept;

// An isolated callable, owned by the C library from ox_httpreq_isolate2()
// on: it runs it once and hands it back to |release_cb|, or hands it back
// unrun when the request is refused.
struct job {
  virtual ~job() = default;
  virtual void run(ox_httpreq *req, ox_httpres *res) noexcept = 0;
  static void run_cb(void *cls, ox_httpreq *req, ox_httpres *res) noexcept {
    static_cast<job *>(cls)->run(req, res);
  }
  static void release_cb(void *cls) noexcept { delete static_cast<job *>(cls); }
};

template <class Fn>
struct isolated_job final : job {
  template <class F>
  isolated_job(F &&f, ombrix::server &s) : fn(std::forward<F>(f)), srv(&s) {}
  void run(ox_httpreq *req, ox_httpres *res) noexcept override {
    serve(*srv, fn, req, res, "isolated ");
  }
  Fn fn;
  ombrix::server *srv;
};

// A body callable, owned by the C library from ox_httpreq_set_body_cb() on:
// it hands it back to |free_cb| when the request ends.
template <class Fn>
struct body_job {
  template <class F>
  body_job(F &&f, ombrix::server &s) : fn(std::forward<F>(f)), srv(&s) {}
  static int body_cb(void *cls, ox_httpreq *req, const void *data,
                     std::size_t size) noexcept;
  static void free_cb(void *cls) noexcept {
    delete static_cast<body_job *>(cls);
  }
  Fn fn;
  ombrix::server *srv;
};

template <class Reader>
struct stream_job {
  template <class R>
  stream_job(R &&r, ombrix::server &s) : reader(std::forward<R>(r)), srv(&s) {}
  static ssize_t read_cb(void *handle, std::uint64_t offset, char *buf,
                         std::size_t size) noexcept;
  static void free_cb(void *handle) noexcept {
    delete static_cast<stream_job *>(handle);
  }
  Reader reader;
  ombrix::server *srv;
};

}  // namespace detail
/** @endcond */

/** The line format of server::log_to(). */
enum class log_format {
  common,    ///< the Common Log Format
  combined,  ///< the Combined Log Format, and the log id when there is one
};

/** The kinds of WebSocket message. */
enum class ws_type { text = OX_WS_TEXT, binary = OX_WS_BINARY };

/**
 * A WebSocket connection (ox_ws): a handle any thread may keep and send
 * on, holding a reference of its own (ox_ws_ref()), so that it stays
 * valid after the connection closed (sends then return false).  Copies
 * name the same connection.
 */
class websocket {
 public:
  websocket() noexcept = default;
  /** A handle on |ws|, taking a reference. */
  explicit websocket(ox_ws *ws) noexcept : ws_(ox_ws_ref(ws)) {}
  /** Another handle on the same connection. */
  websocket(const websocket &other) noexcept : ws_(ox_ws_ref(other.ws_)) {}
  /** Takes over |other|'s reference. */
  websocket(websocket &&other) noexcept : ws_(other.ws_) {
    other.ws_ = nullptr;
  }
  /** Names the connection |other| names. */
  websocket &operator=(websocket other) noexcept {
    std::swap(ws_, other.ws_);
    return *this;
  }
  ~websocket() { ox_ws_unref(ws_); }

  /**
   * Sends |data| as one message (text: valid UTF-8).  Returns true once it
   * is written or queued; false when the connection is closing or closed,
   * or its queue is full (ox_httpsrv_set_ws_limits()).  Throws error
   * (EINVAL for text that is not UTF-8, ENOMEM).
   */
  bool send(std::string_view data, ws_type type = ws_type::text) const {
    int rc = ox_ws_send(ws_, data.data(), data.size(),
                        static_cast<ox_wstype>(type));
    if (rc == EPIPE || rc == ENOBUFS) return false;
    detail::check(rc, "ox_ws_send");
    return true;
  }
  /** send(|bytes|, ws_type::binary). */
  bool send_binary(std::string_view bytes) const {
    return send(bytes, ws_type::binary);
  }
  /**
   * Starts the close handshake with |code| (as ox_ws_close() allows) and
   * |reason| (at most 123 bytes of UTF-8).  Returns false when it is
   * closing or closed already; throws error(EINVAL) for a bad code or
   * reason.
   */
  bool close(unsigned int code = 1000, std::string_view reason = {}) const {
    int rc = ox_ws_close(ws_, code, detail::cstr(reason).get());
    if (rc == EPIPE) return false;
    detail::check(rc, "ox_ws_close");
    return true;
  }
  /** The subprotocol chosen, or "". */
  std::string_view protocol() const noexcept {
    return detail::view(ox_ws_protocol(ws_));
  }
  /** The client's address. */
  std::string_view peer() const noexcept {
    return detail::view(ox_ws_peer(ws_));
  }
  /** Bytes queued that the client has not taken yet. */
  std::size_t queued() const noexcept { return ox_ws_queued(ws_); }

  /** True when it names a connection. */
  explicit operator bool() const noexcept { return ws_ != nullptr; }
  /** True when both name the same connection. */
  bool operator==(const websocket &other) const noexcept {
    return ws_ == other.ws_;
  }
  /** True when they name different connections. */
  bool operator!=(const websocket &other) const noexcept {
    return ws_ != other.ws_;
  }
  /** Returns the C connection. */
  ox_ws *native() const noexcept { return ws_; }

 private:
  ox_ws *ws_ = nullptr;
};

/**
 * A group of WebSocket connections a message goes to at once
 * (ox_wsgroup): its frame is made once for all members.  A connection
 * leaves by itself when it closes.  Any thread may use it.
 */
class ws_group {
 public:
  /** Throws error(ENOMEM). */
  ws_group() : group_(ox_wsgroup_new()) {
    if (group_ == nullptr) throw error(ENOMEM, "ox_wsgroup_new");
  }
  ws_group(const ws_group &) = delete;
  ws_group &operator=(const ws_group &) = delete;
  /** Takes over |other|'s group. */
  ws_group(ws_group &&other) noexcept : group_(other.group_) {
    other.group_ = nullptr;
  }
  ~ws_group() { ox_wsgroup_free(group_); }

  /** Adds |ws|; false when it is a member already or closing. */
  bool join(const websocket &ws) {
    int rc = ox_wsgroup_join(group_, ws.native());
    if (rc == EEXIST || rc == EPIPE) return false;
    detail::check(rc, "ox_wsgroup_join");
    return true;
  }
  /** Takes |ws| out; false when it was no member. */
  bool leave(const websocket &ws) noexcept {
    return ox_wsgroup_leave(group_, ws.native()) == 0;
  }
  /** Sends |data| to every member but |except|.  Throws error (EINVAL for
   *  text that is not UTF-8, ENOMEM). */
  void send(std::string_view data, ws_type type = ws_type::text,
            const websocket &except = websocket()) const {
    detail::check(ox_wsgroup_send(group_, data.data(), data.size(),
                                  static_cast<ox_wstype>(type),
                                  except.native()),
                  "ox_wsgroup_send");
  }
  /** The members. */
  std::size_t size() const noexcept { return ox_wsgroup_size(group_); }
  /** Returns the C group. */
  ox_wsgroup *native() const noexcept { return group_; }

 private:
  ox_wsgroup *group_;
};

/**
 * What a WebSocket route (server::websocket()) does.  Each callable runs
 * on the connection's event loop, one at a time per connection, and must
 * not block; an exception it throws is told to the error sink, and one
 * from on_message closes the connection with 1011.
 */
struct ws_handlers {
  /** The connection opened; |req| is the upgrade request. */
  std::function<void(websocket &, request &)> on_open;
  /** A whole message; |data| is valid during the call. */
  std::function<void(websocket &, std::string_view data, ws_type)>
      on_message;
  /** The connection closed (ox_wshandlers::close says with what). */
  std::function<void(websocket &, unsigned int code, std::string_view reason)>
      on_close;
  /** Subprotocols, most preferred first. */
  std::vector<std::string> protocols;
  /** Origins whose pages may connect; empty: any. */
  std::vector<std::string> origins;
};

/**
 * An HTTP server (an owned ox_httpsrv) answered by C++ callables: routes
 * by method and path pattern, a fallback for the requests no route takes,
 * an optional authenticator and error sink.  Configure it, then listen();
 * the destructor stops it and waits until no callback runs.  Not copyable
 * nor movable: the library holds its address.
 *
 * Routes, settings and callables are set before listen(); afterwards they
 * throw error(EALREADY).  Handlers run on the serving threads, several at
 * once with a thread pool or a thread per connection, and must be safe to
 * run so.  Unlike a C server, which polls on one thread, a C++ server
 * serves with a pool of std::thread::hardware_concurrency() threads (at
 * least one; set_thread_pool_size() sets another count), so that one
 * slow handler does not hold up every client.  Each connection keeps one
 * thread of the pool, though: a handler that blocks (on a database, a
 * file, a lock) holds up the other connections of its thread.  Blocking
 * work goes to request::isolate(), which runs it on a pool of its own.
 *
 * The C server gets exactly the callbacks that were asked for: no
 * authentication callback without an authenticator, no request callback
 * without a fallback (the library then answers unrouted requests itself,
 * 404 "Not Found\n" as text/plain, before reading their body), and the
 * library's own error writer without an error sink.
 *
 * @code
 * ombrix::server srv;
 * srv.get("/notes/(?<id>[0-9]+)", [&](ombrix::request &req,
 *                                     ombrix::response &res) {
 *   std::optional<long> id = req.var_as<long>("id");
 *   res.send(book.find(*id), "application/json");
 * });
 * srv.post("/notes", [&](ombrix::request &req, ombrix::response &res) {
 *   res.set_header("Location", "/notes/" + book.add(req.payload()));
 *   res.send("", "", 201);
 * });
 * srv.cors({{"https://app.example.org"}});  // pages there may call it
 * srv.status_page(404, R"({"error":"not found"})", "application/json");
 * srv.listen(8080);                         // throws with the reason
 * // ... until SIGTERM:
 * srv.drain(std::chrono::seconds(5));
 * @endcode
 * The C++ guide (@ref cppguide) builds a whole service this way.
 */
class server {
 public:
  /** A request handler: any callable void(ombrix::request &, ombrix::response
   * &). */
  using handler = std::function<void(request &, response &)>;
  /**
   * An authenticator: any callable bool(ombrix::auth &, ombrix::request &,
   * ombrix::response &) that returns true to let the request through.
   */
  using authenticator = std::function<bool(auth &, request &, response &)>;
  /** An error sink: any callable void(std::string_view line). */
  using error_sink = std::function<void(std::string_view)>;
  /** An access logger: any callable void(const ombrix::access_record &). */
  using access_logger = std::function<void(const access_record &)>;
  /**
   * A before hook: any callable bool(ombrix::request &, ombrix::response
   * &) that returns true to let the request go on, or false once it sent
   * the answer itself.
   */
  using before_hook = std::function<bool(request &, response &)>;
  /** An after hook: any callable void(ombrix::request &, ombrix::response
   * &) that sees every reply before it goes out. */
  using after_hook = std::function<void(request &, response &)>;

  /** Cross-origin access for browsers; see cors(). */
  struct cors_options {
    /** Exact origins ("https://app.example.org"); "*" takes every one. */
    std::vector<std::string> origins;
    /** Asked when |origins| does not name the origin; any thread. */
    std::function<bool(std::string_view origin)> allow;
    /** Access-Control-Allow-Methods; empty: GET, HEAD, POST, PUT, PATCH,
     * DELETE. */
    std::string methods;
    /** Access-Control-Allow-Headers; empty: those a preflight asks for. */
    std::string headers;
    /** Access-Control-Expose-Headers; empty: none. */
    std::string expose;
    /** Cookies and Basic credentials may be sent. */
    bool credentials = false;
    /** How long a browser keeps a preflight's answer; 0: not at all. */
    std::chrono::seconds max_age{0};
  };

  /**
   * A server that answers 404 to every request until routes are added.
   * Throws error(ENOMEM).
   */
  server() : srv_(ox_httpsrv_new2(nullptr, nullptr, nullptr, this)) {
    if (!srv_) throw error(ENOMEM, "ox_httpsrv_new2");
    unsigned int cores = std::thread::hardware_concurrency();
    ox_httpsrv_set_thr_pool_size(srv_.get(), cores != 0 ? cores : 1);
  }
  server(const server &) = delete;
  server &operator=(const server &) = delete;

  /**
   * Adds a route: requests whose method is |method| (compared exactly;
   * "*" takes any) and whose path |pattern| matches whole go to |fn|, as
   * ox_httpsrv_add_route() says (first match wins, GET takes HEAD, 405
   * with Allow for a path matched for other methods only).
   * request::var() and request::capture() read its groups.  |fn| runs on
   * a serving thread, which its connection and others share: blocking
   * work goes to request::isolate().  Throws error(EINVAL) for an empty
   * method or a pattern that does not compile or has more than 16 groups,
   * EALREADY once listening, ENOTSUP, ENOMEM; the server is then as it
   * was.
   */
  void route(std::string_view method, std::string_view pattern, handler fn) {
    routes_.push_back(route_entry{this, std::move(fn)});
    route_entry *entry = &routes_.back();
    int rc = ox_httpsrv_add_route(srv_.get(), detail::cstr(method).get(),
                                  detail::cstr(pattern).get(), &route_cb,
                                  entry);
    if (rc != 0) {
      routes_.pop_back();
      check(rc, "ox_httpsrv_add_route");
    }
  }

  /**
   * Adds a WebSocket route: GET requests whose path |pattern| matches
   * whole are upgraded and served by |handlers|, as
   * ox_httpsrv_add_ws_route() says.  Throws as route() does, and
   * error(EINVAL) without on_message.
   */
  void websocket(std::string_view pattern, ws_handlers handlers) {
    ws_routes_.push_back(ws_entry{this, std::move(handlers), {}, {}});
    ws_entry *entry = &ws_routes_.back();
    for (const std::string &p : entry->h.protocols) {
      entry->protocols.push_back(p.c_str());
    }
    for (const std::string &o : entry->h.origins) {
      entry->origins.push_back(o.c_str());
    }
    entry->protocols.push_back(nullptr);
    entry->origins.push_back(nullptr);
    ox_wshandlers c{};
    c.open = &ws_open_cb;
    c.message = entry->h.on_message ? &ws_message_cb : nullptr;
    c.close = &ws_close_cb;
    c.protocols = entry->h.protocols.empty() ? nullptr
                                             : entry->protocols.data();
    c.origins = entry->h.origins.empty() ? nullptr : entry->origins.data();
    int rc = ox_httpsrv_add_ws_route(srv_.get(), detail::cstr(pattern).get(),
                                     &c, entry);
    if (rc != 0) {
      ws_routes_.pop_back();
      check(rc, "ox_httpsrv_add_ws_route");
    }
  }
  /** ox_httpsrv_set_ws_limits(). */
  void set_ws_limits(std::size_t message_max, std::size_t queue_max,
                     ox_wsfull when_full = OX_WSFULL_REFUSE) {
    apply_setter(&ox_httpsrv_set_ws_limits, "ox_httpsrv_set_ws_limits",
                 message_max, queue_max, when_full);
  }
  /** ox_httpsrv_set_ws_timeouts(). */
  void set_ws_timeouts(unsigned int ping_interval, unsigned int idle_timeout) {
    apply_setter(&ox_httpsrv_set_ws_timeouts, "ox_httpsrv_set_ws_timeouts",
                 ping_interval, idle_timeout);
  }
  /** ox_httpsrv_set_ws_deflate(). */
  void set_ws_deflate(bool on = true) {
    apply_setter(&ox_httpsrv_set_ws_deflate, "ox_httpsrv_set_ws_deflate", on);
  }

  /**
   * route("GET", |pattern|, |fn|): GET, and HEAD with the body left out.
   * Blocking work in |fn| goes to request::isolate().
   */
  void get(std::string_view pattern, handler fn) {
    route("GET", pattern, std::move(fn));
  }
  /**
   * route("HEAD", |pattern|, |fn|): a HEAD route before a GET one.
   * Blocking work in |fn| goes to request::isolate().
   */
  void head(std::string_view pattern, handler fn) {
    route("HEAD", pattern, std::move(fn));
  }
  /**
   * route("POST", |pattern|, |fn|).  Blocking work in |fn| goes to
   * request::isolate().
   */
  void post(std::string_view pattern, handler fn) {
    route("POST", pattern, std::move(fn));
  }
  /**
   * route("PUT", |pattern|, |fn|).  Blocking work in |fn| goes to
   * request::isolate().
   */
  void put(std::string_view pattern, handler fn) {
    route("PUT", pattern, std::move(fn));
  }
  /**
   * route("PATCH", |pattern|, |fn|).  Blocking work in |fn| goes to
   * request::isolate().
   */
  void patch(std::string_view pattern, handler fn) {
    route("PATCH", pattern, std::move(fn));
  }
  /**
   * route("DELETE", |pattern|, |fn|) (delete is a C++ keyword).  Blocking
   * work in |fn| goes to request::isolate().
   */
  void del(std::string_view pattern, handler fn) {
    route("DELETE", pattern, std::move(fn));
  }
  /**
   * route("OPTIONS", |pattern|, |fn|).  Blocking work in |fn| goes to
   * request::isolate().
   */
  void options(std::string_view pattern, handler fn) {
    route("OPTIONS", pattern, std::move(fn));
  }

  /**
   * Answers with |fn| the requests that no route takes (by path: a path
   * matched for another method gets 405 all the same).  An empty |fn|
   * brings back the library's 404.  A fallback that returns without a
   * send leaves the library to answer 500 and to tell the error sink.
   * Blocking work in |fn| goes to request::isolate(), as in a route.
   */
  void fallback(handler fn) {
    set_callback(fallback_, std::move(fn), &ox_httpsrv_set_req_cb,
                 &fallback_cb, "ox_httpsrv_set_req_cb");
  }

  /**
   * Runs |fn| before any handler for every request, on the head, before
   * the body is read: true lets the request through; false sends the
   * denial that auth::deny() prepared, or closes the connection without
   * one.  An empty |fn| removes authentication.
   */
  void authenticate(authenticator fn) {
    set_callback(auth_, std::move(fn), &ox_httpsrv_set_auth_cb, &auth_cb,
                 "ox_httpsrv_set_auth_cb");
  }

  /**
   * Sends the server's error lines to |fn| instead of standard error:
   * the library's ("ombrix: cannot listen on port 80: Permission denied",
   * "ombrix: 127.0.0.1:53412: no reply to GET /x"), those of
   * libmicrohttpd under it, and those of exceptions caught around
   * handlers ("ombrix: exception in GET /boom: boom"), in the form
   * ox_err_cb describes: no newline at the end.  |fn| runs on serving
   * threads, several at once with a pool; its own exceptions are dropped.
   * An empty |fn| brings back standard error.
   */
  void on_error(error_sink fn) {
    set_callback(sink_, std::move(fn), &ox_httpsrv_set_err_cb, &error_cb,
                 "ox_httpsrv_set_err_cb");
  }

  /**
   * Serves with a pool of |size| threads (0 or 1: one polling thread), in
   * place of the default, std::thread::hardware_concurrency() threads.
   */
  void set_thread_pool_size(unsigned int size) {
    apply_setter(&ox_httpsrv_set_thr_pool_size, "ox_httpsrv_set_thr_pool_size",
                 size);
  }
  /** Accepts at most |limit| connections at once (0: the default, 1000). */
  void set_connection_limit(unsigned int limit) {
    apply_setter(&ox_httpsrv_set_con_limit, "ox_httpsrv_set_con_limit", limit);
  }
  /** Sets each connection's memory (default 40 KiB); error(EINVAL) below 4 KiB.
   */
  void set_connection_memory_limit(std::size_t bytes) {
    apply_setter(&ox_httpsrv_set_con_mem_limit, "ox_httpsrv_set_con_mem_limit",
                 bytes);
  }
  /** Closes connections idle for |seconds| (0: never; default 60). */
  void set_connection_timeout(unsigned int seconds) {
    apply_setter(&ox_httpsrv_set_con_timeout, "ox_httpsrv_set_con_timeout",
                 seconds);
  }
  /** Gives a request head |seconds| to arrive (0: no deadline; default 10). */
  void set_head_timeout(unsigned int seconds) {
    apply_setter(&ox_httpsrv_set_head_timeout, "ox_httpsrv_set_head_timeout",
                 seconds);
  }
  /**
   * Gives a body |seconds|, plus one for every |min_rate| bytes received
   * (defaults 10 s and 1024 bytes/s).
   */
  void set_body_timeout(unsigned int seconds, unsigned int min_rate = 1024) {
    apply_setter(&ox_httpsrv_set_body_timeout, "ox_httpsrv_set_body_timeout",
                 seconds, min_rate);
  }
  /** Caps the connections of one client address (0: no cap; the default). */
  void set_connections_per_address(unsigned int limit) {
    apply_setter(&ox_httpsrv_set_con_per_ip_limit,
                 "ox_httpsrv_set_con_per_ip_limit", limit);
  }
  /** Sets the largest body held in memory (default 8 MiB); more is 413. */
  void set_payload_limit(std::size_t bytes) {
    apply_setter(&ox_httpsrv_set_payld_limit, "ox_httpsrv_set_payld_limit",
                 bytes);
  }
  /** Sets the uploaded file bytes one request may carry (default 1 GiB). */
  void set_uploads_limit(std::uint64_t bytes) {
    apply_setter(&ox_httpsrv_set_uplds_limit, "ox_httpsrv_set_uplds_limit",
                 bytes);
  }
  /** Sets the form fields one request may carry (default 1000). */
  void set_fields_limit(unsigned int count) {
    apply_setter(&ox_httpsrv_set_fields_limit, "ox_httpsrv_set_fields_limit",
                 count);
  }
  /** Sets the files one request may upload (default 100; 0 refuses uploads). */
  void set_files_limit(unsigned int count) {
    apply_setter(&ox_httpsrv_set_files_limit, "ox_httpsrv_set_files_limit",
                 count);
  }
  /**
   * Runs isolated requests on at most |threads| threads with |queue| more
   * waiting (defaults 64 and 256); error(EINVAL) for 0 threads.
   */
  void set_isolate_limits(unsigned int threads, unsigned int queue) {
    apply_setter(&ox_httpsrv_set_isolate_limits,
                 "ox_httpsrv_set_isolate_limits", threads, queue);
  }
  /** Sets the upload directory (default $TMPDIR, or /tmp); error(EINVAL) for
   * "". */
  void set_upload_dir(std::string_view dir) {
    apply_setter(&ox_httpsrv_set_upld_dir, "ox_httpsrv_set_upld_dir", dir);
  }

  /**
   * Gzips replies at |level| (1..9; 0, the default, never) for clients
   * that accept it (ox_httpsrv_set_compression()); error(EINVAL) for
   * another level.
   */
  void set_compression(int level) {
    apply_setter(&ox_httpsrv_set_compression, "ox_httpsrv_set_compression",
                 level);
  }
  /**
   * Gives files ending in "." |ext| the Content-Type |type|
   * (ox_httpsrv_set_mime()); error(EINVAL) for a bad extension or "".
   */
  void set_mime(std::string_view ext, std::string_view type) {
    apply_setter(&ox_httpsrv_set_mime, "ox_httpsrv_set_mime", ext, type);
  }
  /**
   * Returns the Content-Type the server gives the file |path|
   * (ox_httpsrv_mime()); the text stays valid until the next setting.
   */
  std::string_view mime(std::string_view path) const {
    detail::cstr p(path);
    return detail::view(ox_httpsrv_mime(srv_.get(), p.get()));
  }

  /**
   * Serves HTTPS with the PEM certificate chain and private key in these
   * files (|key_password| for an encrypted key; empty: none), as
   * ox_httpsrv_set_tls() says: checked now, TLS 1.2 and 1.3.  Throws
   * error(EINVAL) for a key that does not match or files that are no PEM,
   * EACCES for a wrong password, the
   * errno of reading a file, ENOTSUP, EALREADY; what() says why.
   */
  void set_tls(std::string_view cert_file, std::string_view key_file,
               std::string_view key_password = {}) {
    set_tls_with(&ox_httpsrv_set_tls, cert_file, key_file, key_password,
                 "ox_httpsrv_set_tls");
  }

  /**
   * Serves only clients whose certificate chains to a CA certificate in
   * the PEM file |ca_file| (others get 403), as
   * ox_httpsrv_set_tls_client_ca() says; needs set_tls() too.  Throws
   * error(EINVAL) for a file without a certificate, the errno of reading
   * it, EALREADY.
   */
  void set_tls_client_ca(std::string_view ca_file) {
    apply_setter(&ox_httpsrv_set_tls_client_ca, "ox_httpsrv_set_tls_client_ca",
                 ca_file);
  }

  /** As set_tls(), with the PEM texts themselves. */
  void set_tls_pem(std::string_view cert_pem, std::string_view key_pem,
                   std::string_view key_password = {}) {
    set_tls_with(&ox_httpsrv_set_tls_mem, cert_pem, key_pem, key_password,
                 "ox_httpsrv_set_tls_mem");
  }

  /**
   * Adds the pair the clients asking for |host| get (SNI; "*.example.org"
   * for a wildcard), as ox_httpsrv_set_tls_sni() says.  Like set_tls(),
   * it may be called again while serving to replace the pair.  Throws as
   * set_tls() does, and error(EINVAL) for a |host| that is no DNS name.
   */
  void set_tls_sni(std::string_view host, std::string_view cert_file,
                   std::string_view key_file,
                   std::string_view key_password = {}) {
    detail::cstr p(key_password);
    check(ox_httpsrv_set_tls_sni(srv_.get(), detail::cstr(host).get(),
                                 detail::cstr(cert_file).get(),
                                 detail::cstr(key_file).get(),
                                 key_password.empty() ? nullptr : p.get()),
          "ox_httpsrv_set_tls_sni");
  }

  /** Counts metrics (ox_httpsrv_set_metrics()); before listen(). */
  void set_metrics(bool on = true) {
    apply_setter(&ox_httpsrv_set_metrics, "ox_httpsrv_set_metrics", on);
  }

  /**
   * Returns the metrics in Prometheus' text format (ox_httpsrv_metrics());
   * any thread, any time.  Throws error(ENOMEM).
   */
  std::string metrics() const {
    str out;
    check(ox_httpsrv_metrics(srv_.get(), out.native()), "ox_httpsrv_metrics");
    return std::string(out.view());
  }

  /**
   * Serves the metrics at |path| and turns them on
   * (ox_httpsrv_add_metrics_route()).  Throws error(EINVAL) for a path
   * without its leading slash, EALREADY once listening.
   */
  void add_metrics_route(std::string_view path) {
    apply_setter(&ox_httpsrv_add_metrics_route, "ox_httpsrv_add_metrics_route",
                 path);
  }

  /**
   * Answers 200 "ready" at |path| while serving, 503 "not ready" once a
   * drain began or set_ready(false) (ox_httpsrv_add_ready_route()).
   */
  void add_ready_route(std::string_view path) {
    apply_setter(&ox_httpsrv_add_ready_route, "ox_httpsrv_add_ready_route",
                 path);
  }

  /** Says what the ready route answers (ox_httpsrv_set_ready()). */
  void set_ready(bool ready) noexcept {
    ox_httpsrv_set_ready(srv_.get(), ready);
  }

  /**
   * Listens on |addr| instead of every address of both families: an
   * address literal ("127.0.0.1", "::1"), or a host name ("localhost")
   * resolved now, whose every address is listened on
   * (ox_httpsrv_set_bind_addr()).  Throws error(EINVAL) for a text that is
   * neither, ENOENT for a name that does not resolve, EAGAIN when the
   * resolver failed for now, EALREADY once listening.
   */
  void set_bind_address(std::string_view addr) {
    apply_setter(&ox_httpsrv_set_bind_addr, "ox_httpsrv_set_bind_addr", addr);
  }

  /**
   * Returns the addresses the server listens on, with their port and apart
   * by one space: "127.0.0.1:8080 [::1]:8080" (ox_httpsrv_bound_addrs()).
   * Throws error(EINVAL) before listen() or after a drain.
   */
  std::string bound_addresses() const {
    char text[512];
    detail::check(ox_httpsrv_bound_addrs(srv_.get(), text, sizeof text),
                  "ox_httpsrv_bound_addrs");
    return text;
  }

  /** Lets other processes listen on the same port (SO_REUSEPORT). */
  void set_reuse_port(bool reuse = true) {
    apply_setter(&ox_httpsrv_set_reuse_port, "ox_httpsrv_set_reuse_port",
                 reuse);
  }

  /**
   * Runs |fn| on each request's head, after authentication and routing and
   * before the body is read (ox_httpsrv_set_before()): it returns true to
   * let the request go on, or false once it answered through the response
   * (a body that was coming is then never read).  False without a send is
   * answered 500; an exception is told to the error sink and answered 500.
   * It runs on the serving thread: no blocking work there.  An empty |fn|
   * removes the hook.  Before listen().
   */
  void before(before_hook fn) {
    check(ox_httpsrv_set_before(srv_.get(), fn ? &before_cb : nullptr, this),
          "ox_httpsrv_set_before");
    before_ = std::move(fn);
  }

  /**
   * Runs |fn| on every reply just before it goes out, the library's own
   * 404, 405, 413 and 500 included (ox_httpsrv_set_after()): it may read
   * response::status(), add or change headers and replace_body().  Its
   * exceptions go to the error sink and leave the reply as it was.  An
   * empty |fn| removes the hook.  Before listen().
   */
  void after(after_hook fn) {
    check(ox_httpsrv_set_after(srv_.get(), fn ? &after_cb : nullptr, this),
          "ox_httpsrv_set_after");
    after_ = std::move(fn);
  }

  /**
   * Serves browsers of the origins |opts| allows (ox_httpsrv_set_cors()):
   * preflights are answered for every path without an OPTIONS route, and
   * every reply to an allowed origin carries Access-Control-Allow-Origin.
   * Throws error(EINVAL) when |opts| allows no origin or holds a text with
   * a control byte, EALREADY once listening.
   */
  void cors(cors_options opts) {
    std::vector<const char *> list;
    for (const std::string &o : opts.origins) list.push_back(o.c_str());
    list.push_back(nullptr);
    ox_cors c{};
    c.origins = opts.origins.empty() ? nullptr : list.data();
    c.origin_cb = opts.allow ? &cors_allow_cb : nullptr;
    c.origin_cls = this;
    c.methods = opts.methods.empty() ? nullptr : opts.methods.c_str();
    c.headers = opts.headers.empty() ? nullptr : opts.headers.c_str();
    c.expose = opts.expose.empty() ? nullptr : opts.expose.c_str();
    c.credentials = opts.credentials;
    auto age = opts.max_age.count();
    c.max_age = age <= 0 ? 0u : static_cast<unsigned int>(age);
    check(ox_httpsrv_set_cors(srv_.get(), &c), "ox_httpsrv_set_cors");
    cors_allow_ = std::move(opts.allow);
  }

  /**
   * Makes |body| of type |content_type| the page of every reply the library
   * makes itself with |status| (400 to 599, and 301), as
   * ox_httpsrv_set_status_page() says.  Throws error(EINVAL) for another
   * status, EALREADY once listening.
   */
  void status_page(unsigned int status, std::string_view body,
                   std::string_view content_type = "text/html") {
    apply_setter(&ox_httpsrv_set_status_page, "ox_httpsrv_set_status_page",
                 status, body, content_type);
  }

  /**
   * Writes an access log to |out| (stdout, say), a line per request, in
   * the Common Log Format (ox_httplog_clf()) or the Combined one
   * (ox_httplog_combined(): Referer, User-Agent and the request's log id).
   * NULL: no log.
   */
  void log_to(std::FILE *out, log_format format = log_format::common) {
    ox_httplog_cb writer = format == log_format::combined
                               ? &ox_httplog_combined
                               : &ox_httplog_clf;
    apply_setter(&ox_httpsrv_set_log, "ox_httpsrv_set_log",
                 out != nullptr ? writer : nullptr, out);
  }

  /**
   * Hands each served request's record to |fn|, on the serving threads
   * (several at once with a pool); its exceptions go to the error sink.
   * An empty |fn|: no log.
   */
  void on_access(access_logger fn) {
    check(ox_httpsrv_set_log(srv_.get(), fn ? &access_cb : nullptr, this),
          "ox_httpsrv_set_log");
    access_ = std::move(fn);
  }

  /**
   * Stops the server gently (ox_httpsrv_drain()): new clients are refused,
   * requests in flight get |timeout| to finish, the rest are cut off.
   * Returns how many requests were cut.  Afterwards the server serves no
   * more.  Throws error(EINVAL) when it does not listen (or was drained).
   * Several servers drain together, with one deadline, through
   * ombrix::drain().
   */
  unsigned int drain(std::chrono::milliseconds timeout) {
    auto ms = timeout.count() < 0 ? 0 : timeout.count();
    unsigned int cut = 0;
    check(ox_httpsrv_drain(srv_.get(), static_cast<unsigned int>(ms), &cut),
          "ox_httpsrv_drain");
    return cut;
  }

  /**
   * Starts serving on |port| (0: one the system picks) and returns at
   * once; with |thread_per_connection| every connection gets a thread of
   * its own, otherwise one polling thread or the pool serves all.
   *
   * Throws the error of ox_httpsrv_listen2(): EADDRINUSE for a port in
   * use, EACCES, EALREADY when listening already (or drained), ...; its
   * what() says why ("ox_httpsrv_listen2: cannot listen on port 8080:
   * Address already in use"), which the error sink is told too.
   */
  void listen(std::uint16_t port, bool thread_per_connection = false) {
    check(ox_httpsrv_listen2(srv_.get(), port, thread_per_connection),
          "ox_httpsrv_listen2");
  }

  /** Returns the bound port (0 before listen()). */
  std::uint16_t port() const noexcept { return ox_httpsrv_port(srv_.get()); }

  /** Returns the upload directory. */
  std::string_view upload_dir() const noexcept {
    return detail::view(ox_httpsrv_upld_dir(srv_.get()));
  }

  /**
   * Hands |line| (in the library's form: "ombrix: ...", no newline) to
   * the error sink: the callable of on_error(), or standard error, where
   * it is written with a newline and flushed as the library writes it.
   * Safe from any thread; never throws.
   */
  void report(std::string_view line) const noexcept {
    if (sink_) {
      try {
        sink_(line);
      } catch (...) {
        // The sink is where failures go; one of its own has nowhere left.
      }
      return;
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }

  /** Returns the C server. */
  ox_httpsrv *native() const noexcept { return srv_.get(); }

 private:
  friend class request;

  struct route_entry {
    server *owner;
    handler fn;
  };
  struct ws_entry {
    server *owner;
    ws_handlers h;
    std::vector<const char *> protocols;  // NULL-terminated views of |h|'s
    std::vector<const char *> origins;
  };
  // Runs |fn| for a WebSocket callback of |entry|; false when it threw
  // (told to the error sink).
  template <class Fn>
  static bool ws_run(ws_entry *entry, const char *what, Fn &&fn) noexcept {
    try {
      fn();
      return true;
    } catch (const std::exception &e) {
      entry->owner->ws_report(what, e.what());
    } catch (...) {
      entry->owner->ws_report(what, "unknown exception");
    }
    return false;
  }
  void ws_report(const char *what, const char *text) const noexcept {
    char line[512];
    std::snprintf(line, sizeof line, "ombrix: exception in the WebSocket %s "
                  "callback: %s", what, text);
    report(line);
  }
  static void ws_open_cb(void *cls, ox_ws *ws, ox_httpreq *creq) noexcept {
    auto *entry = static_cast<ws_entry *>(cls);
    if (!entry->h.on_open) return;
    class websocket w(ws);
    request req(creq, *entry->owner);
    if (!ws_run(entry, "open", [&] { entry->h.on_open(w, req); })) {
      ox_ws_close(ws, 1011, "internal error");
    }
  }
  static void ws_message_cb(void *cls, ox_ws *ws, const void *data,
                            std::size_t size, ox_wstype type) noexcept {
    auto *entry = static_cast<ws_entry *>(cls);
    class websocket w(ws);
    std::string_view payload(static_cast<const char *>(data), size);
    if (!ws_run(entry, "message", [&] {
          entry->h.on_message(w, payload, static_cast<ws_type>(type));
        })) {
      ox_ws_close(ws, 1011, "internal error");
    }
  }
  static void ws_close_cb(void *cls, ox_ws *ws, unsigned int code,
                          const char *reason) noexcept {
    auto *entry = static_cast<ws_entry *>(cls);
    if (!entry->h.on_close) return;
    class websocket w(ws);
    ws_run(entry, "close",
           [&] { entry->h.on_close(w, code, detail::view(reason)); });
  }
  struct srv_free {
    void operator()(ox_httpsrv *s) const noexcept { ox_httpsrv_free(s); }
  };

  static void route_cb(void *cls, ox_httpreq *req, ox_httpres *res) noexcept {
    auto *entry = static_cast<route_entry *>(cls);
    detail::serve(*entry->owner, entry->fn, req, res, "");
  }
  static void fallback_cb(void *cls, ox_httpreq *req,
                          ox_httpres *res) noexcept {
    auto *self = static_cast<server *>(cls);
    detail::serve(*self, self->fallback_, req, res, "");
  }
  static bool auth_cb(void *cls, ox_httpauth *a, ox_httpreq *req,
                      ox_httpres *res) noexcept;
  static void error_cb(void *cls, const char *line) noexcept {
    static_cast<server *>(cls)->report(detail::view(line));
  }
  static void access_cb(void *cls, ox_httplog *rec) noexcept {
    auto *self = static_cast<server *>(cls);
    access_record record(rec);
    try {
      self->access_(record);
    } catch (...) {
      self->report("ombrix: exception in the access logger");
    }
  }

  static bool before_cb(void *cls, ox_httpreq *creq,
                        ox_httpres *cres) noexcept;
  static void after_cb(void *cls, ox_httpreq *creq, ox_httpres *cres) noexcept;
  static bool cors_allow_cb(void *cls, const char *origin) noexcept {
    auto *self = static_cast<server *>(cls);
    try {
      return self->cors_allow_(detail::view(origin));
    } catch (...) {
      self->report("ombrix: exception in the CORS origin check");
      return false;
    }
  }

  // Throws the error a C call on this server returned, with the reason the
  // server recorded for it (none when the record is another failure's).
  void check(int rc, const char *context) const {
    if (rc == 0) return;
    char why[512];
    bool recorded = ox_httpsrv_last_error(srv_.get(), why, sizeof why) == rc;
    throw error(rc, context, recorded ? why : nullptr);
  }

  using tls_setter = int (*)(ox_httpsrv *, const char *, const char *,
                             const char *);
  void set_tls_with(tls_setter set, std::string_view a, std::string_view b,
                    std::string_view pwd, const char *context) {
    detail::cstr p(pwd);
    check(set(srv_.get(), detail::cstr(a).get(), detail::cstr(b).get(),
              pwd.empty() ? nullptr : p.get()),
          context);
  }

  // A setting that is one C setter taking values and texts: the texts
  // handed on as C strings, the values converted to the setter's own types.
  template <class... Params, class... Args>
  void apply_setter(int (*setter)(ox_httpsrv *, Params...) noexcept,
                    const char *context, Args... args) {
    check(setter(srv_.get(),
                 static_cast<Params>(detail::setter_arg<Args>(args).get())...),
          context);
  }

  // Stores |fn| in |slot| and gives the C server |cb| for it, or none for
  // an empty |fn|; on failure |slot| is as it was.
  template <class Fn, class Cb>
  void set_callback(Fn &slot, Fn fn, int (*setter)(ox_httpsrv *, Cb) noexcept,
                    typename std::common_type<Cb>::type cb,
                    const char *context) {
    check(setter(srv_.get(), fn ? cb : nullptr), context);
    slot = std::move(fn);
  }

  // Everything a callback of the C server reaches is declared before
  // |srv_|, which is destroyed first: ox_httpsrv_free() returns only once
  // no callback runs, and only then do these go.
  std::list<route_entry> routes_;  // stable addresses: each is a route's cls
  std::list<ws_entry> ws_routes_;  // likewise
  handler fallback_;
  authenticator auth_;
  before_hook before_;
  after_hook after_;
  std::function<bool(std::string_view)> cors_allow_;
  error_sink sink_;
  access_logger access_;
  std::unique_ptr<ox_httpsrv, srv_free> srv_;
};

/** @cond ombrix_internal */
namespace detail {

// Runs |fn|() for the request |req|; true when it returned.  When it
// throws, the error sink gets "ombrix: exception in <context><method>
// <path>: <what>" and the result is false.
template <class Fn>
bool run_reporting(ombrix::server &srv, const char *context, request &req,
                   Fn &&fn) noexcept {
  char text[512];
  try {
    fn();
    return true;
  } catch (const std::exception &e) {
    exception_line(text, context, req.method(), req.path(), e.what());
  } catch (...) {
    exception_line(text, context, req.method(), req.path(),
                   "unknown exception");
  }
  srv.report(text);
  return false;
}

// What a handler leaves when it throws: the line for the error sink, and a
// 500 unless it sent a reply or isolated the request.
inline void serve_failed(ombrix::server &srv, request &req, response &res,
                         const char *context, const char *what) noexcept {
  char text[512];
  exception_line(text, context, req.method(), req.path(), what);
  srv.report(text);
  if (res.sent() || req.isolated()) return;
  ox_httpres *cres = res.native();
  if (ox_httpres_sendbinary(cres, internal_error_text,
                            sizeof(internal_error_text) - 1, "text/plain",
                            500) == 0) {
    // The failed handler's headers (a cookie, say) stay out of the 500.
    ox_strmap_cleanup(ox_httpres_headers(cres));
  }
}

template <class Fn>
void serve(ombrix::server &srv, Fn &fn, ox_httpreq *creq, ox_httpres *cres,
           const char *context) noexcept {
  request req(creq, srv);
  response res(cres, srv);
  try {
    fn(req, res);
  } catch (const std::exception &e) {
    serve_failed(srv, req, res, context, e.what());
  } catch (...) {
    serve_failed(srv, req, res, context, "unknown exception");
  }
}

// The errno code a system error from a body callable stops the body
// with: its own in the generic category (E2BIG and EBADMSG tell the
// status); anything else is a 500.
inline int body_abort_code(const std::system_error &e) noexcept {
  const std::error_code &code = e.code();
  return code.category() == std::generic_category() && code.value() != 0
             ? code.value()
             : EIO;
}

template <class Fn>
int body_job<Fn>::body_cb(void *cls, ox_httpreq *req, const void *data,
                          std::size_t size) noexcept {
  auto *job = static_cast<body_job *>(cls);
  const char *context = "the body reader of ";
  std::string_view method = view(ox_httpreq_method(req));
  std::string_view path = view(ox_httpreq_path(req));
  char text[512];
  int code = EIO;
  try {
    job->fn(std::string_view(static_cast<const char *>(data), size));
    return 0;
  } catch (const std::system_error &e) {
    exception_line(text, context, method, path, e.what());
    code = body_abort_code(e);
  } catch (const std::exception &e) {
    exception_line(text, context, method, path, e.what());
  } catch (...) {
    exception_line(text, context, method, path, "unknown exception");
  }
  job->srv->report(text);
  return code;
}

template <class Reader>
ssize_t stream_job<Reader>::read_cb(void *handle, std::uint64_t offset,
                                    char *buf, std::size_t size) noexcept {
  auto *job = static_cast<stream_job *>(handle);
  char text[512];
  try {
    return static_cast<ssize_t>(job->reader(offset, buf, size));
  } catch (const std::exception &e) {
    exception_line(text, "a stream reader", {}, {}, e.what());
  } catch (...) {
    exception_line(text, "a stream reader", {}, {}, "unknown exception");
  }
  job->srv->report(text);
  return ox_eor(true);
}

inline void gone_job::run_cb(void *cls) noexcept {
  auto *job = static_cast<gone_job *>(cls);
  ombrix::server *srv = job->srv;
  char text[512];
  try {
    // Moved out first: the callable may destroy its stream, and this job
    // with it.
    std::function<void()> fn = std::move(job->fn);
    if (fn) fn();
    return;
  } catch (const std::exception &e) {
    exception_line(text, "a push stream's gone callable", {}, {}, e.what());
  } catch (...) {
    exception_line(text, "a push stream's gone callable", {}, {},
                   "unknown exception");
  }
  if (srv != nullptr) srv->report(text);
}

}  // namespace detail
/** @endcond */

inline void push_stream::on_gone(std::function<void()> fn) {
  if (push_ == nullptr) return;
  if (!fn) {
    ox_push_on_gone(push_, nullptr, nullptr);
    return;
  }
  auto job = std::make_unique<detail::gone_job>();
  job->fn = std::move(fn);
  job->srv = srv_;
  job->replaced = std::move(gone_);
  gone_ = std::move(job);
  // The callable may run at once and destroy this object: nothing of it
  // is touched after the call.
  ox_push_on_gone(push_, &detail::gone_job::run_cb, gone_.get());
}

template <class Fn>
void request::isolate(Fn &&fn) {
  using job_type = detail::isolated_job<std::decay_t<Fn>>;
  auto *job = new job_type(std::forward<Fn>(fn), *srv_);
  // The library owns the job from here, and releases it even on failure.
  int rc = ox_httpreq_isolate2(req_, &detail::job::run_cb, job,
                               &detail::job::release_cb);
  if (rc != 0) throw error(rc, "ox_httpreq_isolate2");
  isolated_ = true;
}

template <class Fn>
void request::on_body(Fn &&fn) {
  using job_type = detail::body_job<std::decay_t<Fn>>;
  auto *job = new job_type(std::forward<Fn>(fn), *srv_);
  // The library owns the job from here, and releases it even on failure.
  detail::check(ox_httpreq_set_body_cb(req_, &job_type::body_cb, job,
                                       &job_type::free_cb),
                "ox_httpreq_set_body_cb");
}

template <class Reader>
void response::stream(Reader &&reader, std::uint64_t size,
                      unsigned int status) {
  using job_type = detail::stream_job<std::decay_t<Reader>>;
  auto *job = new job_type(std::forward<Reader>(reader), *srv_);
  // The C function owns |job| from here, and frees it even when it fails.
  detail::check(ox_httpres_sendstream(res_, size, &job_type::read_cb, job,
                                      &job_type::free_cb, status),
                "ox_httpres_sendstream");
  sent_ = true;
}

inline bool server::auth_cb(void *cls, ox_httpauth *a, ox_httpreq *creq,
                            ox_httpres *cres) noexcept {
  auto *self = static_cast<server *>(cls);
  auth au(a);
  request req(creq, *self);
  response res(cres, *self);
  bool pass = false;
  if (detail::run_reporting(*self, "authentication of ", req,
                            [&] { pass = self->auth_(au, req, res); })) {
    return pass;
  }
  // A 500 in place of the request; after a denial of the authenticator's
  // own, a cancel drops that denial and the library answers 500 instead.
  if (ox_httpauth_deny2(a, detail::internal_error_text, "text/plain", 500) !=
      0) {
    ox_httpauth_cancel(a);
  }
  return false;
}

inline bool server::before_cb(void *cls, ox_httpreq *creq,
                              ox_httpres *cres) noexcept {
  auto *self = static_cast<server *>(cls);
  request req(creq, *self);
  response res(cres, *self);
  bool pass = false;
  if (detail::run_reporting(*self, "the before hook of ", req,
                            [&] { pass = self->before_(req, res); })) {
    return pass;
  }
  if (!res.sent()) {
    ox_httpres_sendbinary(cres, detail::internal_error_text,
                          sizeof(detail::internal_error_text) - 1,
                          "text/plain", 500);
  }
  return false;
}

inline void server::after_cb(void *cls, ox_httpreq *creq,
                             ox_httpres *cres) noexcept {
  auto *self = static_cast<server *>(cls);
  request req(creq, *self);
  response res(cres, *self);
  detail::run_reporting(*self, "the after hook of ", req,
                        [&] { self->after_(req, res); });
}

/**
 * Drains the |servers| together (ox_httpsrv_drain_many()): each refuses
 * new clients at once, and requests in flight on all of them share one
 * |timeout|, so two servers take one deadline, not two.  Returns how many
 * requests of each server were cut off, in the order given.  Throws
 * error(EINVAL) when one of them is NULL, does not listen (or was
 * drained), or is listed twice; none is drained then.
 */
inline std::vector<unsigned int> drain(const std::vector<server *> &servers,
                                       std::chrono::milliseconds timeout) {
  std::vector<ox_httpsrv *> natives;
  natives.reserve(servers.size());
  for (server *s : servers) {
    natives.push_back(s != nullptr ? s->native() : nullptr);
  }
  std::vector<unsigned int> cuts(servers.size());
  auto ms = timeout.count() < 0 ? 0 : timeout.count();
  detail::check(ox_httpsrv_drain_many(natives.data(), natives.size(),
                                      static_cast<unsigned int>(ms),
                                      cuts.data()),
                "ox_httpsrv_drain_many");
  return cuts;
}

/** drain() of a list written in place: `ombrix::drain({&api, &admin}, 5s)`. */
inline std::vector<unsigned int> drain(std::initializer_list<server *> servers,
                                       std::chrono::milliseconds timeout) {
  return drain(std::vector<server *>(servers), timeout);
}

}  // namespace ombrix

#endif  // OMBRIX_HPP
