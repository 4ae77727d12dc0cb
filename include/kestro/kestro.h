#ifndef KESTRO_H
#define KESTRO_H
/* Kestro: the X-ray generator control library. The one header a host includes. */

#include <kestro/kestro_types.h>
#include <kestro/kestro_exports.h> /* generated from the export table */

#ifdef __cplusplus
extern "C" {
#endif

/* Link statistics: counters of the active link since it was built. roundTripUs[i]
   counts acknowledged exchanges whose answer came within the i-th bucket after the
   frame went out; the bucket bounds (exclusive, microseconds) are 100, 250, 500, 1000,
   2500, 5000, 10000, 25000, 50000, 100000, 250000, and the last bucket takes the rest. */
#define KESTRO_RTT_BUCKETS 12
typedef struct KestroLinkStatistics {
    uint64_t framesSent;     /* command and data frames written whole */
    uint64_t acknowledged;   /* acknowledged exchanges that got their answer */
    uint64_t timedOut;       /* attempts whose answer did not come in time */
    uint64_t retried;        /* frames sent again after an attempt timed out */
    uint64_t naks;           /* NAK bytes received */
    uint64_t checksumErrors; /* messages and data-bag replies with a wrong checksum */
    uint64_t resyncs;        /* unit starts refused: stray byte, bad header, over-long */
    uint64_t droppedUnits;   /* units abandoned half-way (no byte within the limit) */
    uint64_t lateAnswers;    /* answers of timed-out attempts absorbed */
    uint64_t reconnections;  /* times a vanished port was opened again */
    uint64_t roundTripUs[KESTRO_RTT_BUCKETS];
} KestroLinkStatistics;

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

/* Copies the statistics of the active link (KestroLinkStatistics above): 1 copied, 0
   no link or out is null. */
KESTRO_API int KestroGetLinkStatistics(KestroLinkStatistics* out);

/* Progress of the import or export that runs (IO_ExportGenData, IO_ImportGenData, the
   partial imports and their GSI forms). These run for minutes and block their caller;
   any other thread may call KestroGetTransferProgress meanwhile. The totals are known
   before the first record goes out; a record is one tube record, one packet record, one
   power/time table row, or (export) the compatibility block or the end mark. */
enum {
    KESTRO_TRANSFER_NONE = 0,
    KESTRO_TRANSFER_EXPORT = 1,
    KESTRO_TRANSFER_IMPORT = 2,
    KESTRO_TRANSFER_IMPORT_TUBE_CALIBRATION = 3,
    KESTRO_TRANSFER_IMPORT_DAP_CALIBRATION = 4,
    KESTRO_TRANSFER_IMPORT_AEC_CALIBRATION = 5,
    KESTRO_TRANSFER_IMPORT_OTHER_DATA = 6
};
typedef struct KestroTransferProgress {
    int32_t operation;    /* KESTRO_TRANSFER_*: the running one, else the last one */
    int32_t running;      /* 1 while it runs */
    int32_t recordsDone;  /* records transferred so far */
    int32_t recordsTotal; /* records of the whole operation */
    int64_t elapsedMs;    /* since it started (to its end once finished) */
    int32_t result;       /* once finished: its result (1 success, 0 failure) */
    int32_t sectionNumber; /* 1-based number of the section being transferred */
    int32_t sectionCount;  /* sections of the whole operation */
    char section[64];     /* the section being transferred, as the trace names it */
} KestroTransferProgress;

/* 1 an operation runs, 0 none runs (out describes the last one, all zero before the
   first), -1 no out pointer or the library is not loaded. */
KESTRO_API int KestroGetTransferProgress(KestroTransferProgress* out);
#endif

#ifdef __cplusplus
}
#endif

#endif /* KESTRO_H */
