/* The six service functions, exported from the module with C linkage.
 *
 * They run on the caller's thread. Text arguments must be NUL-terminated;
 * a null text counts as empty. Results: 1 success, 0 failure; constructors
 * return the new object or null. Handles are untyped pointers owned by the
 * caller until the matching destroy_ call.
 */
#ifndef DATA_SERVICE_EXPORTS_H
#define DATA_SERVICE_EXPORTS_H

#if defined(_WIN32)
#define DS_EXPORT __declspec(dllexport)
#else
#define DS_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Creates a service client, loads the definition file (definition_path, or
 * "ConfigSerializationDef.txt" in the working directory when empty) and
 * connects to host:port. Connection events are reported in status_record, a
 * caller-owned DataServiceNamespace::ServiceError that must outlive the
 * service (or null). Returns null only when the client cannot be allocated. */
DS_EXPORT void *create_service(char *host, int port, char *definition_path, void *status_record);

/* Points the service at another endpoint; a null status_record keeps the
 * earlier one. Returns 0 for a null service, else 1. */
DS_EXPORT int service_connect(void *service, char *host, int port, void *status_record);

/* Destroys a service; pending requests are dropped without completion.
 * Returns 1. */
DS_EXPORT int destroy_service(void *service);

/* Sends a request of the named action. request is a record of the action's
 * request type; response (or null) a record of its response type that is
 * completed later, on another thread, ending with error.processingOK = 1.
 * Returns 1 when the request was handed on, 0 for a null service or callback
 * or an unknown action. */
DS_EXPORT int send_service_request(void *service, char *action, void *request, void *callback,
                                   void *response);

/* A new callback object for the named action, or null for an unknown name. */
DS_EXPORT void *create_callback_functor(char *action);

/* Releases a callback object; action must be any known action name. Returns
 * 1 when released, else 0. */
DS_EXPORT int destroy_callback_functor(char *action, void *callback);

#ifdef __cplusplus
}
#endif

#endif /* DATA_SERVICE_EXPORTS_H */
