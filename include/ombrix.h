/**
 * @file
 * ombrix.h - an HTTP server to embed in a C or C++ program, with a string
 * buffer, a string map, a regex router and mount points around it.
 *
 * Conventions every function below shares (each comment says only what
 * differs from them):
 *
 *  1. Records are opaque: a program holds pointers and calls functions.
 *  2. An int result is 0 or a positive errno code (EINVAL for a NULL handle
 *     or a bad argument, ENOMEM when memory runs out, EALREADY when a thing
 *     that may exist once already does, ENOENT when a looked-up thing is
 *     absent).  Such functions leave errno alone, and a failure changes
 *     nothing unless the comment says otherwise.
 *  3. A getter that returns a pointer or a count gives NULL (or 0) and sets
 *     errno to EINVAL for a NULL handle; otherwise it leaves errno alone.
 *  4. Each *_new has one *_free (or *_cleanup for lists); passing NULL to
 *     them does nothing.
 *  5. Bytes handed in are copied unless a comment says otherwise; pointers
 *     handed out stay owned by the object and live until it next changes.
 *  6. Callbacks receive the caller's cls first.  A non-zero result from an
 *     iterator or dispatch callback stops the operation, which returns that
 *     value unchanged.  Callbacks must not throw.
 *  7. No function throws; in C++ they are all noexcept.
 *  8. Threads.  The library takes no lock on a program's objects: a string
 *     buffer, map, router, route list or entry point table is used by one
 *     thread at a time.  A server is set up (its setters, routes and
 *     ox_httpsrv_listen()) by one thread; ox_httpsrv_drain() and
 *     ox_httpsrv_free() are called by a thread that is not one of its
 *     callbacks.  Its callbacks run on its serving threads, several at
 *     once with a pool or a thread per connection.  A request and its
 *     response belong to the callback they were handed to, and live until
 *     it returns: the request callback may call any function on them,
 *     and hand both to one isolated callback (ox_httpreq_isolate()), which
 *     then owns them on its own thread; no other thread may touch them.
 *     An authentication callback reads and denies through its record, and
 *     may set reply headers and a body callback
 *     (ox_httpreq_set_body_cb()).  A stream's callbacks run on a serving thread
 *     and see only their handle.  A push stream (ox_httpres_sendpush()) is
 *     written to and ended from any thread.
 *  9. Lazy getters.  The request maps (ox_httpreq_headers() and the
 *     others) are filled on first use; when memory runs out a pair may be
 *     missing from them.  ox_httpreq_payload() makes its buffer on first
 *     use, and returns NULL with errno ENOMEM when it cannot.
 */
#ifndef OMBRIX_H
#define OMBRIX_H

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

/**
 * The version of this header.  The build reads it from here, so these lines
 * are the one place it is set; ox_version() tells the library's own.
 */
/** @{ */
#define OMBRIX_VERSION_MAJOR 0
#define OMBRIX_VERSION_MINOR 1
#define OMBRIX_VERSION_PATCH 0
#define OMBRIX_VERSION_STRING "0.1.0"
/** @} */

#if defined(OX_BUILDING_LIBRARY)
#define OX_EXPORT __attribute__((visibility("default")))
#else
#define OX_EXPORT
#endif

