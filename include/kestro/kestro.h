#ifndef KESTRO_H
#define KESTRO_H
/* Kestro: the X-ray generator control library. The one header a host includes. */

#include <kestro/kestro_types.h>
#include <kestro/kestro_exports.h> /* generated from the export table */

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(_WIN32)
/* Message windows (POSIX only; on Windows the host passes real window handles).
   Notifications posted by the library to such a handle queue up in order. */
typedef struct KestroMessage {
    uint32_t message;  /* WM_GEN_NOTIFY or WM_CONSOLE_NOTIFY */
    uintptr_t wParam;
    intptr_t lParam;
} KestroMessage;

/* Creates a window handle that can be given to IO_SetMsghWnd / IO_SetMsghWndA. */
KESTRO_API HWND KestroCreateMessageWindow(void);
/* Takes the oldest message: 1 got one, 0 timed out, -1 not a window (or destroyed while
   waiting). timeoutMs < 0 waits without limit. */
KESTRO_API int KestroGetMessage(HWND window, KestroMessage* out, int timeoutMs);
/* Destroys the handle; later posts to it are ignored. */
KESTRO_API void KestroDestroyMessageWindow(HWND window);
#endif

#ifdef __cplusplus
}
#endif

#endif /* KESTRO_H */
