/* velorn_ipc: request and response exchange over TCP.
 *
 * A caller channel connects to one TCP endpoint and sends requests; each
 * request carries a 64-bit token and a 32-bit method id and is answered by
 * exactly one call of its response handler. A callee channel listens, hands
 * every accepted connection to an accept handler and delivers the requests
 * that arrive on a connection to its request handler, which answers them with
 * callee_async_send_ipc_response.
 *
 * Threads: the library runs its own I/O threads while the module count
 * (initial_velorn_ipc_module / release_velorn_ipc_module) is above zero. All
 * handlers run on those threads, never on the thread of the call that
 * registered them. Handlers of one connection are not called concurrently
 * with each other; handlers of different channels may run at the same time.
 *
 * Handles are pointer-sized integers, 0 meaning none. A destroyed or unknown
 * handle is refused with VELORN_IPC_EINVAL; handle values are never reused.
 *
 * The wire format, the codes below and the reconnection rules are described
 * in docs/ipc.md.
 */
#ifndef VELORN_IPC_H
#define VELORN_IPC_H

#include <stdint.h>

#if defined(_WIN32)
#define VELORN_IPC_API __declspec(dllexport)
#else
#define VELORN_IPC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uintptr_t velorn_ipc_handle;

/* Codes: results of the calls and the code argument of the handlers. */
#define VELORN_IPC_OK 0
#define VELORN_IPC_EINVAL 1     /* unknown handle, null argument, bad port, module not initialised */
#define VELORN_IPC_ECONNLOST 2  /* the connection closed while the request was in flight */
#define VELORN_IPC_ECONNECT 3   /* the connection could not be made */
#define VELORN_IPC_ETOOBIG 4    /* the message is larger than VELORN_IPC_MAX_PAYLOAD */
#define VELORN_IPC_ECLOSED 5    /* the channel was closed before the request could be sent */
#define VELORN_IPC_ETIMEDOUT 6  /* no reply within the request's timeout */
#define VELORN_IPC_EPROTO 7     /* the peer sent a frame that is not of this protocol */
#define VELORN_IPC_EADDR 8      /* the host could not be resolved or the address not bound */
#define VELORN_IPC_ENOMEM 9     /* the library ran out of memory; nothing was queued */

/* Largest payload of one frame; a peer announcing more is disconnected. */
#define VELORN_IPC_MAX_PAYLOAD (64u * 1024u * 1024u)

/* Connection handler: handle is the channel, status is VELORN_IPC_OK when the
 * connection was made, a nonzero code when it was lost or could not be made. */
typedef void (*velorn_ipc_connection_handler)(velorn_ipc_handle handle, void *context,
                                              int32_t status);

/* Response and request handler. For a response, handle is the caller channel
 * and code is VELORN_IPC_OK with the reply's bytes, or a nonzero code with no
 * bytes (size 0, buffer null). For a request, handle is the accepted
 * connection to answer on and code is VELORN_IPC_OK. The buffer belongs to
 * the library and is valid only during the call. */
typedef void (*velorn_ipc_message_handler)(velorn_ipc_handle handle, void *context,
                                           uint64_t token, uint32_t method_id,
                                           uint32_t size, const char *buffer,
                                           int32_t code);

/* Accept handler: handle is the listening channel, connection the new
 * connection's handle. Its result is not used by the library. */
typedef int (*velorn_ipc_accept_handler)(velorn_ipc_handle handle, void *context,
                                         velorn_ipc_handle connection);

/* Starts the library's threads on the first call; every call must be paired
 * with one release_velorn_ipc_module. Returns VELORN_IPC_OK. */
VELORN_IPC_API int initial_velorn_ipc_module(void);

/* Ends one initialisation. The last release destroys every channel still
 * open (no handler is called for them afterwards; it waits for the handlers
 * that are running) and stops the threads. Returns VELORN_IPC_OK, or
 * VELORN_IPC_EINVAL when the module is not initialised or when the last
 * release is attempted from a handler (it would wait for its own thread; the
 * count is then left unchanged). */
VELORN_IPC_API int release_velorn_ipc_module(void);

/* A token that is unique within the process; never 0. Thread-safe. */
VELORN_IPC_API uint64_t create_ipc_token(void);

/* Creates a caller channel to host:port and starts connecting in the
 * background. Returns 0 when the module is not initialised, host is null or
 * empty, or the port is outside 1..65535. After a failed attempt or a lost
 * connection the channel stays disconnected until the next request, which
 * starts a new attempt (reconnection on demand). */
VELORN_IPC_API velorn_ipc_handle caller_create_ipc_channel_tcp(const char *host, int port);

/* Registers the handler called with a nonzero status when the connection is
 * lost or cannot be made. Registered while the channel is already failed, it
 * is called once for that failure. Returns VELORN_IPC_OK or VELORN_IPC_EINVAL. */
VELORN_IPC_API int caller_set_connection_lost_callback(velorn_ipc_handle channel,
                                                       velorn_ipc_connection_handler handler,
                                                       void *context);

