#ifndef KESTRO_TYPES_H
#define KESTRO_TYPES_H
/* Basic types and calling convention of the Kestro C interface. */

#include <stdint.h>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#else
/* An opaque window handle. On POSIX a handle comes from KestroCreateMessageWindow. */
typedef void* HWND;
typedef unsigned char BYTE;
typedef uint32_t UINT;
#endif

/* Exports use the standard Windows calling convention on 32-bit Windows. */
#if defined(_WIN32) && !defined(_WIN64)
#  define KESTRO_CALL __stdcall
#else
#  define KESTRO_CALL
#endif

#if defined(_WIN32)
#  if defined(KESTRO_BUILDING_LIBRARY)
/* The module-definition file names every export and its ordinal. */
#    define KESTRO_API
#  else
#    define KESTRO_API __declspec(dllimport)
#  endif
#else
#  define KESTRO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A text returned by value. `text` points to storage owned by the library that stays
   valid until the same thread calls the same export again. Never NULL. */
typedef struct KestroString {
    const char* text;
} KestroString;

/* An array of unsigned integers filled by the library. The caller owns the object and
   `items` with room for `capacity` entries. The library sets `count` to the number of
   values it has and writes them to items[0..count-1]; when `capacity` is too small it
   writes nothing, sets `count` to the number needed and the export fails. */
typedef struct KestroUIntArray {
    uint32_t* items;
    int count;
    int capacity;
} KestroUIntArray;

/* An APR technique in generator units (mA, ms, mAs in tenths). */
typedef struct _APRDataInfo {
    int32_t kV;
    int32_t mA;
    int32_t ms;
    int32_t mAs;
    int32_t workstation; /* digit as sent, 0..9 */
    int32_t focus;       /* 0 small, 1 large */
    int32_t technique;   /* 0..3 */
    int32_t field;       /* AEC field combination 1..7 */
    int32_t film;        /* 0, 1 or 2 */
    int32_t density;     /* -8..+8 */
} _APRDataInfo;

/* The same technique in physical units. */
typedef struct _APRSourceData {
    int32_t kV;
    float mA;
    float ms;
    float mAs;
    int32_t workstation; /* 0-based */
    int32_t focus;
    int32_t technique;
    int32_t field;
    int32_t film;
    int32_t density;
} _APRSourceData;

/* Window messages posted to the host. */
#define WM_GEN_NOTIFY 0x7E8     /* WM_USER + 1000 */
#define WM_CONSOLE_NOTIFY 0x7EA /* WM_USER + 1002 */

#ifdef __cplusplus
}
#endif

#endif /* KESTRO_TYPES_H */