#ifdef __cplusplus
#define OX_NOEXCEPT noexcept
extern "C" {
#else
#define OX_NOEXCEPT
#endif

#if defined(__GNUC__)
#define OX_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define OX_PRINTF(fmt, first)
#endif

/** A string buffer. @ingroup str */
typedef struct ox_str ox_str;
/** A pair of a string map, and the map it starts. @ingroup strmap */
typedef struct ox_strmap ox_strmap;
/** A route, and the route list it starts. @ingroup router */
typedef struct ox_route ox_route;
/** A router over a route list. @ingroup router */
typedef struct ox_router ox_router;
/** A record of an entry point table. @ingroup entrypoints */
typedef struct ox_entrypoint ox_entrypoint;
/** A table of entry points. @ingroup entrypoints */
typedef struct ox_entrypoints ox_entrypoints;
/** An HTTP server. @ingroup httpsrv */
typedef struct ox_httpsrv ox_httpsrv;
/** A request being served. @ingroup httpreq */
typedef struct ox_httpreq ox_httpreq;
/** The response to a request. @ingroup httpres */
typedef struct ox_httpres ox_httpres;
/** A file uploaded with a request. @ingroup httpupld */
typedef struct ox_httpupld ox_httpupld;
/** The authentication of a request. @ingroup httpauth */
typedef struct ox_httpauth ox_httpauth;
/** The access-log record of a request that was served. @ingroup httplog */
typedef struct ox_httplog ox_httplog;

/**
 * @defgroup memory Memory and errors
 * The library's allocator, version and error texts, and a path helper.
 * @{
 */

/**
 * Returns the version of the library in use, OMBRIX_VERSION_STRING as it
 * was built ("0.1.0"): a program linked against another release of the
 * shared library can tell.
 */
OX_EXPORT const char *ox_version(void) OX_NOEXCEPT;

/**
 * Allocates |size| zero-filled bytes (a |size| of 0 gives a unique, freeable
 * block).  Returns NULL when memory runs out.  Release with ox_free().
 */
OX_EXPORT void *ox_alloc(size_t size) OX_NOEXCEPT;

/**
 * Resizes |ptr| (NULL allocates) to |size| bytes, as realloc() does.  A
 * |size| of 0 is taken as 1, so success always yields a usable block that
 * replaces |ptr|.  On failure it returns NULL and |ptr| stays valid and
 * still belongs to the caller.
 */
OX_EXPORT void *ox_realloc(void *ptr, size_t size) OX_NOEXCEPT;

/**
 * Releases a block of ox_alloc() or ox_realloc(), or of the standard
 * allocator (malloc, strdup).  NULL does nothing.
 */
OX_EXPORT void ox_free(void *ptr) OX_NOEXCEPT;

/**
 * Writes the text of the error number |errnum| into |errmsg|, cut to fit
 * |size| bytes and always NUL-terminated.  Unknown numbers give
 * "Unknown error N".
 *
 * Returns 0, or EINVAL when |errmsg| is NULL or |size| is 0.
 */
OX_EXPORT int ox_strerror(int errnum, char *errmsg, size_t size) OX_NOEXCEPT;

/**
 * Copies |text| into |out| (|size| bytes, at least 4) with every byte that
 * could break or forge a line of a text log written as "\\xHH": control
 * bytes, a double quote, a backslash, and bytes outside ASCII.  A text
 * that does not fit is cut and ends in "...".  For a client's bytes (a
 * path, a header) in a log line or an error message.
 *
 * Returns |out|, or NULL with errno EINVAL for a NULL |text| or |out|, or
 * |size| below 4.
 */
OX_EXPORT const char *ox_escape(const char *text, char *out,
                                size_t size) OX_NOEXCEPT;

/**
 * Returns a new string with the entry point of |path|: everything before
 * the first '/' that follows the first byte.  "/r1/foo" and "/r1" give
 * "/r1", "/" gives "/", "" gives "", "r1/x" gives "r1".  The caller frees
 * the result with ox_free().
 *
 * Returns NULL when memory runs out, or with errno set to EINVAL when
 * |path| is NULL.
 */
OX_EXPORT char *ox_extract_entrypoint(const char *path) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup str String buffer
 * A growable, always NUL-terminated byte buffer.
 * @{
 */

/**
 * Returns a new empty buffer with room for 100 bytes, or NULL when memory
 * runs out.
 */
OX_EXPORT ox_str *ox_str_new(void) OX_NOEXCEPT;

/** Releases |str| and its storage. */
OX_EXPORT void ox_str_free(ox_str *str) OX_NOEXCEPT;

/**
 * Appends the |len| bytes at |val| to |str|.  The bytes may include NUL;
 * the content stays NUL-terminated and ox_str_length() counts every byte.
 * When the free room is short the capacity grows by exactly |len| + 1.
 *
 * Returns 0, or: EINVAL  |str| or |val| is NULL, or |len| is 0;
 *                ENOMEM  the buffer could not grow (it is left as it was).
 */
OX_EXPORT int ox_str_write(ox_str *str, const char *val, size_t len) OX_NOEXCEPT;

/**
 * Appends the text that |fmt| makes of |ap|; |ap| itself is not consumed.
 * The values may point into |str| itself (its content, say).  A text that
 * does not fit the free room grows the capacity by its own length + 1, as
 * ox_str_write() does; a text of 512 bytes or more is formatted twice.
 *
 * Returns 0, or: EINVAL     |str| or |fmt| is NULL;
 *                ENOMEM     the buffer could not grow;
 *                EOVERFLOW  the formatter failed (for instance a text over
 *                           INT_MAX bytes, or a bad wide character) and
 *                           kept failing after the room was doubled twice.
 * On failure the content is as it was (the capacity may have grown).
 */
OX_EXPORT int ox_str_printf_va(ox_str *str, const char *fmt, va_list ap) OX_NOEXCEPT
    OX_PRINTF(2, 0);

/** As ox_str_printf_va(), with the values after |fmt|. */
OX_EXPORT int ox_str_printf(ox_str *str, const char *fmt, ...) OX_NOEXCEPT
    OX_PRINTF(2, 3);

/**
 * Returns the buffer's live storage (never NULL for a valid |str|): valid
 * until the next append, which may move it, or ox_str_free().
 */
OX_EXPORT const char *ox_str_content(ox_str *str) OX_NOEXCEPT;

/** Returns the number of bytes written, NUL bytes included. */
OX_EXPORT size_t ox_str_length(ox_str *str) OX_NOEXCEPT;

/** Empties |str|; the storage and its capacity stay. */
OX_EXPORT int ox_str_clear(ox_str *str) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup strmap String map
 * Name/value pairs in a hash table.  A map is a pointer to its first pair;
 * NULL is the empty map.  Functions that change a map take its address.
 *
 * Names are looked up without regard to ASCII case (as HTTP header names
 * are): each pair keeps one copy of the name as added, which hashes and
 * compares folded.  Iteration visits pairs in the order they were added,
 * until a sort.
 * @{
 */

/** Called by ox_strmap_iter() with each pair in turn. */
typedef int (*ox_strmap_iter_cb)(void *cls, ox_strmap *pair);
/** Returns < 0 when |pair_a| goes first, > 0 when |pair_b| does, 0 if equal. */
typedef int (*ox_strmap_sort_cb)(void *cls, ox_strmap *pair_a,
                                 ox_strmap *pair_b);

/**
 * Adds the pair (|name|, |val|) to |*map|, also when |name| is present:
 * duplicates are kept (two Set-Cookie headers, a=1&a=2) and lookups find
 * the first of them in map order (the first added, until a sort).
 *
 * Returns 0, or: EINVAL  |map|, |name| or |val| is NULL;
 *                ENOMEM  no memory.
 */
OX_EXPORT int ox_strmap_add(ox_strmap **map, const char *name,
                            const char *val) OX_NOEXCEPT;

/**
 * Gives |name| the single value |val|: the first pair of that name takes
 * the new value (and keeps its place and spelling), later duplicates are
 * removed; without such a pair one is added.
 *
 * Returns 0, or: EINVAL  |map|, |name| or |val| is NULL;
 *                ENOMEM  no memory (the map is as it was).
 */
OX_EXPORT int ox_strmap_set(ox_strmap **map, const char *name,
                            const char *val) OX_NOEXCEPT;

/**
 * Finds the first pair named |name| (any case) and stores it in |*pair|.
 *
 * Returns 0, or: EINVAL  |name| or |pair| is NULL (|*pair| not written);
 *                ENOENT  no such pair (|*pair| set to NULL).
 */
OX_EXPORT int ox_strmap_find(ox_strmap *map, const char *name,
                             ox_strmap **pair) OX_NOEXCEPT;

/**
 * Returns the value of the first pair named |name|, or NULL when there is
 * none (errno untouched) or |name| is NULL (errno set to EINVAL).
 */
OX_EXPORT const char *ox_strmap_get(ox_strmap *map,
                                    const char *name) OX_NOEXCEPT;

/** Returns the number of pairs in |map| (0 for the empty map). */
OX_EXPORT unsigned int ox_strmap_count(ox_strmap *map) OX_NOEXCEPT;

/** Returns the name of |pair| as it was added. */
OX_EXPORT const char *ox_strmap_name(ox_strmap *pair) OX_NOEXCEPT;

/** Returns the value of |pair|. */
OX_EXPORT const char *ox_strmap_val(ox_strmap *pair) OX_NOEXCEPT;

/**
 * Calls |cb| with each pair of |map| in map order.  |cb| may not add pairs
 * nor remove any but the one it is given.
 *
 * Returns 0, EINVAL when |cb| is NULL, or the first non-zero result of |cb|.
 */
OX_EXPORT int ox_strmap_iter(ox_strmap *map, ox_strmap_iter_cb cb,
                             void *cls) OX_NOEXCEPT;

/**
 * Reorders |*map| by |cb| (a stable merge sort).  Of pairs named alike,
 * lookups then find the first in the new order.
 *
 * Returns 0, or EINVAL when |map| or |cb| is NULL.
 */
OX_EXPORT int ox_strmap_sort(ox_strmap **map, ox_strmap_sort_cb cb,
                             void *cls) OX_NOEXCEPT;

/** Releases every pair of |*map| and sets |*map| to NULL. */
OX_EXPORT void ox_strmap_cleanup(ox_strmap **map) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup router Routes and router
 * A route list is a pointer to its first route.
 * @{
 */

/** Called with the |cls| of ox_routes_add() when a dispatch matches |route|. */
typedef void (*ox_route_cb)(void *cls, ox_route *route);
/** Called by ox_route_vars_iter() with each named group's |name| and |val|. */
typedef int (*ox_route_vars_iter_cb)(void *cls, const char *name,
                                     const char *val);
/**
 * Called by ox_route_segments_iter() with each group's |index| and
 * |segment|.
 */
typedef int (*ox_route_segments_iter_cb)(void *cls, unsigned int index,
                                         const char *segment);
/** Called before |route| is tried; non-zero stops the dispatch. */
typedef int (*ox_router_dispatch_cb)(void *cls, const char *path,
                                     ox_route *route);
/** Called when |route| matched, before its callback; non-zero stops. */
typedef int (*ox_router_match_cb)(void *cls, ox_route *route);

/**
 * Compiles |pattern| (PCRE2 syntax, bytes rather than UTF-8, JIT-compiled)
 * and appends a route with |cb| and |cls| to the end of |*routes|, so
 * routes are tried in the order they were added.
 *
 * A route matches a path only as a whole: the pattern is compiled anchored
 * at both ends (PCRE2_ANCHORED | PCRE2_ENDANCHORED), so "/download" does
 * not take "/download/abc" and "/a|/b" takes only "/a" or "/b".  The
 * pattern text is not rewritten.  "(*UTF)" is refused (PCRE2_NEVER_UTF):
 * paths are untrusted bytes and the JIT fast path does not validate UTF-8.
 *
 * Returns 0, or: EINVAL   |routes|, |pattern| or |cb| is NULL, or the
 *                         pattern does not compile;
 *                ENOTSUP  PCRE2 has no JIT for this machine;
 *                ENOMEM   no memory.
 * On failure nothing is added.
 */
OX_EXPORT int ox_routes_add(ox_route **routes, const char *pattern,
                            ox_route_cb cb, void *cls) OX_NOEXCEPT;

/** Releases every route of |*routes| and sets it to NULL.  0 or EINVAL. */
OX_EXPORT int ox_routes_cleanup(ox_route **routes) OX_NOEXCEPT;

/** Returns the path of the last dispatch that matched |route| (not a copy). */
OX_EXPORT const char *ox_route_path(ox_route *route) OX_NOEXCEPT;

/** Returns the user data of the last dispatch that matched |route|. */
OX_EXPORT void *ox_route_user_data(ox_route *route) OX_NOEXCEPT;

/**
 * Calls |cb| with the name and captured text of each named group of the
 * route's last match attempt, in the order the groups stand in the pattern.
 * Groups that took no part in the match are skipped; after a failed attempt
 * nothing is called.  The texts live only during the call.
 *
 * Returns 0, EINVAL (|route| or |cb| NULL), ENOMEM (a capture over 255
 * bytes could not be copied), or the first non-zero result of |cb|.
 */
OX_EXPORT int ox_route_vars_iter(ox_route *route, ox_route_vars_iter_cb cb,
                                 void *cls) OX_NOEXCEPT;

/**
 * Calls |cb| with each capture group of the route's last match, named or
 * not, in group order.  |index| counts from 0: group 1 of the pattern is
 * index 0.  Groups that took no part in the match are skipped (the
 * indexes of the others do not move).
 *
 * Returns as ox_route_vars_iter().
 */
OX_EXPORT int ox_route_segments_iter(ox_route *route,
                                     ox_route_segments_iter_cb cb,
                                     void *cls) OX_NOEXCEPT;

/**
 * Returns a router over the list that starts at |routes| (not owned; the
 * router keeps this head pointer), or NULL: errno EINVAL when |routes| is
 * NULL, or out of memory.
 */
OX_EXPORT ox_router *ox_router_new(ox_route *routes) OX_NOEXCEPT;

/** Releases |router|; its routes are left alone. */
OX_EXPORT void ox_router_free(ox_router *router) OX_NOEXCEPT;

/**
 * Runs the callback of the first route whose pattern matches |path| whole,
 * and records |path| (not copied) and |user_data| in that route.  Each
 * route tried keeps its match result.  Allocates nothing.  Dispatches over
 * one route list must not overlap: the caller serialises them.
 *
 * Returns 0 when a route ran, ENOENT when none matched, EINVAL for a NULL
 * |router| or |path|, or the non-zero result of |dispatch_cb| (before a
 * route is tried) or |match_cb| (after it matched, instead of its
 * callback).  Both callbacks may be NULL.
 */
OX_EXPORT int ox_router_dispatch2(ox_router *router, const char *path,
                                  void *user_data,
                                  ox_router_dispatch_cb dispatch_cb, void *cls,
                                  ox_router_match_cb match_cb) OX_NOEXCEPT;

/** ox_router_dispatch2() without callbacks. */
OX_EXPORT int ox_router_dispatch(ox_router *router, const char *path,
                                 void *user_data) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup entrypoints Entry points
 * Names made from the first segment of a path, each with one pointer of
 * the program's, in a table sorted by name.
 * @{
 */

/** Called by ox_entrypoints_iter() with each record in turn. */
typedef int (*ox_entrypoints_iter_cb)(void *cls, ox_entrypoint *entrypoint);

/** Returns the record's name (not a copy). */
OX_EXPORT const char *ox_entrypoint_name(ox_entrypoint *entrypoint) OX_NOEXCEPT;

/** Replaces the record's user data (NULL is a valid value).  0 or EINVAL. */
OX_EXPORT int ox_entrypoint_set_user_data(ox_entrypoint *entrypoint,
                                          void *data) OX_NOEXCEPT;

/** Returns the record's user data. */
OX_EXPORT void *ox_entrypoint_user_data(ox_entrypoint *entrypoint) OX_NOEXCEPT;

/** Returns a new empty table, or NULL when memory runs out. */
OX_EXPORT ox_entrypoints *ox_entrypoints_new(void) OX_NOEXCEPT;

/** Releases the table and its names; user data is not touched. */
OX_EXPORT void ox_entrypoints_free(ox_entrypoints *entrypoints) OX_NOEXCEPT;

/**
 * Adds an entry named after the first segment of |path| with |user_data|.
 * Record pointers handed out earlier may move.
 *
 * Returns 0, or: EINVAL    |entrypoints| or |path| is NULL;
 *                EALREADY  an entry of that name exists (kept as it was);
 *                ENOMEM    no memory.
 */
OX_EXPORT int ox_entrypoints_add(ox_entrypoints *entrypoints, const char *path,
                                 void *user_data) OX_NOEXCEPT;

/**
 * Removes the entry named after the first segment of |path|.  When the
 * array cannot shrink, the entry is still removed and the larger block kept.
 *
 * Returns 0, or EINVAL, ENOMEM (the name could not be made), ENOENT.
 */
OX_EXPORT int ox_entrypoints_rm(ox_entrypoints *entrypoints,
                                const char *path) OX_NOEXCEPT;

/**
 * Calls |cb| with each record in ascending name order (strcmp byte order).
 *
 * Returns 0, EINVAL (|entrypoints| or |cb| NULL), or the first non-zero
 * result of |cb|.
 */
OX_EXPORT int ox_entrypoints_iter(ox_entrypoints *entrypoints,
                                  ox_entrypoints_iter_cb cb,
                                  void *cls) OX_NOEXCEPT;

/** Removes every entry.  0 or EINVAL. */
OX_EXPORT int ox_entrypoints_clear(ox_entrypoints *entrypoints) OX_NOEXCEPT;

/**
 * Finds the entry for any path below it ("/r1/foo" finds "/r1") and stores
 * it in |*entrypoint|: a pointer into the table, valid until it changes.
 *
 * Returns 0, or: EINVAL  an argument is NULL (|*entrypoint| not written);
 *                ENOMEM  no memory (|*entrypoint| not written);
 *                ENOENT  no such entry (|*entrypoint| set to NULL).
 */
OX_EXPORT int ox_entrypoints_find(ox_entrypoints *entrypoints,
                                  ox_entrypoint **entrypoint,
                                  const char *path) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup httpsrv HTTP server
 * The server: the callbacks it calls, and the functions that create,
 * start and release it.
 * @{
 */

/** Answers a request through |res|; returning without a send leaves the
 * core to answer 500 (unless the request was isolated). */
typedef void (*ox_httpreq_cb)(void *cls, ox_httpreq *req, ox_httpres *res);
/** Returns true to let the request through to the request callback. */
typedef bool (*ox_httpauth_cb)(void *cls, ox_httpauth *auth, ox_httpreq *req,
                               ox_httpres *res);
/**
 * Receives one error line of the server, from serving threads (and from
 * the thread of a setup call that failed).  Every line has one form:
 * "ombrix: ", then the client's address and port and ": " when a client's
 * request is what the line is about, then the text, without a newline at
 * the end: "ombrix: 127.0.0.1:53412: no reply to GET /x", "ombrix: [::1]:
 * 40220: ...", "ombrix: cannot listen on port 80: Permission denied".
 * libmicrohttpd's own lines come in the same form.  A sink that writes
 * lines adds the newline itself.
 */
typedef void (*ox_err_cb)(void *cls, const char *err);
/** Writes at most |size| bytes of a stream into |buf|, of which |offset|
 * were delivered before; returns the count, or ox_eor() to end it. */
typedef ssize_t (*ox_read_cb)(void *handle, uint64_t offset, char *buf,
                              size_t size);
/** Releases a stream's handle, once, when the stream is done with. */
typedef void (*ox_free_cb)(void *handle);
/** Receives the access-log record of each request once it is served; see
 * ox_httpsrv_set_log().  |rec| lives until the callback returns. */
typedef void (*ox_httplog_cb)(void *cls, ox_httplog *rec);
/** The before hook (ox_httpsrv_set_before()): returns true to let the
 * request go on, false when it answered (or refused) it through |res|. */
typedef bool (*ox_httpbefore_cb)(void *cls, ox_httpreq *req,
                                 ox_httpres *res);
/** The after hook (ox_httpsrv_set_after()): sees every reply before it is
 * queued, through |res|. */
typedef void (*ox_httpafter_cb)(void *cls, ox_httpreq *req, ox_httpres *res);
/** Receives the next |size| bytes of a request body at |data|; returns 0
 * to go on.  See ox_httpreq_set_body_cb(). */
typedef int (*ox_httpbody_cb)(void *cls, ox_httpreq *req, const void *data,
                              size_t size);

/** The end codes of a stream: ox_eor(false) ends it, ox_eor(true) breaks it. */
OX_EXPORT ssize_t ox_eor(bool err) OX_NOEXCEPT;

/**
 * Returns a new server, or NULL when memory runs out.  |req_cb| answers
 * every request that no route of ox_httpsrv_add_route() takes; it may be
 * NULL for a server that only routes, which then answers such requests 404.
 * |auth_cb| (may be NULL) runs before any of them for every request;
 * |err_cb| (NULL: the default, which writes each line and a newline to
 * standard error) receives the errors met while serving.  |cls| reaches
 * every callback but the routes'.
 */
OX_EXPORT ox_httpsrv *ox_httpsrv_new2(ox_httpauth_cb auth_cb,
                                      ox_httpreq_cb req_cb, ox_err_cb err_cb,
                                      void *cls) OX_NOEXCEPT;

/** ox_httpsrv_new2() without authentication and with the default errors. */
OX_EXPORT ox_httpsrv *ox_httpsrv_new(ox_httpreq_cb req_cb,
                                     void *cls) OX_NOEXCEPT;

/**
 * Replace the callbacks given to ox_httpsrv_new2(), before listening
 * (EALREADY after, and nothing changes; EINVAL for a NULL |srv|): the
 * authentication callback (NULL: none), the request callback (NULL: a
 * server that only routes) and the error callback (NULL: the default,
 * standard error).  They keep the server's |cls|.  A wrapper that learns
 * its callbacks late (a C++ server, say) sets them here instead of making
 * the server again.
 */
/** @{ */
OX_EXPORT int ox_httpsrv_set_auth_cb(ox_httpsrv *srv,
                                     ox_httpauth_cb cb) OX_NOEXCEPT;
OX_EXPORT int ox_httpsrv_set_req_cb(ox_httpsrv *srv,
                                    ox_httpreq_cb cb) OX_NOEXCEPT;
OX_EXPORT int ox_httpsrv_set_err_cb(ox_httpsrv *srv,
                                    ox_err_cb cb) OX_NOEXCEPT;
/** @} */

/**
 * Adds a route: a request whose method is |method| ("GET", "POST", ...,
 * compared exactly; "*" takes any method) and whose path |pattern| matches
 * whole goes to |cb| with |cls|, instead of the request callback.  Routes
 * are tried in the order they were added and the first that takes the
 * request answers it; ox_httpreq_var() and ox_httpreq_capture() then read
 * what its groups captured.  A GET route also takes HEAD requests, whose
 * reply goes out without its body.
 *
 * A path that routes match, but none for the request's method, is answered
 * 405 with an "Allow" header listing the methods that would do (HEAD with
 * GET); a path that no route matches goes to the request callback, or is
 * answered 404 without one.  A request with a body is answered so before
 * the body is read.
 *
 * Patterns are compiled as ox_routes_add() compiles them (PCRE2, whole
 * path, bytes, JIT) and may have at most 16 capture groups.  Routes are
 * added before listening and only read afterwards, so any number of
 * serving threads dispatch at once, with no lock and no allocation.
 *
 * Returns 0, or: EINVAL    NULL |srv|, |method|, |pattern| or |cb|, an
 *                          empty |method|, a pattern that does not compile
 *                          or that has more than 16 groups;
 *                EALREADY  the server listens already;
 *                ENOTSUP   PCRE2 has no JIT for this machine;
 *                ENOMEM    no memory.
 */
OX_EXPORT int ox_httpsrv_add_route(ox_httpsrv *srv, const char *method,
                                   const char *pattern, ox_httpreq_cb cb,
                                   void *cls) OX_NOEXCEPT;

/**
 * @defgroup settings Settings
 * Each is taken before ox_httpsrv_listen(); afterwards it returns
 * EALREADY and changes nothing.
 * @{
 */

/**
 * Serves with a pool of |size| threads (0 or 1: one polling thread, the
 * default).  Each connection is served by one thread of the pool, new
 * ones given to the threads in turn, so a callback that blocks holds up
 * the other connections of its thread: blocking work goes to
 * ox_httpreq_isolate().
 */
OX_EXPORT int ox_httpsrv_set_thr_pool_size(ox_httpsrv *srv,
                                           unsigned int size) OX_NOEXCEPT;

/**
 * Accepts at most |limit| connections at once (0: the default, 1000);
 * beyond it new clients wait in the listening socket's backlog until a
 * connection closes.
 */
OX_EXPORT int ox_httpsrv_set_con_limit(ox_httpsrv *srv,
                                       unsigned int limit) OX_NOEXCEPT;

/**
 * Sets the memory each connection reads its request head into and
 * buffers its reply with (default 40 KiB, which takes about 24 KiB of
 * headers).  A larger head is refused with 431.  EINVAL below 4 KiB.
 *
 * The default is above 32 KiB on purpose: from there libmicrohttpd maps
 * each connection's memory on its own, outside the heap, and gives it back
 * to the system when the connection closes.  At 32 KiB or less it comes
 * from the heap, where thousands of clients coming and going (slow clients
 * cut at their deadline, say) fragment it into a memory use that creeps up
 * for minutes before it levels off.  A busy keep-alive connection uses
 * about this much.
 */
OX_EXPORT int ox_httpsrv_set_con_mem_limit(ox_httpsrv *srv,
                                           size_t bytes) OX_NOEXCEPT;

/**
 * @defgroup limits Limits
 * A server faces clients that send too much, too slowly, or nothing at
 * all.  The defaults are what a server on the internet can ship with; each
 * setter says why its default is what it is.  A request over a limit is
 * answered (413, 503) without reaching the request callback; a connection
 * over a deadline is closed.
 *
 * Whatever the settings, a request a proxy in front could read otherwise
 * is answered 400 and its connection closed, so that the server and the
 * proxy never disagree on where the next request starts: two
 * Content-Length fields that differ, Content-Length beside
 * Transfer-Encoding, a Transfer-Encoding in HTTP/1.0, a folded field line
 * (obs-fold), a field name that is no token ("Name :") or a line without
 * one, a NUL or a bare CR in a field, a bare LF as a line's end, a method
 * that is no token, spaces or control bytes in the target, a target that
 * decodes to a NUL byte ("%00" in the path or the query, which would cut
 * it short), and no Host or several from HTTP/1.1 on.  A transfer coding
 * other than chunked is answered 501, and so is CONNECT: the library makes
 * no tunnels.  A target in absolute form ("GET http://host/path") is
 * served by its path, its host standing for the Host field.  A request
 * with a chunked body closes its connection after the reply: the chunk
 * lines and trailers are read more leniently (a bare LF ends them) than a
 * proxy may read them, so nothing after such a body is taken as a request.
 *
 * A connection closed while its client may still send (a refusal on the
 * head, a body past its limit) is read and dropped for up to 5 s and
 * 4 MiB more, so that the client reads the reply instead of a reset.
 *
 * ox_httpsrv_set_con_limit() and ox_httpsrv_set_con_mem_limit() are limits
 * too.
 * @{
 */

/**
 * Closes connections idle for |seconds|: nothing read or written (0:
 * never; default 60, which covers a reply a slow client reads).
 */
OX_EXPORT int ox_httpsrv_set_con_timeout(ox_httpsrv *srv,
                                         unsigned int seconds) OX_NOEXCEPT;

/**
 * Gives a request head (the request line and the headers) |seconds| to
 * arrive whole, counted from the connection's opening or, on a kept-alive
 * connection, from the end of the previous reply; a connection past it is
 * closed.  This is also how long a kept-alive connection may wait for its
 * next request.  0: no deadline, only the idle timeout.
 *
 * Default 10: a real client sends its head in one round trip, and a client
 * that trickles it a byte at a time (which the idle timeout never ends)
 * holds its connection at most this long, so a server whose every
 * connection is taken this way serves others again within seconds.
 */
OX_EXPORT int ox_httpsrv_set_head_timeout(ox_httpsrv *srv,
                                          unsigned int seconds) OX_NOEXCEPT;

/**
 * Gives a request body |seconds| from the end of its head, plus one second
 * for every |min_rate| bytes that arrive (0: no extension), so a body must
 * keep up a rate of at least |min_rate| bytes a second on average.  A
 * connection past it is closed.  |seconds| 0: no deadline.
 *
 * Defaults 10 s and 1024 bytes/s: any real link, a slow mobile one
 * included, is far faster, while a client that sends a byte now and then
 * cannot hold a connection.  A 1 GiB upload at 1 MiB/s is nowhere near it.
 */
OX_EXPORT int ox_httpsrv_set_body_timeout(ox_httpsrv *srv,
                                          unsigned int seconds,
                                          unsigned int min_rate) OX_NOEXCEPT;

/**
 * Gives a reply |seconds| to be taken by its client from when it is
 * queued, plus one second for every |min_rate| bytes of its body (0: no
 * extension); a connection past it is closed.  A stream of any length is
 * timed piece by piece: each piece it hands out gets |seconds| plus its
 * bytes at |min_rate|, and the time the stream's callback takes to make a
 * piece does not count.  |seconds| 0: no deadline, only the idle timeout.
 *
 * Defaults 10 s and 4096 bytes/s: a link as slow as 2G moves far more,
 * while a client that reads a few bytes now and then (the idle timeout
 * never ends one that reads every few seconds) cannot hold a reply, and
 * the memory or descriptor it holds, for more than that.
 */
OX_EXPORT int ox_httpsrv_set_send_timeout(ox_httpsrv *srv,
                                          unsigned int seconds,
                                          unsigned int min_rate) OX_NOEXCEPT;

/**
 * Accepts at most |limit| connections at once from one client address;
 * more are closed at once (0: no cap; the default).  Off by default because
 * behind a proxy, a load balancer or a carrier's NAT every client shares one
 * address: turn it on for a server that clients reach directly.
 */
OX_EXPORT int ox_httpsrv_set_con_per_ip_limit(ox_httpsrv *srv,
                                              unsigned int limit) OX_NOEXCEPT;

/**
 * Sets the largest body held in memory (default 8 MiB): the payload of
 * ox_httpreq_payload(), and of a multipart body everything but its files
 * (field names and values included).  A body announced larger is answered
 * 413 before it is read; one found larger while it arrives is answered 413
 * once it ends, or closed if it goes on for over 1 MiB more.  The request
 * callback is not called.  8 MiB takes any form and most JSON documents;
 * larger data belongs in an upload, which goes to disk.
 */
OX_EXPORT int ox_httpsrv_set_payld_limit(ox_httpsrv *srv,
                                         size_t bytes) OX_NOEXCEPT;

/**
 * Sets the largest total of uploaded file bytes in one request (default
 * 1 GiB; files go to disk, never whole to memory).  More is answered 413.
 * It bounds a body handed to a body callback (ox_httpreq_set_body_cb())
 * too, which is held nowhere either: one announced larger is answered 413
 * before it is read, one found larger as it arrives is answered 413 once
 * it ends (or closed 1 MiB past the limit), and the callback never gets a
 * byte past the limit.
 */
OX_EXPORT int ox_httpsrv_set_uplds_limit(ox_httpsrv *srv,
                                         uint64_t bytes) OX_NOEXCEPT;

/**
 * Sets how many form fields one request may carry, url-encoded or
 * multipart (default 1000: more than any form a person fills in, and it
 * bounds the work one request makes of the fields map).  More is answered
 * 413.
 */
OX_EXPORT int ox_httpsrv_set_fields_limit(ox_httpsrv *srv,
                                          unsigned int count) OX_NOEXCEPT;

/**
 * Sets how many files one multipart request may upload (default 100: far
 * more than a form sends, while a request cannot flood the upload directory
 * with thousands of files; 0 refuses uploads).  More is answered 413.
 * Whatever the limit, a request keeps at most one file open: each is closed
 * as its part ends.
 */
OX_EXPORT int ox_httpsrv_set_files_limit(ox_httpsrv *srv,
                                         unsigned int count) OX_NOEXCEPT;

/**
 * Runs isolated requests (ox_httpreq_isolate()) on at most |threads|
 * threads, started as they are needed, with at most |queue| more waiting
 * for one; a request isolated beyond that is answered 503.  EINVAL for 0
 * threads.  Defaults 64 and 256: enough for blocking work on a machine of
 * any size, and a bound, where a thread each would let a burst of slow
 * requests start thousands.
 */
OX_EXPORT int ox_httpsrv_set_isolate_limits(ox_httpsrv *srv,
                                            unsigned int threads,
                                            unsigned int queue) OX_NOEXCEPT;

/**
 * Bounds the work of matching one route pattern (ox_httpsrv_add_route())
 * against one request path to |steps| of PCRE2's match limit (default
 * 100000).  A pattern with nested quantifiers can otherwise backtrack for
 * a second or more on a path a client chose; at the bound it stops within
 * about a millisecond.  A request whose path makes any pattern reach the
 * bound is answered 500, whatever the other routes would do, and the
 * error callback names the pattern, so the answer never depends on how far
 * the matcher got.  Ordinary patterns need a few thousand steps at most on
 * any path.  EINVAL for 0.
 */
OX_EXPORT int ox_httpsrv_set_match_limit(ox_httpsrv *srv,
                                         uint32_t steps) OX_NOEXCEPT;

/** @} */

/**
 * Sets the directory that receives uploads (copied; default: $TMPDIR, or
 * /tmp).  EINVAL for NULL or an empty text.
 */
OX_EXPORT int ox_httpsrv_set_upld_dir(ox_httpsrv *srv,
                                      const char *dir) OX_NOEXCEPT;

/**
 * Makes the server gzip its replies at |level| (1 fastest .. 9 smallest;
 * 0, the default, never compresses).  Once set, ox_httpres_sendbinary(),
 * ox_httpres_sendfile() (whole files with status 200),
 * ox_httpres_senddir() and ox_httpres_sendstream() read the request's
 * Accept-Encoding (q-values, "identity", "*" and "q=0" as HTTP defines
 * them) and gzip the body with "Content-Encoding: gzip" when the client
 * accepts gzip.  Whenever the choice could depend on Accept-Encoding the
 * reply says "Vary: Accept-Encoding".  Left as they are: bodies under 256
 * bytes, types that are compressed already (images, audio, video,
 * archives, fonts; for a stream, the Content-Type set in the reply
 * headers, and a stream without one), replies whose headers already name
 * a Content-Encoding, and ranges (206).  Streams are compressed piece by
 * piece, each piece flushed, so what the stream produced reaches the
 * client at once.  ox_httpres_zsendbinary() keeps its raw deflate.
 *
 * A file is gzipped once, not for every reply, where that can be done:
 * - A file up to 16 KiB that the file cache keeps in memory (see
 *   ox_httpsrv_set_file_cache()) keeps its gzip form beside it.
 * - A file with a gzipped sibling, its name with ".gz" ("site.css.gz"
 *   beside "site.css") that is a regular file at least as new as the
 *   file, goes out as that sibling, as it is.  The sibling is opened by
 *   the same rules as the file (beneath the root for
 *   ox_httpres_senddir()).  Make it with "gzip -k" after the file, so it
 *   is the newer of the two.
 * Either way the reply carries a Content-Length instead of chunks.  Other
 * files are gzipped as they go out.
 *
 * Returns 0, or: EINVAL  |level| outside 0..9;
 *                EALREADY the server listens already.
 */
OX_EXPORT int ox_httpsrv_set_compression(ox_httpsrv *srv,
                                         int level) OX_NOEXCEPT;

/**
 * Keeps up to |entries| of the files ox_httpres_senddir() and
 * ox_httpres_sendfile() (absolute paths) send open between requests, with
 * their status, ETag and Content-Type, so that the next request for one
 * skips resolving its path (default 1024; 0 turns the cache off).  Each
 * entry holds a descriptor, and the cache takes at most a quarter of the
 * process's descriptor limit whatever |entries| says.  A file up to 16 KiB
 * is also kept in memory, up to 4 MiB for all of them, and its reply goes
 * out with its head in one send.
 *
 * A file rewritten in place or removed is seen by the next request, since
 * each use checks the open file first.  A path that comes to lead to
 * another file (a new file renamed over it, a link or a directory swapped
 * in) is resolved again, by the same rules as without the cache, at most
 * a second after it was last resolved: until then the file it led to
 * before may still be served.
 *
 * Returns 0, or: EINVAL  |srv| is NULL;
 *                EALREADY the server listens already.
 */
OX_EXPORT int ox_httpsrv_set_file_cache(ox_httpsrv *srv,
                                        unsigned int entries) OX_NOEXCEPT;

/**
 * Makes files whose name ends in "." |ext| (given with or without its dot,
 * compared without case; at most 15 bytes, no '/' or '.') go out with the
 * Content-Type |type| (copied), over the built-in table.  A later call for
 * the same extension replaces the type.
 *
 * Returns 0, or: EINVAL  NULL arguments, an empty |type|, or a bad |ext|;
 *                EALREADY the server listens already;
 *                ENOMEM  no memory (the table is as it was).
 */
OX_EXPORT int ox_httpsrv_set_mime(ox_httpsrv *srv, const char *ext,
                                  const char *type) OX_NOEXCEPT;

/**
 * Returns the Content-Type the server gives the file |path|, by the
 * extension of its last component (without case): the program's type
 * (ox_httpsrv_set_mime()), else the built-in one (the web's common types;
 * text types with "; charset=utf-8"), else "application/octet-stream".
 * The text is the server's or static: valid while the server lives.
 * Allocates nothing.  NULL with errno EINVAL for NULL arguments.
 */
OX_EXPORT const char *ox_httpsrv_mime(ox_httpsrv *srv,
                                      const char *path) OX_NOEXCEPT;

/**
 * Serves HTTPS instead of HTTP: the PEM certificate chain in the file
 * |cert_file| (the server's certificate first, then its intermediates) and
 * the PEM private key in |key_file|, decrypted with |key_pwd| when it is
 * not NULL.  A server speaks either HTTP or HTTPS on its port.  TLS 1.2
 * and 1.3 only, with GnuTLS's "NORMAL" ciphers.  The files are read and
 * checked now (the key must match the certificate), so a mistake shows
 * here: ox_httpsrv_last_error() says why in words ("the private key does
 * not match the certificate (GnuTLS: ...)", "cannot read key.pem: No such
 * file or directory"), and the error callback is told too ("ombrix: TLS:
 * ...").
 *
 * A later call replaces the pair, also while the server serves HTTPS (a
 * renewed certificate; any thread): handshakes from then on get the new
 * pair, connections already open keep theirs, and a pair that fails the
 * checks is refused with the reason and leaves the old one serving.  The
 * request head deadline (ox_httpsrv_set_head_timeout()) also bounds the TLS
 * handshake.
 *
 * Returning clients resume their sessions from session tickets, which
 * spares them and the server a full handshake.  The tickets are sealed
 * with a key the server makes when the first pair is set and keeps in
 * memory only, so they are good for that process alone: a client that
 * reaches another process (or this one restarted) makes a full handshake.
 * A server that asks for client certificates
 * (ox_httpsrv_set_tls_client_ca()) issues no tickets, so that every
 * connection's certificate is checked.
 *
 * Returns 0, or: EINVAL    NULL |srv| or file name, a file that is not
 *                          PEM, a key that does not match;
 *                EACCES    |key_pwd| does not decrypt the key, or the key
 *                          is encrypted and |key_pwd| is NULL;
 *                EFBIG     a file over 1 MiB;
 *                ENOTSUP   libmicrohttpd was built without TLS (or without
 *                          key passwords, when |key_pwd| is set);
 *                EALREADY  the server listens for plain HTTP already,
 *                          or was drained;
 *                ENOMEM, or the errno of reading a file (ENOENT, ...).
 */
OX_EXPORT int ox_httpsrv_set_tls(ox_httpsrv *srv, const char *cert_file,
                                 const char *key_file,
                                 const char *key_pwd) OX_NOEXCEPT;

/**
 * As ox_httpsrv_set_tls(), with the PEM texts themselves (NUL-terminated,
 * copied; the server's copy of the key is wiped when it is released).
 */
OX_EXPORT int ox_httpsrv_set_tls_mem(ox_httpsrv *srv, const char *cert_pem,
                                     const char *key_pem,
                                     const char *key_pwd) OX_NOEXCEPT;

/**
 * Adds the pair for the host name |host| (SNI): a client that asks for
 * that name in its handshake gets this certificate chain and key, read and
 * checked as ox_httpsrv_set_tls() does.  |host| is a DNS name
 * ("example.org") or a wildcard for one label ("*.example.org", which
 * covers "a.example.org" but not "example.org" nor "a.b.example.org"),
 * without regard to case; an exact name wins over a wildcard.  A client
 * that asks for no name, or for one without a pair, gets the pair of
 * ox_httpsrv_set_tls(), or without one the first pair added here.  Setting
 * a name again replaces its pair, also while serving, as
 * ox_httpsrv_set_tls() does.  Makes the server serve HTTPS.
 *
 * Returns as ox_httpsrv_set_tls() does; EINVAL also for a |host| that is
 * no DNS name.
 */
OX_EXPORT int ox_httpsrv_set_tls_sni(ox_httpsrv *srv, const char *host,
                                     const char *cert_file,
                                     const char *key_file,
                                     const char *key_pwd) OX_NOEXCEPT;

/** As ox_httpsrv_set_tls_sni(), with the PEM texts themselves. */
OX_EXPORT int ox_httpsrv_set_tls_sni_mem(ox_httpsrv *srv, const char *host,
                                         const char *cert_pem,
                                         const char *key_pem,
                                         const char *key_pwd) OX_NOEXCEPT;

/**
 * Asks every client of an HTTPS server for a certificate, and serves only
 * those whose certificate chains to one of the PEM CA certificates in the
 * file |ca_file| (read and checked now): a request on any other connection
 * is answered 403 before its body is read.  Takes effect with
 * ox_httpsrv_set_tls(); without it, ox_httpsrv_listen() fails.
 *
 * Returns 0, or: EINVAL   NULL |srv| or |ca_file|, a file without a PEM
 *                         certificate (told to the error callback);
 *                EALREADY the server listens already;
 *                EFBIG, ENOMEM, or the errno of reading the file.
 */
OX_EXPORT int ox_httpsrv_set_tls_client_ca(ox_httpsrv *srv,
                                           const char *ca_file) OX_NOEXCEPT;

/**
 * Listens on |addr| instead of every address.  |addr| is an IPv4 or IPv6
 * literal ("127.0.0.1", "::1", "0.0.0.0", "::"), taken as it is, or a host
 * name ("localhost"), resolved now with getaddrinfo(): the server then
 * listens on each address the name has at this call (at most 8, the first
 * ones listed, without repeats), on the same port.  "localhost" and the
 * names under it ("api.localhost") are 127.0.0.1 and ::1 without asking
 * the resolver, as RFC 6761 has them, so they work on a machine without
 * an /etc/hosts.  An address of the
 * name's several that this machine cannot bind (IPv6 without IPv6 support,
 * an address not its own) is left out at listen time, with a line to the
 * error callback, as long as another is bound; ox_httpsrv_bound_addrs()
 * tells which were.  An IPv6 address takes IPv6 clients alone ("::": every
 * IPv6 address, "0.0.0.0": every IPv4 one).  By default the server takes
 * IPv6 and IPv4 clients on one socket, or IPv4 alone on a machine without
 * IPv6.
 *
 * Returns 0, or: EINVAL   NULL |srv| or |addr|, or a text that is neither
 *                         an address nor a host name ("127.0.0",
 *                         "[::1]", "host:80");
 *                ENOENT   a name that does not resolve to any IPv4 or IPv6
 *                         address;
 *                EAGAIN   the resolver failed for now (try again later);
 *                EALREADY the server listens already;
 *                ENOMEM.
 */
OX_EXPORT int ox_httpsrv_set_bind_addr(ox_httpsrv *srv,
                                       const char *addr) OX_NOEXCEPT;

/**
 * With |reuse| true, lets other processes (and servers) listen on the
 * same address and port at once (SO_REUSEPORT); the kernel then spreads
 * new connections among them.  Every one of them must set it.  Default
 * false: a second server on a port in use fails to listen.
 */
OX_EXPORT int ox_httpsrv_set_reuse_port(ox_httpsrv *srv,
                                        bool reuse) OX_NOEXCEPT;

/**
 * Calls |cb| with |cls| and a record of each request once libmicrohttpd
 * is done with it: its reply sent, or its connection lost.  |cb| runs on
 * the serving threads, several at once with a pool, and should be quick;
 * ox_httplog_clf() and ox_httplog_combined() are ready ones.  NULL |cb|:
 * no log (the default, which costs nothing).  Requests that libmicrohttpd
 * refuses on its own before their head is whole (a malformed request
 * line, a head over the memory limit) reach no callback and are not
 * logged.
 */
OX_EXPORT int ox_httpsrv_set_log(ox_httpsrv *srv, ox_httplog_cb cb,
                                 void *cls) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup metrics Metrics and readiness
 * What a Prometheus server scrapes, and what a load balancer asks.
 * @{
 */

/**
 * Makes the server count its metrics (off by default: then it counts
 * nothing and costs nothing).  The counters are kept per serving thread
 * and bumped with one relaxed atomic add each, with no lock and no
 * allocation on the request path.  Before listening (EALREADY after).
 */
OX_EXPORT int ox_httpsrv_set_metrics(ox_httpsrv *srv, bool on) OX_NOEXCEPT;

/**
 * Appends the server's metrics to |out| in Prometheus' text exposition
 * format (version 0.0.4):
 *   ombrix_http_requests_total{method,code}       requests answered, by
 *                                                 method and status class
 *   ombrix_http_route_requests_total{method,route,code}  the same by route
 *                                                 (ox_httpsrv_add_route())
 *   ombrix_http_request_duration_seconds          histogram, head to the
 *                                                 end of the reply
 *   ombrix_http_request_body_bytes_total, ombrix_http_response_body_bytes_total
 *   ombrix_connections_open, ombrix_connections_accepted_total
 *   ombrix_connections_closed_total{cause}        done, idle (the idle
 *                                                 timeout), head_deadline,
 *                                                 body_deadline,
 *                                                 send_deadline, file_short,
 *                                                 drain
 *   ombrix_http_refused_total{reason}             too_large (413),
 *                                                 head_too_large (431),
 *                                                 busy (503), per_address
 *   ombrix_isolation_busy, ombrix_isolation_queued
 *   ombrix_tls_handshakes_total{result}           done; failed: a TLS
 *                                                 connection closed before
 *                                                 its handshake was done
 *   ombrix_draining                               1 once a drain began
 * Any thread may call it, at any time; the counts it sums are each read
 * once, so a scrape during load is a consistent picture only counter by
 * counter.  Returns 0, EINVAL (NULL arguments) or ENOMEM.
 */
OX_EXPORT int ox_httpsrv_metrics(ox_httpsrv *srv, ox_str *out) OX_NOEXCEPT;

/**
 * Serves the metrics (ox_httpsrv_metrics()) at the path |path| (exactly;
 * it starts with '/'), as "text/plain; version=0.0.4;
 * charset=utf-8", and turns them on.
 * A route like any other: the authenticator runs first.  Returns as
 * ox_httpsrv_add_route() does, EINVAL for a path without its slash.
 */
OX_EXPORT int ox_httpsrv_add_metrics_route(ox_httpsrv *srv,
                                           const char *path) OX_NOEXCEPT;

/**
 * Answers GET (and HEAD) at |path| with 200 "ready" while the server
 * serves, and 503 "not ready" once ox_httpsrv_drain() began or while
 * ox_httpsrv_set_ready() says so: a load balancer that asks it stops
 * sending new requests.  A drain refuses new connections at once, so to
 * leave a balancer's rotation gently, set the server not ready, wait the
 * balancer's check interval, then drain.  Returns as
 * ox_httpsrv_add_metrics_route() does.
 */
OX_EXPORT int ox_httpsrv_add_ready_route(ox_httpsrv *srv,
                                         const char *path) OX_NOEXCEPT;

/**
 * Says whether the ready route (ox_httpsrv_add_ready_route()) answers 200
 * (|ready|, the default) or 503; requests are served either way.  Any
 * thread, any time.  EINVAL for a NULL |srv|.
 */
OX_EXPORT int ox_httpsrv_set_ready(ox_httpsrv *srv, bool ready) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup hooks Hooks, CORS and status pages
 * What a program adds around every request: a hook on the head, a hook on
 * every reply (the library's own included), cross-origin access for
 * browsers, and the pages of the library's own replies.  Each is set
 * before ox_httpsrv_listen() (EALREADY after; EINVAL for a NULL |srv|).
 * @{
 */

/**
 * Runs |cb| with |cls| on each request's head: after authentication and
 * routing (so ox_httpreq_var() reads the route's captures, and
 * ox_httpreq_headers() the head), before any of the body is read.  Only
 * requests that a route or the request callback would take reach it; the
 * library's own refusals (404, 405, 413 on an announced length) do not.
 *
 * |cb| returns true to let the request go on.  Returning false, it answers
 * the request itself with a send on |res| (a handler that knows a note
 * does not exist refuses a 300 KB upload before it arrives): the request
 * callback is not called, and a body that was coming is not read (the
 * connection then closes after the reply).  False without a send is
 * answered 500 and told to the error callback.  |cb| runs on the serving
 * thread and must not block; NULL removes the hook.
 */
OX_EXPORT int ox_httpsrv_set_before(ox_httpsrv *srv, ox_httpbefore_cb cb,
                                    void *cls) OX_NOEXCEPT;

/**
 * Runs |cb| with |cls| on every reply just before it goes out: the
 * program's, the authenticator's denials, and the library's own (400, 404,
 * 405, 413, 500, 503, the CORS preflight answer...).  There |cb| may read
 * the status (ox_httpres_status()), add, change or remove headers
 * (ox_httpres_headers(); a 405 keeps its Allow), and replace the body with
 * ox_httpres_replace_body(); content coding, validators, ranges and HEAD
 * come after it.  Replies libmicrohttpd makes before the library sees a
 * request (a request line it cannot read, a head over the connection
 * memory), and the 413 written while a body still arrives past its limit,
 * do not pass through it.  |cb| runs on the serving thread (or an isolated
 * request's); NULL removes the hook.
 */
OX_EXPORT int ox_httpsrv_set_after(ox_httpsrv *srv, ox_httpafter_cb cb,
                                   void *cls) OX_NOEXCEPT;

/**
 * Cross-origin access for browsers (CORS).  The origins a page may call
 * from are |origins| (a NULL-terminated list of exact origins, such as
 * "https://app.example.org"; "*" in it: every origin) or, when it names
 * none, those |origin_cb| accepts.
 */
typedef struct ox_cors {
  const char *const *origins;  /**< NULL-terminated; NULL: ask origin_cb */
  bool (*origin_cb)(void *cls, const char *origin); /**< any thread */
  void *origin_cls;            /**< handed to origin_cb */
  const char *methods;  /**< Access-Control-Allow-Methods; NULL: "GET, HEAD,
                             POST, PUT, PATCH, DELETE" */
  const char *headers;  /**< Access-Control-Allow-Headers; NULL: the headers
                             a preflight asks for */
  const char *expose;   /**< Access-Control-Expose-Headers; NULL: none */
  bool credentials;     /**< cookies and Basic credentials may be sent */
  unsigned int max_age; /**< seconds a preflight answer is kept; 0: none */
} ox_cors;

/**
 * Serves the browsers of the origins |cors| allows (copied; NULL turns
 * CORS off).  A preflight (OPTIONS with Origin and
 * Access-Control-Request-Method) from an allowed origin is answered 204 by
 * the library for every path, before authentication and routing, so no
 * OPTIONS route is needed.  Every reply to an allowed origin, the library's
 * 404, 405 and 413 included, carries Access-Control-Allow-Origin (the
 * origin itself with "Vary: Origin", or "*" when every origin is allowed
 * without credentials), Access-Control-Allow-Credentials and
 * Access-Control-Expose-Headers as asked, so that a page reads the real
 * status.  Requests from other origins are served as before, without
 * these headers: the browser then keeps the reply from the page.
 *
 * Returns 0, or: EINVAL   NULL |srv|, neither origins nor origin_cb, an
 *                         empty origin, or a text with a control byte;
 *                EALREADY the server listens already;
 *                ENOMEM.
 */
OX_EXPORT int ox_httpsrv_set_cors(ox_httpsrv *srv,
                                  const ox_cors *cors) OX_NOEXCEPT;

/**
 * Makes |body| (copied, |content_type| its type; NULL |body|: back to the
 * library's one-line text) the page of every reply the library makes
 * itself with |status| (400 to 599, and 301): refusals, limits, a missing
 * reply (500), and the authenticator's 401 challenge.  Replies the program
 * sends with that status are its own.  HEAD gets the page's headers only.
 *
 * Returns 0, or: EINVAL   NULL |srv|, |status| out of range, a type with a
 *                         control byte;
 *                EALREADY the server listens already;
 *                ENOMEM.
 */
OX_EXPORT int ox_httpsrv_set_status_page(ox_httpsrv *srv, unsigned int status,
                                         const char *body,
                                         const char *content_type) OX_NOEXCEPT;

/** @} */

/**
 * Starts serving on |port| (0: a free port the system picks) and returns at
 * once.  With |conn_threads| every connection gets a thread of its own;
 * otherwise one polling thread (epoll) or the pool serves all.  A failure
 * is also told to the error callback, and recorded for
 * ox_httpsrv_last_error() ("cannot listen on port 8080: Address already in
 * use").
 *
 * Returns 0, or: EINVAL      NULL |srv|, client CAs without a certificate
 *                            of the server's own;
 *                EALREADY    the server listens already, or was drained;
 *                EADDRINUSE, EACCES, EADDRNOTAVAIL, ...  the errno of
 *                            making the listening socket;
 *                EAGAIN      no thread could be started;
 *                ENOMEM.     On failure nothing listens.
 */
OX_EXPORT int ox_httpsrv_listen2(ox_httpsrv *srv, uint16_t port,
                                 bool conn_threads) OX_NOEXCEPT;

/**
 * ox_httpsrv_listen2() with a bool: true when the server listens.  On
 * failure it returns false and, unlike the functions returning an int,
 * sets errno to the code ox_httpsrv_listen2() would return.
 */
OX_EXPORT bool ox_httpsrv_listen(ox_httpsrv *srv, uint16_t port,
                                 bool conn_threads) OX_NOEXCEPT;

/**
 * Tells why the last call on |srv| that failed did: writes its reason in
 * plain words ("the private key does not match the certificate (GnuTLS:
 * ...)", "the pattern \"/a/(\" does not compile at offset 4: missing
 * closing parenthesis", "the server listens already: settings are taken
 * before listening"), NUL-terminated and cut to |size| bytes, into |buf|,
 * and returns the errno code that call returned.  Every ox_httpsrv_*
 * function that returns an errno code for a non-NULL |srv| records its
 * reason, and a call that succeeds leaves the record as it was, as errno
 * does: read it right after the call that failed.  Any thread may call
 * it; when several threads make calls that fail, each reads the latest.
 *
 * Returns the code of the last failure, 0 when none failed (|buf| then
 * holds ""), or EINVAL for a NULL |srv| (|buf| then says "no server").
 * With a NULL |buf| or a |size| of 0 only the code is returned.
 */
OX_EXPORT int ox_httpsrv_last_error(ox_httpsrv *srv, char *buf,
                                    size_t size) OX_NOEXCEPT;

/** Returns the bound port (0 before a successful listen). */
OX_EXPORT uint16_t ox_httpsrv_port(ox_httpsrv *srv) OX_NOEXCEPT;

/**
 * Writes the addresses |srv| listens on into the |size| bytes at |buf|,
 * NUL-terminated, each with its port and apart by one space:
 * "127.0.0.1:8080 [::1]:8080".  Every address of both families on one
 * socket shows as "[::]:8080", of IPv4 alone as "0.0.0.0:8080".  Called
 * by the thread that set the server up (convention 8), between
 * ox_httpsrv_listen() and a drain.
 *
 * Returns 0, or: EINVAL  NULL |srv| or |buf|, or a server that does not
 *                        listen;
 *                ERANGE  the text needs more than |size| bytes; |buf|
 *                        then holds "" (when |size| is not 0).  Room for
 *                        eight IPv6 addresses (440 bytes) is always enough.
 */
OX_EXPORT int ox_httpsrv_bound_addrs(ox_httpsrv *srv, char *buf,
                                     size_t size) OX_NOEXCEPT;

/** Returns the upload directory. */
OX_EXPORT const char *ox_httpsrv_upld_dir(ox_httpsrv *srv) OX_NOEXCEPT;

/**
 * Stops the server gently: new connections are refused at once, replies
 * from now on close their connections ("Connection: close"), connections
 * waiting between requests are closed, push streams end at once (what
 * they queued goes out, then their end), and requests in flight (bodies
 * arriving, callbacks, isolated requests, streams and files being sent)
 * get until |timeout_ms| milliseconds from now to finish.  Whatever is
 * still in flight then is cut off (its connection closed), and |*cut|
 * (may be NULL) tells how many requests were.  An isolated callback still
 * running is waited for all the same; its client is cut off.  A connection
 * whose request head is only partly in counts as waiting, and is closed.
 *
 * Once it returns the server serves no more and no callback runs: only
 * ox_httpsrv_free() remains (ox_httpsrv_listen() returns false).  One
 * exception: a stream's read callback (ox_httpres_sendstream()) that still
 * blocks 200 ms past the deadline cannot be interrupted, and is not waited
 * for.  Its connection is cut already; when it returns, its free callback,
 * the request's access log line and error lines follow on its serving
 * thread, and ox_httpsrv_free() waits for that.  Must not be called from
 * a callback of the same server.
 *
 * Returns 0, or EINVAL for a NULL |srv| or a server that does not listen.
 */
OX_EXPORT int ox_httpsrv_drain(ox_httpsrv *srv, unsigned int timeout_ms,
                               unsigned int *cut) OX_NOEXCEPT;

/**
 * Drains the |n| servers at |srvs| together, each as ox_httpsrv_drain()
 * does, with one deadline |timeout_ms| milliseconds from now for all of
 * them: every one refuses new connections at once, and the drain returns
 * when none has a request in flight, or at the deadline, not after |n|
 * deadlines one after another.  |cuts| (may be NULL) is an array of |n|
 * counts: |cuts[i]| tells how many requests of |srvs[i]| were cut off.
 * Every server must listen, and appear once.  |n| 0 does nothing.
 *
 * Returns 0, or EINVAL for NULL |srvs| with |n| above 0, a NULL server, a
 * server that does not listen, or one listed twice; then none is drained
 * and each count is 0.
 */
OX_EXPORT int ox_httpsrv_drain_many(ox_httpsrv *const *srvs, size_t n,
                                    unsigned int timeout_ms,
                                    unsigned int *cuts) OX_NOEXCEPT;

/**
 * Stops accepting, closes every connection at once, requests in flight
 * included (ox_httpsrv_drain() lets them finish; push streams end),
 * waits for isolated requests and stream callbacks, and releases the
 * server.  No callback runs once it returns.  Push streams the program
 * still holds stay valid until it ends them (writes fail with EPIPE).
 * Must not be called from a callback of the same server.
 */
OX_EXPORT void ox_httpsrv_free(ox_httpsrv *srv) OX_NOEXCEPT;

/**
 * @defgroup httpreq Requests
 * Pointers handed out live as long as the request.
 * @{
 */

/** Returns the decoded path, without the query. */
OX_EXPORT const char *ox_httpreq_path(ox_httpreq *req) OX_NOEXCEPT;

/** Returns the method ("GET", "POST", ...). */
OX_EXPORT const char *ox_httpreq_method(ox_httpreq *req) OX_NOEXCEPT;

/** Returns the server that received |req|. */
OX_EXPORT ox_httpsrv *ox_httpreq_srv(ox_httpreq *req) OX_NOEXCEPT;

/**
 * Returns the client's address as text: "127.0.0.1", "::1" (an IPv4
 * client of the dual-stack socket as IPv4, never "::ffff:127.0.0.1"), or
 * "" when unknown.  Behind a proxy it is the proxy's.
 */
OX_EXPORT const char *ox_httpreq_peer(ox_httpreq *req) OX_NOEXCEPT;

/** Returns the address of the request header map (case-insensitive names). */
OX_EXPORT ox_strmap **ox_httpreq_headers(ox_httpreq *req) OX_NOEXCEPT;

/** Returns the address of the request cookie map. */
OX_EXPORT ox_strmap **ox_httpreq_cookies(ox_httpreq *req) OX_NOEXCEPT;

/** Returns the address of the query argument map. */
OX_EXPORT ox_strmap **ox_httpreq_params(ox_httpreq *req) OX_NOEXCEPT;

/**
 * Returns the address of the map of form fields: the pairs of a
 * url-encoded body ('+' and percent-escapes decoded; a name without '='
 * gets ""), and the parts of a multipart body that are not files, in
 * arrival order.
 */
OX_EXPORT ox_strmap **ox_httpreq_fields(ox_httpreq *req) OX_NOEXCEPT;

/**
 * Returns the body (empty for none), url-encoded forms included.  Multipart
 * bodies are parsed into fields and uploads instead and leave it empty; one
 * that is malformed or cut off before its closing delimiter is answered 400
 * and its files are removed.
 */
OX_EXPORT ox_str *ox_httpreq_payload(ox_httpreq *req) OX_NOEXCEPT;

/** Returns true when the request carries at least one uploaded file. */
OX_EXPORT bool ox_httpreq_is_uploading(ox_httpreq *req) OX_NOEXCEPT;

/** Returns the first upload of |req| in arrival order, or NULL. */
OX_EXPORT ox_httpupld *ox_httpreq_uploads(ox_httpreq *req) OX_NOEXCEPT;

/**
 * Hands the body of |req| to |cb| piece by piece as it arrives, in order,
 * instead of holding it: a firmware image written straight to flash, a
 * hash computed on the way.  Nothing of the body is kept: the payload
 * stays empty, and url-encoded and multipart bodies are not parsed (no
 * fields, no uploads).  Once the whole body has been handed over, the
 * request callback (or the route) runs as for any request.  A request
 * without a body never calls |cb|.
 *
 * Only before the body is read: from the authentication callback (which
 * then lets the request through).  The body is bounded by
 * ox_httpsrv_set_uplds_limit(), not the payload limit, and by the body
 * deadline of ox_httpsrv_set_body_timeout().
 *
 * |cb| runs on the serving thread of the connection, one piece at a time,
 * with |cls| and |req| (which it may read, but not answer); |data| lives
 * until it returns.  It returns 0 to go on; anything else stops the body
 * and is answered at once, the connection then closed, the request
 * callback not called: E2BIG as 413 (more than the program takes),
 * EBADMSG as 400 (data it refuses), any other value as 500.  The library
 * logs nothing for it: the callback knows why.
 *
 * |free_cb| (may be NULL) receives |cls| exactly once: when the request
 * ends (served, refused, or its client gone), or at once when this call
 * fails.
 *
 * Returns 0, or: EINVAL    NULL |req| or |cb|;
 *                EALREADY  a body callback was set already, or the body is
 *                          being read or was read (called from the request
 *                          callback, or from |cb| itself).
 */
OX_EXPORT int ox_httpreq_set_body_cb(ox_httpreq *req, ox_httpbody_cb cb,
                                     void *cls,
                                     ox_free_cb free_cb) OX_NOEXCEPT;

/**
 * Returns what the group named |name| captured of the path, for a request
 * a route of ox_httpsrv_add_route() took: |*len| bytes (|len| may be NULL)
 * at the result, a view into ox_httpreq_path() that is NOT NUL-terminated.
 * NULL (and |*len| 0) when the route has no such group, the group took no
 * part in the match, or no route took the request; errno is left alone
 * but for a NULL |req| or |name| (EINVAL).
 */
OX_EXPORT const char *ox_httpreq_var(ox_httpreq *req, const char *name,
                                     size_t *len) OX_NOEXCEPT;

/**
 * As ox_httpreq_var(), for the capture group at |index|, counted from 0:
 * group 1 of the pattern is index 0, named groups included.
 */
OX_EXPORT const char *ox_httpreq_capture(ox_httpreq *req, unsigned int index,
                                         size_t *len) OX_NOEXCEPT;

/**
 * Gives the request the id |id| (copied) for its access-log record, where
 * ox_httplog_id() reads it: a request id the program made or took from
 * the client, to find the request's line among the program's own logs.
 * A second call replaces the id.  Any callback that holds |req| may set
 * it; requests the library answers before a callback runs (404, 413, a
 * malformed head) carry none.
 *
 * Returns 0, or: EINVAL  NULL |req| or |id|; an |id| that is empty,
 *                        longer than 128 bytes, or holds a byte outside
 *                        printable ASCII (a control byte, DEL, non-ASCII):
 *                        the id must never break a line of a text log;
 *                ENOMEM  the copy failed (the id set before stays).
 */
OX_EXPORT int ox_httpreq_set_log_id(ox_httpreq *req,
                                    const char *id) OX_NOEXCEPT;

/**
 * Hands |req| to |cb|, which runs on a thread of its own once the current
 * callback returns and may block; the connection waits, others are served.
 * The reply goes out when |cb| returns.  Isolated requests share a bounded
 * pool of threads (ox_httpsrv_set_isolate_limits()); when the pool and its
 * queue are full the request is answered 503 and |cb| is not called.  With
 * a thread per connection, or when no thread can be started, |cb| runs on
 * the serving thread instead.
 * Only from the request callback (or a route's); after this call that
 * callback must not touch |req| or its response.  Returns 0, EINVAL, or
 * EALREADY (already isolated, answered, or not called from the callback).
 */
OX_EXPORT int ox_httpreq_isolate(ox_httpreq *req, ox_httpreq_cb cb,
                                 void *cls) OX_NOEXCEPT;

/**
 * As ox_httpreq_isolate(), and |free_cb| (may be NULL) receives |cls|
 * exactly once: after |cb| returned, when the request is refused 503
 * without running |cb|, or at once when this call fails.  So a program can
 * hand over a closure it allocated for this request alone.
 */
OX_EXPORT int ox_httpreq_isolate2(ox_httpreq *req, ox_httpreq_cb cb,
                                  void *cls, ox_free_cb free_cb) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup httpupld Uploads
 * Files of a multipart request, held in temporary files of the upload
 * directory (mode 0600) that are removed when the request ends unless
 * saved.  A saved file gets the mode of an ordinary new file: 0666 less
 * the umask in force when the server started listening.  The umask is
 * read from /proc/self/status, which leaves it as it is; where /proc is
 * not mounted it is read by setting it and setting it back, and a file
 * another thread creates in between gets the umask 022.
 * @{
 */

/**
 * Moves |*upld| to the next upload.  Returns 0 (|*upld| NULL after the
 * last), or EINVAL for a NULL |upld| or |*upld|.
 */
OX_EXPORT int ox_httpuplds_next(ox_httpupld **upld) OX_NOEXCEPT;

/** Returns the file name the client gave, as given (may be unsafe). */
OX_EXPORT const char *ox_httpupld_name(ox_httpupld *upld) OX_NOEXCEPT;

/** Returns the form field name of the upload. */
OX_EXPORT const char *ox_httpupld_field(ox_httpupld *upld) OX_NOEXCEPT;

/** Returns the MIME type the client gave, or NULL. */
OX_EXPORT const char *ox_httpupld_mime(ox_httpupld *upld) OX_NOEXCEPT;

/** Returns the number of bytes received. */
OX_EXPORT uint64_t ox_httpupld_size(ox_httpupld *upld) OX_NOEXCEPT;

/**
 * Returns the path of the upload's file: the temporary file until it is
 * saved (the program may read it there), then the path it was saved to.
 * It lives as long as the upload.
 */
OX_EXPORT const char *ox_httpupld_path(ox_httpupld *upld) OX_NOEXCEPT;

/**
 * Moves the upload to |path|, a path of the program's choosing in any
 * directory (relative paths from the current directory), taken as it is:
 * pass a client's file name through ox_safe_filename() first.
 *
 * The move is atomic: |path| shows no file, or the whole upload.  Without
 * |overwrite| an existing |path| is EEXIST, decided by the file system in
 * the same step (so of two requests saving to one name at once, exactly
 * one succeeds and the other gets EEXIST); with it an existing file is
 * replaced in one step.  On another file system than the upload
 * directory the file is copied into a temporary file beside |path| first,
 * then moved into place the same way.  Nothing is synced to disk: a
 * program that needs the file through a power loss calls fsync() on it.
 *
 * Returns 0, or: EINVAL    NULL |upld| or |path|, or an empty |path|;
 *                EEXIST    |overwrite| is false and |path| exists;
 *                EALREADY  the upload was saved already;
 *                ENOMEM    no memory;
 *                another errno from the file system (ENOENT for a
 *                directory that does not exist, EACCES...).
 * On failure the upload stays where it was, and may be saved again.
 */
OX_EXPORT int ox_httpupld_save_as(ox_httpupld *upld, const char *path,
                                  bool overwrite) OX_NOEXCEPT;

/**
 * Moves the upload into the server's upload directory under its name, as
 * ox_httpupld_save_as() does.  A name is refused when it is empty, ".",
 * "..", holds '/', '\\' or a control byte, or is longer than 255 bytes:
 * the client's text never becomes a path outside the directory.
 *
 * Returns 0, or: EINVAL  NULL |upld|, or a refused name;
 *                EEXIST  |overwritten| is false and the file exists;
 *                EALREADY the upload was saved already;
 *                ENAMETOOLONG the path would exceed PATH_MAX;
 *                another errno from the file system.
 */
OX_EXPORT int ox_httpupld_save(ox_httpupld *upld, bool overwritten) OX_NOEXCEPT;

/**
 * Writes into |out| (|size| bytes; 256 hold any result) a safe file name
 * made of |name|, a client's: one path component that stays inside any
 * directory it is joined to.  From |name| it takes what follows the last
 * '/' or '\\'; drops control characters (C0, DEL, C1); makes '_' of
 * each of "*:<>?| and of each byte that is not UTF-8; removes the dots,
 * spaces and dashes it starts with (no hidden file, no "." or "..", no
 * option to a command) and the dots and spaces it ends with; and cuts it
 * to 255 bytes (or |size| - 1) on a character boundary, keeping an
 * extension of up to 16 bytes.  The result is valid UTF-8, never empty.
 *
 * Returns 0, or: EINVAL  NULL |name| or |out|, a |size| of 0, or nothing
 *                        of |name| is left ("", "..", "a/", "..."): the
 *                        program then picks a name of its own;
 *                ERANGE  |size| holds not even the first character;
 *                ENOMEM  no memory.
 * On failure |out| holds "" (unless it is NULL or |size| is 0).
 */
OX_EXPORT int ox_safe_filename(const char *name, char *out,
                               size_t size) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup httpres Responses
 * One send per response: a second returns EALREADY.
 * @{
 */

/** Returns the address of the reply header map; its pairs go out as set. */
OX_EXPORT ox_strmap **ox_httpres_headers(ox_httpres *res) OX_NOEXCEPT;

/**
 * Returns the status of the reply described so far, or 0 before any send
 * (the library then answers 500).  Allocates nothing.
 */
OX_EXPORT unsigned int ox_httpres_status(ox_httpres *res) OX_NOEXCEPT;

/**
 * In the after hook (ox_httpsrv_set_after()) only: replaces the body of
 * the reply by the |size| bytes at |buf| (copied), of type |content_type|
 * (NULL: none), keeping its status and the library's headers (a 405's
 * Allow, a 301's Location).  A file or stream it replaces is released.
 * Returns 0, EINVAL (NULL |res|, NULL |buf| with a size, a type with a
 * control byte), EALREADY (not in the after hook), ENOMEM.
 */
OX_EXPORT int ox_httpres_replace_body(ox_httpres *res, const void *buf,
                                      size_t size,
                                      const char *content_type) OX_NOEXCEPT;

/**
 * Adds "Set-Cookie: name=val; Path=/; HttpOnly; SameSite=Lax".  Two cookies
 * give two headers.  EINVAL for NULL arguments, an empty name, or a name or
 * value with bytes a cookie cannot hold (controls, ';', ',', whitespace,
 * '"', '\\', bytes outside ASCII, and '=' in the name).
 */
OX_EXPORT int ox_httpres_set_cookie(ox_httpres *res, const char *name,
                                    const char *val) OX_NOEXCEPT;

/** Which requests from other sites carry a cookie: its SameSite attribute. */
typedef enum ox_samesite {
  /** "SameSite=Lax": links followed from other sites carry it, their
   * forms, frames and scripts do not. */
  OX_SAMESITE_LAX = 0,
  /** "SameSite=Strict": only requests from the site itself. */
  OX_SAMESITE_STRICT = 1,
  /** "SameSite=None": every request; the cookie must be |secure|. */
  OX_SAMESITE_NONE = 2,
  /** No SameSite attribute: the browser's default applies. */
  OX_SAMESITE_OMIT = 3
} ox_samesite;

/**
 * The attributes of a cookie for ox_httpres_set_cookie2().  A zero-filled
 * struct is a valid choice (a session cookie for the whole site, SameSite
 * Lax, readable by scripts); OX_COOKIE_OPTS_DEFAULT gives the attributes
 * of ox_httpres_set_cookie().
 */
typedef struct ox_cookie_opts {
  /** The paths the cookie goes with: NULL for "/" (the whole site), ""
   * for no Path attribute (the browser takes the directory of the
   * request's path). */
  const char *path;
  /** The Domain attribute ("example.com": that host and its subdomains),
   * or NULL or "" for none (this host alone). */
  const char *domain;
  /** Seconds the cookie lives (Max-Age), or 0 for no Max-Age.  To end a
   * cookie use ox_httpres_delete_cookie(). */
  int64_t max_age;
  /** When the cookie ends (Expires, seconds since the epoch), or 0 for no
   * Expires.  Where both are set browsers take Max-Age. */
  time_t expires;
  /** Secure: the browser sends the cookie over HTTPS only. */
  bool secure;
  /** HttpOnly: scripts in the page cannot read the cookie. */
  bool http_only;
  /** The SameSite attribute. */
  ox_samesite same_site;
} ox_cookie_opts;

/** The attributes of ox_httpres_set_cookie(): "Path=/; HttpOnly;
 * SameSite=Lax". */
#define OX_COOKIE_OPTS_DEFAULT \
  { NULL, NULL, 0, 0, false, true, OX_SAMESITE_LAX }

/**
 * Adds "Set-Cookie: name=val" with the attributes |opts| says, in this
 * order: Path, Domain, Max-Age, Expires (an IMF-fixdate, "Sun, 06 Nov 1994
 * 08:49:37 GMT"), Secure, HttpOnly, SameSite.  A NULL |opts| gives the
 * attributes of ox_httpres_set_cookie(), which this call then equals.
 * The name and value are checked as ox_httpres_set_cookie() checks them.
 *
 * Returns 0, or: EINVAL  a NULL |res|, |name| or |val|; a name or value
 *                        ox_httpres_set_cookie() refuses; a path or domain
 *                        with a ';', a control byte or a byte outside
 *                        ASCII (each would end the attribute and start one
 *                        the program did not write); a negative |max_age|;
 *                        an |expires| before 1970 or after 9999; an
 *                        unknown |same_site|; SameSite=None without
 *                        Secure, a name starting "__Secure-" without
 *                        Secure, a name starting "__Host-" without Secure,
 *                        with a domain or with a path other than "/"
 *                        (browsers drop each of these cookies);
 *                ENOMEM.
 *                On failure no header is added.
 */
OX_EXPORT int ox_httpres_set_cookie2(ox_httpres *res, const char *name,
                                     const char *val,
                                     const ox_cookie_opts *opts) OX_NOEXCEPT;

/**
 * Adds a Set-Cookie that ends the browser's cookie |name|, set before with
 * the attributes |opts| (NULL: those of ox_httpres_set_cookie()): an empty
 * value, "Max-Age=0" and an Expires at the epoch (for browsers that read no
 * Max-Age) in place of the lifetime |opts| gives, and its other attributes
 * as ox_httpres_set_cookie2() writes them.  A browser ends only the cookie
 * whose name, Path and Domain all match, so hand in the |opts| it was set
 * with; they are checked as ox_httpres_set_cookie2() checks them, so those
 * of a "__Host-" or "__Secure-" cookie must have |secure|.
 *
 *     Set-Cookie: sid=; Path=/; Max-Age=0;
 *         Expires=Thu, 01 Jan 1970 00:00:00 GMT; HttpOnly; SameSite=Lax
 *
 * (one line, for NULL |opts|).
 *
 * Returns 0, or: EINVAL  a NULL |res| or |name|, or what
 *                        ox_httpres_set_cookie2() refuses of |name| and
 *                        |opts| (their |max_age| and |expires| aside);
 *                ENOMEM.
 *                On failure no header is added.
 */
OX_EXPORT int ox_httpres_delete_cookie(ox_httpres *res, const char *name,
                                       const ox_cookie_opts *opts) OX_NOEXCEPT;

/**
 * Sends the |size| bytes at |buf| (copied now; NULL with size 0 is an empty
 * body) with |content_type| (NULL or "": no Content-Type) and |status|
 * (100 to 599).  Returns 0, EINVAL, EALREADY, ENOMEM.
 */
OX_EXPORT int ox_httpres_sendbinary(ox_httpres *res, const void *buf,
                                    size_t size, const char *content_type,
                                    unsigned int status) OX_NOEXCEPT;

/**
 * As ox_httpres_sendbinary(), with the body raw-deflated and marked
 * "Content-Encoding: deflate" and "Vary: Accept-Encoding".  When
 * compression fails the plain body goes out instead.
 */
OX_EXPORT int ox_httpres_zsendbinary(ox_httpres *res, const void *buf,
                                     size_t size, const char *content_type,
                                     unsigned int status) OX_NOEXCEPT;

/**
 * Sends the file at |path|: |max_size| bytes (0: to the end) from |offset|.
 * The kernel's sendfile() moves the bytes, so |block_size| is unused.  With a
 * |disposition| ("attachment", "inline") a Content-Disposition names the
 * file's base name, quoted.  The Content-Type is guessed from the extension.
 *
 * Returns 0, or: EINVAL  NULL arguments, a bad status, a file that is not a
 *                        regular one, or |offset| past its end;
 *                ENOENT  no such file (nothing sent);
 *                EALREADY, ENOMEM, or another errno of open().
 */
OX_EXPORT int ox_httpres_sendfile2(ox_httpres *res, uint64_t block_size,
                                   uint64_t max_size, uint64_t offset,
                                   const char *path, const char *disposition,
                                   unsigned int status) OX_NOEXCEPT;

/**
 * ox_httpres_sendfile2() for the whole file, without disposition.
 *
 * A whole file with status 200 (from either function) is answered as HTTP
 * answers a GET or HEAD for a static file (RFC 9110 §13.2.2): it carries
 * "ETag" (a strong tag made of the size and the modification time in
 * nanoseconds), "Last-Modified" and "Accept-Ranges: bytes";
 * "If-Match" that names no current tag (strong comparison; "*" names any)
 * and, without it, "If-Unmodified-Since" before the file's time give 412;
 * "If-None-Match" (a list of tags, or "*"; weak comparison) and, without
 * it, "If-Modified-Since" give 304 without a body, whose Content-Length is
 * that of the 200 (or absent when that is not known, which closes the
 * connection); a single byte range ("bytes=a-b", "a-", "-n") gives 206
 * with "Content-Range", under "If-Range" (a strong tag or the exact date);
 * a range that starts past the end gives 416 with a Content-Range of the
 * unsatisfied form, which names the size; several ranges or a malformed
 * Range get the whole file.  Dates are read in all three of HTTP's forms;
 * a list field sent in several lines counts as one.  Identity bodies leave
 * by sendfile(); with ox_httpsrv_set_compression() a text file may be
 * gzipped instead, with its own ETag, which the conditionals then weigh.
 * A file that turns out shorter than it was while it is sent breaks the
 * reply off (the client sees it incomplete within about a second) and the
 * error callback names it.
 */
OX_EXPORT int ox_httpres_sendfile(ox_httpres *res, const char *path,
                                  unsigned int status) OX_NOEXCEPT;

/**
 * Answers the request from the file tree under the directory |root|, for
 * the decoded request path |path| (usually ox_httpreq_path(), or the part
 * of it a route captured): a regular file as ox_httpres_sendfile() sends
 * it (validators, ranges, gzip), with its type from ox_httpsrv_mime(); a
 * directory by its "index.html", else by an HTML listing (directories
 * first, then by name; names HTML-escaped and percent-encoded in links).
 * A directory asked for without a trailing slash gets 301 to the slash form
 * of the request path, so that relative links work.
 *
 * Nothing outside |root| is ever served: a component ".." or ".", a name
 * that starts with a dot, and a symbolic link leading out of |root| give
 * 404, as do missing files, files that are not regular, and unreadable
 * ones.  The path is opened beneath |root| by the kernel (openat2 with
 * RESOLVE_BENEATH; where the kernel lacks it, the real path is checked to
 * lie under |root|).  No reply names a path of the server.  A method other
 * than GET or HEAD gets 405 with "Allow: GET, HEAD".
 *
 * Returns 0 once a reply is built (whatever its status), or:
 *                EINVAL  NULL arguments or a bad |res|;
 *                EALREADY a reply was built already;
 *                ENOMEM  no memory;
 *                another errno of open() when |root| is no directory that
 *                        can be opened (nothing is sent: the program
 *                        answers, usually 500).
 */
OX_EXPORT int ox_httpres_senddir(ox_httpres *res, const char *root,
                                 const char *path) OX_NOEXCEPT;

/**
 * Sends a body made by |read_cb| as the client takes it: |size| bytes, or
 * with |size| 0 chunked until |read_cb| returns ox_eor().  |free_cb| (may be
 * NULL) receives |handle| exactly once: when the stream ends, the client
 * goes away or the server stops, or at once when this call fails.
 *
 * |read_cb| runs on a serving thread, which waits while it blocks: with
 * one polling thread (the C default) every other client waits too, with a
 * pool its share of the clients does, and with a thread per connection the
 * stream holds its thread.  A stream that waits for events should be a
 * push stream (ox_httpres_sendpush()), which holds no thread.
 * Returns 0, EINVAL, EALREADY, ENOMEM.
 */
OX_EXPORT int ox_httpres_sendstream(ox_httpres *res, uint64_t size,
                                    ox_read_cb read_cb, void *handle,
                                    ox_free_cb free_cb,
                                    unsigned int status) OX_NOEXCEPT;

/**
 * A stream the program pushes to from any thread (ox_httpres_sendpush()).
 */
typedef struct ox_push ox_push;

/**
 * Answers with a body the program writes as it has something to send,
 * with ox_push_write() from any thread, until ox_push_end(): server-sent
 * events, a log tail.  Unlike ox_httpres_sendstream(), no thread waits for
 * the program: between writes the connection is set aside by the serving
 * thread, which goes on serving everyone else, so one polling thread holds
 * thousands of such streams.  (With a thread per connection the stream's
 * own thread waits for the writes.)  The body is chunked, with
 * |content_type| (NULL: none) and |status|, and is never gzipped (each
 * write goes out as it is, though writes that queue up may share a
 * chunk); the after hook and CORS see the reply as any other.  A HEAD
 * request, or a status without a body, gets the head alone: its stream is
 * over at once, as if the client had left.
 *
 * While nothing is written for the ping interval of
 * ox_httpsrv_set_ws_timeouts() (default 30 s), |ping| (copied; NULL or "":
 * nothing; for event streams ": ping\n\n", a comment) is written so that
 * a client who left is noticed; a client that has left is noticed at its
 * next write.  Writes queue at most the bytes of ox_httpsrv_set_ws_limits()
 * a client has not taken yet, with the same policy when the queue is full.
 * A drain ends push streams at once: what is queued goes out, then the
 * body's end.
 *
 * |*push| is the program's until it calls ox_push_end(), whatever happens
 * to the client, and outlives the server if need be.  Returns 0, EINVAL
 * (NULL arguments, a bad type or status), EALREADY, ENOMEM; on failure
 * |*push| is NULL.
 */
OX_EXPORT int ox_httpres_sendpush(ox_httpres *res, const char *content_type,
                                  const char *ping, unsigned int status,
                                  ox_push **push) OX_NOEXCEPT;

/**
 * Queues the |size| bytes at |data| (copied) on |push| and returns without
 * waiting for the client: any thread may call it, and writes of one thread
 * go out in their order.  A write on an empty queue is always taken,
 * however large; otherwise the queue holds at most the limit of
 * ox_httpsrv_set_ws_limits().  Past it, OX_WSFULL_REFUSE refuses the
 * write and keeps the stream; OX_WSFULL_CLOSE and OX_WSFULL_RETRY cut the
 * stream (the client's connection is reset) and the write fails with
 * EPIPE.
 *
 * Returns 0, or: EINVAL  NULL |push|, or NULL |data| with |size| above 0;
 *                EPIPE   the client has left, or the stream was cut (the
 *                        queue policy) or ended (a drain, a stop);
 *                ENOBUFS the queue is full and its policy refuses;
 *                ENOMEM.
 */
OX_EXPORT int ox_push_write(ox_push *push, const void *data,
                            size_t size) OX_NOEXCEPT;

/**
 * Sets |cb| to run once with |cls| when the stream |push| is over before
 * the program ended it (NULL: none): the client left, the stream was
 * cut, or a drain or a stop ended it.  It runs on a serving thread (or on
 * the thread that frees the server), or at once on the calling thread
 * when that happened already, and never once ox_push_end() returned.
 * Set by the callback that made the stream, it never runs before that
 * callback returns, so the callback may publish |push| and set |cb| under
 * one lock that |cb| takes too.  It may call ox_push_write(), which then
 * fails, and ox_push_end().  Returns 0 or EINVAL.
 */
OX_EXPORT int ox_push_on_gone(ox_push *push, void (*cb)(void *cls),
                              void *cls) OX_NOEXCEPT;

/**
 * Ends the stream once what was written has gone out, and releases
 * |push|: it must not be used again.  A gone callback running on another
 * thread is waited for, so the thread calling this must not hold a lock
 * that callback takes; called from the callback itself, it does not wait.
 * If |push| is NULL, this function does nothing.
 */
OX_EXPORT void ox_push_end(ox_push *push) OX_NOEXCEPT;

/** @} */

/** @} */

/**
 * @defgroup ws WebSockets
 * Two-way channels with browsers and other clients (RFC 6455), with
 * permessage-deflate (RFC 7692) when the server allows it.  A WebSocket
 * route (ox_httpsrv_add_ws_route()) is routed like any other: the
 * authenticator, CORS and the before hook see its upgrade request, and a
 * reply they send refuses it.  Once open, the connection leaves the
 * serving threads for the library's event loops (as many as the CPUs, at
 * most 4), which hold no thread per connection.  Over HTTPS libmicrohttpd
 * carries the bytes between TLS and the loop through a socket pair.
 *
 * Every callback of a connection runs on its loop's thread, one at a
 * time, and should not block: the loop's other connections wait.  The
 * sends, closes and groups below may be called from any thread.
 * Upgraded connections count against ox_httpsrv_set_con_limit().
 * @{
 */

/** A WebSocket connection. */
typedef struct ox_ws ox_ws;

/** A group of connections a message is sent to at once. */
typedef struct ox_wsgroup ox_wsgroup;

/** The kinds of data message. */
typedef enum ox_wstype {
  OX_WS_TEXT = 1,   /**< UTF-8 text */
  OX_WS_BINARY = 2  /**< bytes */
} ox_wstype;

/** What a send does when the client is slow to take what was sent. */
typedef enum ox_wsfull {
  OX_WSFULL_REFUSE = 0,  /**< the send fails with ENOBUFS (the default) */
  OX_WSFULL_CLOSE = 1,   /**< the connection is closed with 1008 */
  OX_WSFULL_RETRY = 2    /**< the connection is closed with 1013 (try
                              again later) */
} ox_wsfull;

/** The callbacks of a WebSocket route, and what it accepts. */
typedef struct ox_wshandlers {
  /** The connection is open (may be NULL).  |req| is the upgrade request
   *  (its headers, captures, cookies), valid during the call only.  Sends
   *  made here go out first; ox_ws_close() refuses the connection. */
  void (*open)(void *cls, ox_ws *ws, ox_httpreq *req);
  /** A whole message: |size| bytes at |data|, valid during the call; a
   *  text message is valid UTF-8. */
  void (*message)(void *cls, ox_ws *ws, const void *data, size_t size,
                  ox_wstype type);
  /** The connection is closed (may be NULL): the last callback of |ws|.
   *  |code| is the client's close code, 1005 when it gave none, 1006 when
   *  the connection ended without a close, or the library's own (1001
   *  draining, 1002, 1007, 1008, 1009, 1011, 1013); |reason| is its text
   *  (never NULL). */
  void (*close)(void *cls, ox_ws *ws, unsigned int code, const char *reason);
  /** Subprotocols the route speaks, most preferred first, NULL-terminated
   *  (NULL: none): the first one the client offers is chosen. */
  const char *const *protocols;
  /** Origins whose pages may connect, NULL-terminated (NULL: any); an
   *  upgrade request from another origin gets 403.  Clients that are no
   *  browser send no Origin and are let through. */
  const char *const *origins;
} ox_wshandlers;

/**
 * Adds a WebSocket route: GET requests whose path |pattern| matches whole
 * (as ox_httpsrv_add_route() matches it) are upgraded with |handlers|
 * (copied, with its lists) and |cls|.  A GET without an upgrade gets 426
 * with "Upgrade: websocket", a version other than 13 gets 426 with
 * "Sec-WebSocket-Version: 13", a malformed handshake 400.
 *
 * Returns as ox_httpsrv_add_route() does; EINVAL also for NULL |handlers|
 * or |handlers->message|.
 */
OX_EXPORT int ox_httpsrv_add_ws_route(ox_httpsrv *srv, const char *pattern,
                                      const ox_wshandlers *handlers,
                                      void *cls) OX_NOEXCEPT;

/**
 * Limits of each WebSocket connection: a message received may have
 * |message_max| bytes, inflated (default 1 MiB; a larger one closes the
 * connection with 1009), and sends may queue |queue_max| bytes the client
 * has not taken yet (default 1 MiB; a message sent on an empty queue is
 * always taken), beyond which |when_full| applies.  0 keeps a value as it
 * is.
 *
 * Returns 0, or: EINVAL   NULL |srv| or an unknown |when_full|;
 *                EALREADY the server listens already.
 */
OX_EXPORT int ox_httpsrv_set_ws_limits(ox_httpsrv *srv, size_t message_max,
                                       size_t queue_max,
                                       ox_wsfull when_full) OX_NOEXCEPT;

/**
 * Pings each WebSocket connection (and writes the ping of each push
 * stream) after |ping_interval| seconds without a message (default 30;
 * push streams are looked at once a second),
 * and closes a connection from which nothing came for |idle_timeout|
 * seconds (default 75, which outlasts two pings a live client answers).  A
 * close handshake the client leaves unanswered is cut after 5 s.  0 keeps
 * a value as it is.
 *
 * Returns 0, or: EINVAL   NULL |srv|, or |idle_timeout| not above
 *                         |ping_interval|;
 *                EALREADY the server listens already.
 */
OX_EXPORT int ox_httpsrv_set_ws_timeouts(ox_httpsrv *srv,
                                         unsigned int ping_interval,
                                         unsigned int idle_timeout)
    OX_NOEXCEPT;

/**
 * Accepts permessage-deflate when a client offers it (off by default):
 * messages of 32 bytes and more are then compressed, at the cost of about
 * 180 KiB of zlib state per connection while it keeps its context (the
 * client may ask for less with the no-context-takeover parameters).
 *
 * Returns 0, or: EINVAL   NULL |srv|;
 *                EALREADY the server listens already.
 */
OX_EXPORT int ox_httpsrv_set_ws_deflate(ox_httpsrv *srv, bool on) OX_NOEXCEPT;

/**
 * Sends a message of |size| bytes at |data| (copied) on |ws|, from any
 * thread.  It goes out at once when the socket takes it, else queued.
 *
 * Returns 0, or: EINVAL  NULL |ws|, NULL |data| with |size| above 0, an
 *                        unknown |type|, or text that is not UTF-8;
 *                EPIPE   the connection is closing or closed;
 *                ENOBUFS the queue is full (ox_httpsrv_set_ws_limits())
 *                        and its policy refuses; with the policies that
 *                        close, the send fails with EPIPE;
 *                ENOMEM.
 */
OX_EXPORT int ox_ws_send(ox_ws *ws, const void *data, size_t size,
                         ox_wstype type) OX_NOEXCEPT;

/**
 * Starts the close handshake of |ws| with |code| (1000, 1001, 1003, 1007
 * to 1014, or 3000 to 4999)
 * and |reason| (NULL: none; UTF-8, at most 123 bytes), from any thread:
 * nothing is sent after it, and the close callback follows the client's
 * answer, or 5 s.
 *
 * Returns 0, or: EINVAL  NULL |ws|, a code a server may not send, or a
 *                        reason too long or not UTF-8;
 *                EPIPE   the connection is closing or closed already.
 */
OX_EXPORT int ox_ws_close(ox_ws *ws, unsigned int code,
                          const char *reason) OX_NOEXCEPT;

/** Sets the program's pointer of |ws|; returns 0 or EINVAL. */
OX_EXPORT int ox_ws_set_data(ox_ws *ws, void *data) OX_NOEXCEPT;

/** The program's pointer of |ws|, or NULL. */
OX_EXPORT void *ox_ws_data(const ox_ws *ws) OX_NOEXCEPT;

/** The subprotocol chosen for |ws|, or NULL when none was. */
OX_EXPORT const char *ox_ws_protocol(const ox_ws *ws) OX_NOEXCEPT;

/** The client's address, as ox_httpreq_peer() gives it (never NULL). */
OX_EXPORT const char *ox_ws_peer(const ox_ws *ws) OX_NOEXCEPT;

/** The bytes queued on |ws| that the client has not taken yet. */
OX_EXPORT size_t ox_ws_queued(const ox_ws *ws) OX_NOEXCEPT;

/**
 * Keeps |ws| valid past its close callback, for a thread that may still
 * send on it (sends then fail with EPIPE): each ox_ws_ref() needs one
 * ox_ws_unref().  Without one, |ws| is valid from the open callback until
 * the close callback returns.  Returns |ws|.
 */
OX_EXPORT ox_ws *ox_ws_ref(ox_ws *ws) OX_NOEXCEPT;

/** Drops a reference of ox_ws_ref().  NULL: nothing. */
OX_EXPORT void ox_ws_unref(ox_ws *ws) OX_NOEXCEPT;

/** A new, empty group; NULL when memory runs out. */
OX_EXPORT ox_wsgroup *ox_wsgroup_new(void) OX_NOEXCEPT;

/** Releases |group|, whose members stay connected.  NULL: nothing. */
OX_EXPORT void ox_wsgroup_free(ox_wsgroup *group) OX_NOEXCEPT;

/**
 * Adds |ws| to |group|, from any thread; a connection leaves its groups by
 * itself when it closes.
 *
 * Returns 0, or: EINVAL  NULL arguments;
 *                EEXIST  |ws| is a member already;
 *                EPIPE   |ws| is closing or closed;
 *                ENOMEM.
 */
OX_EXPORT int ox_wsgroup_join(ox_wsgroup *group, ox_ws *ws) OX_NOEXCEPT;

/** Takes |ws| out of |group|.  Returns 0, EINVAL, or ENOENT. */
OX_EXPORT int ox_wsgroup_leave(ox_wsgroup *group, ox_ws *ws) OX_NOEXCEPT;

/**
 * Sends a message to every member of |group|, from any thread: the frame
 * is made once for all of them (uncompressed), and each member's queue
 * limit and policy apply to it alone.  |except| (may be NULL) is left
 * out.  Returns 0, EINVAL (as ox_ws_send()) or ENOMEM.
 */
OX_EXPORT int ox_wsgroup_send(ox_wsgroup *group, const void *data,
                              size_t size, ox_wstype type,
                              const ox_ws *except) OX_NOEXCEPT;

/** The members of |group|. */
OX_EXPORT size_t ox_wsgroup_size(const ox_wsgroup *group) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup httplog Access log
 * The record ox_httpsrv_set_log() hands its callback, and writers in the
 * Common and the Combined Log Formats.  The record, and every pointer its
 * getters hand out, live until the callback returns: a callback that keeps
 * a text copies it.
 * @{
 */

/** Returns the request's method ("GET", ...). */
OX_EXPORT const char *ox_httplog_method(ox_httplog *rec) OX_NOEXCEPT;

/** Returns the request's decoded path, without the query. */
OX_EXPORT const char *ox_httplog_path(ox_httplog *rec) OX_NOEXCEPT;

/**
 * Returns the request target as the client sent it, query included and
 * nothing decoded ("/notes?limit=2", "/a%20b", or an absolute form
 * "http://host/x").  Its bytes are the client's: escape them before they
 * go into a text log, as the writers below do.
 */
OX_EXPORT const char *ox_httplog_target(ox_httplog *rec) OX_NOEXCEPT;

/**
 * Returns the value of the request header |name| (any case: "user-agent"
 * finds "User-Agent"), or NULL when the request has none.  Of a header
 * sent several times the first line is returned; ox_httpreq_headers()
 * holds them all.  The host of an absolute-form target stands for the
 * Host header, as in ox_httpreq_headers().  The value is read from the
 * connection when asked, so a log that asks for no header costs nothing;
 * like the record it lives until the callback returns.  Its bytes are the
 * client's.  NULL with errno EINVAL for a NULL |rec| or |name|.
 */
OX_EXPORT const char *ox_httplog_header(ox_httplog *rec,
                                        const char *name) OX_NOEXCEPT;

/**
 * Returns the id the program gave the request with ox_httpreq_set_log_id(),
 * or NULL when it gave none.
 */
OX_EXPORT const char *ox_httplog_id(ox_httplog *rec) OX_NOEXCEPT;

/** Returns the request's HTTP version ("HTTP/1.1"). */
OX_EXPORT const char *ox_httplog_version(ox_httplog *rec) OX_NOEXCEPT;

/**
 * Returns the status of the reply that went out, the library's own (404,
 * 413, ...) included, or 0 when none did (the connection closed first).
 */
OX_EXPORT unsigned int ox_httplog_status(ox_httplog *rec) OX_NOEXCEPT;

/**
 * Returns the body bytes sent: the reply's length when it went out whole,
 * what a stream of unknown length produced, 0 for HEAD, for 1xx, 204 and
 * 304, and for a reply of known length whose connection broke.
 */
OX_EXPORT uint64_t ox_httplog_bytes(ox_httplog *rec) OX_NOEXCEPT;

/** Returns the microseconds from the request head's arrival to the end. */
OX_EXPORT uint64_t ox_httplog_duration(ox_httplog *rec) OX_NOEXCEPT;

/** Returns when the request head arrived, in seconds since the epoch. */
OX_EXPORT time_t ox_httplog_time(ox_httplog *rec) OX_NOEXCEPT;

/** Returns the client's address, as ox_httpreq_peer() does. */
OX_EXPORT const char *ox_httplog_peer(ox_httplog *rec) OX_NOEXCEPT;

/**
 * Returns the Basic user name the request carried (whether or not it was
 * accepted), or NULL: none, or credentials that are not well-formed.
 */
OX_EXPORT const char *ox_httplog_user(ox_httplog *rec) OX_NOEXCEPT;

/**
 * An ox_httplog_cb that writes one line in the Common Log Format to the
 * stdio stream |cls| (a FILE *, such as stdout):
 *
 *     127.0.0.1 - - [08/Dec/2026:11:30:00 +0000] "GET /x?n=1 HTTP/1.1" 200 12
 *
 * peer, "-", the Basic user or "-", the time in UTC, the request line (the
 * target as sent, query included), the status ("-" for none), the body
 * bytes ("-" for none).  Bytes of the client's text that could forge or
 * break a line (controls, '"', '\\', non-ASCII) are written as \\xHH, and
 * in the user, which stands outside quotes, spaces and brackets too.  A
 * line is written whole under the stream's lock, so lines of serving
 * threads never interleave; the stream's buffering decides when it
 * reaches the file (fflush() it, or make it line-buffered, to see each at
 * once).  A NULL |cls| or |rec| does nothing.
 */
OX_EXPORT void ox_httplog_clf(void *cls, ox_httplog *rec) OX_NOEXCEPT;

/**
 * As ox_httplog_clf(), in the Combined Log Format: the same line, then the
 * Referer and the User-Agent quoted, each "-" when the request has none
 * (or an empty one), and escaped as the request line is:
 *
 *     127.0.0.1 - - [08/Dec/2026:11:30:00 +0000] "GET / HTTP/1.1" 200 12
 *         "https://example.com/" "curl/7.88.1"
 *
 * (one line).  When the program gave the request an id
 * (ox_httpreq_set_log_id()) it follows as one more quoted field,
 * "... "curl/7.88.1" "req-42""; without an id the line ends after the
 * User-Agent, so that tools that read the Combined Log Format read it.
 */
OX_EXPORT void ox_httplog_combined(void *cls, ox_httplog *rec) OX_NOEXCEPT;

/** @} */

/**
 * @defgroup httpauth Basic authentication
 * For the callback given to ox_httpsrv_new2().
 * @{
 */

/**
 * Sets the realm the 401 challenge names (copied; once per request:
 * EALREADY).  It goes out as a quoted string, its quotes and backslashes
 * escaped.  EINVAL for a realm with a control byte (a line break would
 * end the header) or over 512 bytes.
 */
OX_EXPORT int ox_httpauth_set_realm(ox_httpauth *auth,
                                    const char *realm) OX_NOEXCEPT;

/** Returns the realm set, or NULL while none was set. */
OX_EXPORT const char *ox_httpauth_realm(ox_httpauth *auth) OX_NOEXCEPT;

/**
 * Prepares the denial: |reason| as body (copied) with |content_type| and
 * |status| (100 to 599).  A 401 goes out as a Basic challenge naming the
 * realm ("Ombrix realm" when none was set); other statuses go out plain.
 * The callback then returns false.  Returns 0, EINVAL, EALREADY (denied
 * already), ENOMEM.
 */
OX_EXPORT int ox_httpauth_deny2(ox_httpauth *auth, const char *reason,
                                const char *content_type,
                                unsigned int status) OX_NOEXCEPT;

/** ox_httpauth_deny2() with status 401. */
OX_EXPORT int ox_httpauth_deny(ox_httpauth *auth, const char *reason,
                               const char *content_type) OX_NOEXCEPT;

/**
 * Cancels the request.  Alone, the connection is closed without a reply; after
 * or before a denial, the denial is dropped and the core answers 500.
 */
OX_EXPORT int ox_httpauth_cancel(ox_httpauth *auth) OX_NOEXCEPT;

/**
 * Returns the Basic user name the client sent, or NULL: also for
 * credentials that are not well-formed base64 of "user:password" or that
 * hold a control byte (an encoded NUL would otherwise cut the password
 * short, so that "secret\0junk" passed for "secret").
 */
OX_EXPORT const char *ox_httpauth_usr(ox_httpauth *auth) OX_NOEXCEPT;

/** Returns the Basic password the client sent, or NULL (as the user name). */
OX_EXPORT const char *ox_httpauth_pwd(ox_httpauth *auth) OX_NOEXCEPT;

/** @} */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* OMBRIX_H */
