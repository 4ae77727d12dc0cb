/* A minimal Kestro host: start-up with a message window, set kV, mA and ms, wait for one
   exposure's notifications, close cleanly.

   The library reads its settings below the host directory: the directory of this
   program, or KESTRO_HOST_DIR when set (`kestro init DIR` writes an example to edit).
   Serial port N is the device named by KESTRO_COM<N> (for example /dev/ttyUSB0).

   usage: host [KV [MA_TENTHS [MS_TENTHS [SECONDS]]]]   (default 80 kV, 20.0 mA, 100.0 ms, 60 s) */

#include <kestro/kestro.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define WM_GEN_NOTIFY 0x7E8

static const char* meaning(uintptr_t w, intptr_t l) {
    switch (w) {
        case 1: return l == 2 ? "exposure started" : l == 1 ? "exposure ended" : "exposure state 2";
        case 2: return l == 1 ? "prepare released" : l == 2 ? "preparing" : "ready to expose";
        case 3: return "fluoroscopy prepare";
        case 4: return "fluoroscopy";
        case 5: return "error log entry";
        case 6: return "generator error";
        case 9: return "ready light";
        default: return "notification";
    }
}

int main(int argc, char** argv) {
    const int kv = argc > 1 ? atoi(argv[1]) : 80;
    const int ma = argc > 2 ? atoi(argv[2]) : 200;  /* tenths of mA */
    const int ms = argc > 3 ? atoi(argv[3]) : 1000; /* tenths of ms */
    const int seconds = argc > 4 ? atoi(argv[4]) : 60;

    HWND window = KestroCreateMessageWindow();
    /* Reads the settings, opens the port, pauses 500 ms, starts the link threads and
       checks that the generator answers. */
    int r = IO_InitGenerator(window);
    if (r != 1) {
        fprintf(stderr, "start-up failed: %d (0 port, -1 threads, -2 no answer, -5 compatibility)\n", r);
        IO_DeleteRes();
        KestroDestroyMessageWindow(window);
        return 1;
    }
    printf("generator ready%s\n", IO_SetDemoMode(1, 0) ? " (demonstration mode)" : "");
    printf("set: %d kV, %.1f mA, %.1f ms\n", IO_RadKVValue(0, kv), IO_RadMAValue(0, ma) / 10.0,
           IO_RadMSValue(0, ms) / 10.0);
    printf("waiting for an exposure\n");
    fflush(stdout);

    int started = 0, ended = 0;
    time_t deadline = time(NULL) + seconds;
    KestroMessage m;
    while (!ended && time(NULL) < deadline) {
        if (KestroGetMessage(window, &m, 500) != 1 || m.message != WM_GEN_NOTIFY) continue;
        printf("notification (%lu, %ld): %s", (unsigned long)m.wParam, (long)m.lParam, meaning(m.wParam, m.lParam));
        if (m.wParam == 5 || m.wParam == 6) printf(": %s", IO_GetErrorMessage((int)m.lParam).text);
        printf("\n");
        fflush(stdout);
        if (m.wParam == 1 && m.lParam == 2) started = 1;
        if (started && m.wParam == 2 && m.lParam == 1) ended = 1; /* hand switch released */
    }
    if (ended)
        printf("exposure done: %.1f mAs in %.1f ms\n", IO_GetPostMASValue() / 10.0, IO_GetPostTIMEValue() / 10.0);
    else
        printf("no exposure within %d s\n", seconds);

    IO_CloseComm(1);
    IO_DeleteRes(); /* stops and joins the link threads */
    KestroDestroyMessageWindow(window);
    return ended ? 0 : 1;
}