/* Registers the handler called with status 0 each time the channel connects.
 * Registered while the channel is already connected, it is called once for
 * that connection. Returns VELORN_IPC_OK or VELORN_IPC_EINVAL. */
VELORN_IPC_API int caller_set_on_connected_callback(velorn_ipc_handle channel,
                                                    velorn_ipc_connection_handler handler,
                                                    void *context);

/* Sends one request. The bytes are copied before the call returns. When the
 * result is VELORN_IPC_OK the handler is called exactly once later, with the
 * request's token and method id: with the reply, or with a nonzero code (6
 * when timeout_ms milliseconds passed without a reply, 2 when the connection
 * was lost, 3 or 8 when it could not be made, 7 when the peer broke the
 * protocol, 4 when size exceeds VELORN_IPC_MAX_PAYLOAD). A reply arriving
 * after that is dropped. A timeout_ms of 0 or less means no deadline. A
 * request sent while the channel connects, or after it lost its connection,
 * waits for a (re)connection within its timeout. When the result is not
 * VELORN_IPC_OK (unknown channel, null handler, null buffer with a nonzero
 * size, out of memory) the handler is never called. */
VELORN_IPC_API int caller_async_send_ipc_request(velorn_ipc_handle channel,
                                                 velorn_ipc_message_handler handler,
                                                 void *context, uint64_t token,
                                                 uint32_t method_id, uint32_t size,
                                                 const char *buffer, int32_t timeout_ms);

/* Closes a caller channel. Requests still pending are dropped without a
 * handler call. When this returns, no handler of the channel runs or will run
 * (handlers running on other threads have finished); it may be called from
 * one of the channel's own handlers. */
VELORN_IPC_API int caller_destroy_ipc_channel(velorn_ipc_handle channel);

/* Creates a listening channel bound to host:port (port 0 picks a free port,
 * see callee_ipc_channel_port; an empty host listens on every IPv4 address).
 * Binding happens before the call returns; returns 0 when it fails. */
VELORN_IPC_API velorn_ipc_handle callee_create_ipc_channel_tcp(const char *host, int port);

/* Starts accepting on a listening channel: the handler is called once per
 * accepted connection. Returns VELORN_IPC_OK or VELORN_IPC_EINVAL. */
VELORN_IPC_API int callee_accept_ipc_channel(velorn_ipc_handle channel,
                                             velorn_ipc_accept_handler handler,
                                             void *context);

/* Starts receiving on an accepted connection: the handler is called once per
 * request, for every request on it, until the connection closes or is
 * destroyed. Returns VELORN_IPC_OK or VELORN_IPC_EINVAL. */
VELORN_IPC_API int callee_async_recv_ipc_request(velorn_ipc_handle connection,
                                                 velorn_ipc_message_handler handler,
                                                 void *context);

/* Queues the response to a request. The bytes are copied before the call
 * returns. handler and context are not used. When the response has not been
 * written within timeout_ms milliseconds (the peer does not read), the
 * connection is closed; 0 or less means no deadline. A connection that closed
 * leaves the registry by itself. Returns VELORN_IPC_OK, VELORN_IPC_EINVAL
 * (unknown or closed connection, null buffer with a nonzero size) or
 * VELORN_IPC_ETOOBIG. */
VELORN_IPC_API int callee_async_send_ipc_response(velorn_ipc_handle connection,
                                                  velorn_ipc_message_handler handler,
                                                  void *context, uint64_t token,
                                                  uint32_t method_id, uint32_t size,
                                                  const char *buffer, int32_t timeout_ms);

/* Lets a listening channel finish its work before it is destroyed. It stops
 * accepting (new connection attempts are refused), every connection it
 * accepted stops reading requests, and the call waits until each request
 * already delivered to a request handler has had its response written to the
 * socket, or until timeout_ms milliseconds passed (0 or less: no deadline).
 * Responses may still be sent while it waits; requests not yet delivered are
 * never delivered. Requests and responses are matched by count on each
 * connection, not by token. Destroy the channel afterwards with
 * callee_destroy_ipc_channel, which also closes the connections. Must not be
 * called from a handler (it would wait for the library's own threads).
 * Returns VELORN_IPC_OK when everything was answered, VELORN_IPC_ETIMEDOUT
 * when the time ran out first, VELORN_IPC_EINVAL for a handle that is not a
 * listening channel or a call from a handler. */
VELORN_IPC_API int callee_drain_ipc_channel(velorn_ipc_handle listening, int32_t timeout_ms);

/* Closes a listening channel (and every connection it accepted) or one
 * accepted connection. Same guarantee as caller_destroy_ipc_channel.
 * Returns VELORN_IPC_OK or VELORN_IPC_EINVAL. */
VELORN_IPC_API int callee_destroy_ipc_channel(velorn_ipc_handle channel);

/* The local TCP port of a listening channel, 0 for an unknown handle. */
VELORN_IPC_API int callee_ipc_channel_port(velorn_ipc_handle channel);

#ifdef __cplusplus
}
#endif

#endif /* VELORN_IPC_H */
