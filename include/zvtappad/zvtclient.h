/* The client services' own API for programs that embed the client: how the
 * messages the client wants to show reach the user. */
#ifndef ZVTAPPAD_ZVTCLIENT_H_
#define ZVTAPPAD_ZVTCLIENT_H_

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ZVTCLIENT_EXPORT /* zvtclient.dll exports its whole interface */
#else
#define ZVTCLIENT_EXPORT __attribute__((visibility("default")))
#endif

/* Shows one message box; returns the button chosen (1 for OK), 0 when
 * nothing was shown. Texts are UTF-16 and zero-terminated. */
typedef int (*zvtclient_DisplayHandler)(const char16_t* text, const char16_t* caption,
                                        uint32_t style, void* context);

/* Installs `handler` (NULL: the default, standard error of an interactive
 * process, else the message log). */
ZVTCLIENT_EXPORT void zvtclient_SetDisplayHandler(
    zvtclient_DisplayHandler handler, void* context);

/* A handle of the process's system object for a configured system (0 on
 * success), for the library's `Ex` exports. Texts are UTF-16. */
ZVTCLIENT_EXPORT uint32_t zvtsvc_GetSystemHandle(
    const char16_t* system_name, const char16_t* application_name, uint64_t* handle);

#ifdef __cplusplus
}
#endif

#endif /* ZVTAPPAD_ZVTCLIENT_H_ */
