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

#if defined(_WIN32)
/* The framework's objects, as Windows hosts (MFC 4.2 programs) pass them. The exports
   whose plain C form takes a `const char*` text by value (KestroStringArg in the export
   table), returns a KestroString, or fills a KestroUIntArray take and return these on
   Windows instead; see docs/exports.md. */

/* The header in front of a string object's characters. */
typedef struct KestroStringData {
    long refs;       /* reference count; -1 marks the shared empty string (never freed) */
    int length;      /* characters, without the terminating zero */
    int allocLength; /* room for characters, without the terminating zero */
    /* char text[allocLength + 1] follows */
} KestroStringData;

/* A string object: one pointer to zero-terminated characters preceded by a
   KestroStringData header, allocated on msvcrt.dll's heap (operator new). Passed by
   value, the callee releases it. Returned by value, the caller passes the address of
   an uninitialised object as a hidden first argument; the export constructs the string
   there and returns that address. */
typedef struct KestroStringObject {
    char* text;
} KestroStringObject;

/* An unsigned-int array object. The library never touches `vtable`; it empties and
   fills the array, replacing `data` (msvcrt.dll's operator new and delete) when it needs
   more room than `maxSize`. */
typedef struct KestroUIntArrayObject {
    const void* vtable;
    UINT* data;
    int size;
    int maxSize;
    int growBy;
} KestroUIntArrayObject;
#endif

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
