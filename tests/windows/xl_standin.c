/* A stand-in for the CAN interface vendor's driver DLL, for the Wine tests only (never
   shipped). Built as vxlapi.dll (vxlapi64.dll for 64-bit) beside the host, it implements
   the XL calls the library's CAN adapter uses over a socketcand connection (raw mode) to
   kestro-sim, and records every call with its arguments, one line each.

   The hardware it reports: channel 0 is not CAN-capable, channels 1 and 2 are (hardware
   type 57, index 0, channels 0..2); channel i has mask 1 << i. The application
   registry starts empty, so a first start registers the CAN channels.

   KESTRO_XL_SOCKETCAND  HOST:PORT:BUS of the socketcand server (required to open a port)
   KESTRO_XL_RECORD      file the calls are appended to (default xl_calls.txt)       */

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define XLAPI __declspec(dllexport) __stdcall

typedef short XLstatus;
typedef uint64_t XLaccess;
typedef long XLportHandle;
typedef void* XLhandle;

#pragma pack(push, 8)
typedef struct {
    unsigned long id;
    unsigned short flags;
    unsigned short dlc;
    uint64_t res1;
    unsigned char data[8];
    uint64_t res2;
} XLcanMsg;
typedef struct {
    unsigned char tag;
    unsigned char chanIndex;
    unsigned short transId;
    unsigned short portHandle;
    unsigned char flags;
    unsigned char reserved;
    uint64_t timeStamp;
    union {
        XLcanMsg msg;
        unsigned char raw[32];
    } tagData;
} XLevent;
#pragma pack(pop)

#pragma pack(push, 1)
typedef struct {
    char name[32];
    unsigned char hwType, hwIndex, hwChannel;
    unsigned short transceiverType, transceiverState, configError;
    unsigned char channelIndex;
    XLaccess channelMask;
    unsigned int channelCapabilities, channelBusCapabilities;
    unsigned char isOnBus;
    unsigned int connectedBusType;
    unsigned char busParams[32];
    unsigned int rest[15];
    char transceiverName[32];
    unsigned char tail[40];
} XLchannelConfig;
typedef struct {
    unsigned int dllVersion, channelCount, reserved[10];
    XLchannelConfig channel[64];
} XLdriverConfig;
#pragma pack(pop)

typedef char checkEvent[sizeof(XLevent) == 48 ? 1 : -1];
typedef char checkChannel[sizeof(XLchannelConfig) == 227 ? 1 : -1];

#define CHANNELS 3
#define HW_TYPE 57
#define PORT 1
#define QUEUE 512

static CRITICAL_SECTION g_lock;
static int g_registry[2] = {-1, -1};  /* application channel -> hardware channel */
static SOCKET g_socket = INVALID_SOCKET;
static HANDLE g_event;
static HANDLE g_reader;
static XLevent g_queue[QUEUE];
static int g_head, g_count;
static unsigned long g_first = 0, g_last = 0x7FF;  /* accepted identifiers */
static int g_active;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&g_lock);
    return TRUE;
}

static void record(const char* format, ...) {
    const char* path = getenv("KESTRO_XL_RECORD");
    FILE* f = fopen(path && *path ? path : "xl_calls.txt", "ab");
    if (!f) return;
    va_list args;
    va_start(args, format);
    vfprintf(f, format, args);
    va_end(args);
    fputs("\n", f);
    fclose(f);
}

static XLaccess maskOf(int channel) { return (XLaccess)1 << channel; }

XLstatus XLAPI xlOpenDriver(void) {
    record("xlOpenDriver");
    return 0;
}

XLstatus XLAPI xlCloseDriver(void) {
    record("xlCloseDriver");
    return 0;
}

XLstatus XLAPI xlClosePort(XLportHandle port) {
    record("xlClosePort port %ld", port);
    return 0;
}

XLstatus XLAPI xlGetDriverConfig(XLdriverConfig* config) {
    record("xlGetDriverConfig");
    memset(config, 0, sizeof *config);
    config->channelCount = CHANNELS;
    for (int i = 0; i < CHANNELS; ++i) {
        XLchannelConfig* c = &config->channel[i];
        snprintf(c->name, sizeof c->name, "Stand-in channel %d", i + 1);
        c->hwType = HW_TYPE;
        c->hwIndex = 0;
        c->hwChannel = (unsigned char)i;
        c->channelIndex = (unsigned char)i;
        c->channelMask = maskOf(i);
        c->channelBusCapabilities = i == 0 ? 0x00020002u : 0x00010001u; /* channel 0: not CAN */
    }
    return 0;
}

XLstatus XLAPI xlGetApplConfig(char* name, unsigned appChannel, unsigned* hwType, unsigned* hwIndex,
                               unsigned* hwChannel, unsigned busType) {
    XLstatus status = 0;
    if (appChannel > 1 || g_registry[appChannel] < 0) {
        status = 101; /* XL_ERR_WRONG_PARAMETER: not registered */
    } else {
        *hwType = HW_TYPE;
        *hwIndex = 0;
        *hwChannel = (unsigned)g_registry[appChannel];
    }
    record("xlGetApplConfig %s %u bus %u -> %d", name, appChannel, busType, status);
    return status;
}

XLstatus XLAPI xlSetApplConfig(char* name, unsigned appChannel, unsigned hwType, unsigned hwIndex,
                               unsigned hwChannel, unsigned busType) {
    record("xlSetApplConfig %s %u hw %u/%u/%u bus %u", name, appChannel, hwType, hwIndex, hwChannel, busType);
    if (appChannel > 1) return 101;
    g_registry[appChannel] = (int)hwChannel;
    return 0;
}

XLaccess XLAPI xlGetChannelMask(int hwType, int hwIndex, int hwChannel) {
    XLaccess mask = (hwType == HW_TYPE && hwIndex == 0 && hwChannel >= 0 && hwChannel < CHANNELS) ? maskOf(hwChannel)
                                                                                                    : 0;
    record("xlGetChannelMask %d/%d/%d -> 0x%llX", hwType, hwIndex, hwChannel, (unsigned long long)mask);
    return mask;
}

/* ---- The socketcand connection ----------------------------------------------------------- */

static int sendText(const char* text) {
    int n = (int)strlen(text);
    while (n > 0) {
        int sent = send(g_socket, text, n, 0);
        if (sent <= 0) return 0;
        text += sent;
        n -= sent;
    }
    return 1;
}

/* Reads one "< ... >" element into out (without the brackets); 0 on a closed socket. */
static char g_rx[8192];
static int g_rxLength;
static int readElement(char* out, int size) {
    for (;;) {
        char* start = memchr(g_rx, '<', (size_t)g_rxLength);
        char* end = start ? memchr(start, '>', (size_t)(g_rxLength - (start - g_rx))) : NULL;
        if (start && end) {
            int n = (int)(end - start - 1);
            if (n >= size) n = size - 1;
            memcpy(out, start + 1, (size_t)n);
            out[n] = '\0';
            int used = (int)(end - g_rx) + 1;
            memmove(g_rx, g_rx + used, (size_t)(g_rxLength - used));
            g_rxLength -= used;
            return 1;
        }
        if (g_rxLength == (int)sizeof g_rx) g_rxLength = 0;
        int got = recv(g_socket, g_rx + g_rxLength, (int)sizeof g_rx - g_rxLength, 0);
        if (got <= 0) return 0;
        g_rxLength += got;
    }
}

static int expect(const char* wanted) {
    char element[256];
    if (!readElement(element, sizeof element)) return 0;
    return strstr(element, wanted) != NULL;
}

static int hexByte(const char* s) {
    int v = 0;
    for (int i = 0; i < 2; ++i) {
        char c = s[i];
        v = v * 16 + (c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c - 'a' + 10);
    }
    return v;
}

static DWORD WINAPI readerThread(LPVOID unused) {
    (void)unused;
    char element[256];
    while (readElement(element, sizeof element)) {
        unsigned long id = 0;
        char stamp[64], data[64] = "";
        if (sscanf(element, " frame %lx %63s %63s", &id, stamp, data) < 2) continue;
        XLevent e;
        memset(&e, 0, sizeof e);
        e.tag = 1; /* XL_RECEIVE_MSG */
        e.tagData.msg.id = id;
        int n = (int)strlen(data) / 2;
        if (n > 8) n = 8;
        for (int i = 0; i < n; ++i) e.tagData.msg.data[i] = (unsigned char)hexByte(data + 2 * i);
        e.tagData.msg.dlc = (unsigned short)n;
        EnterCriticalSection(&g_lock);
        /* The acceptance filter: only the identifiers let in, only while on the bus. */
        if (g_active && id >= g_first && id <= g_last && g_count < QUEUE) {
            g_queue[(g_head + g_count) % QUEUE] = e;
            ++g_count;
            if (g_event) SetEvent(g_event);
        }
        LeaveCriticalSection(&g_lock);
    }
    return 0;
}

static int connectServer(void) {
    const char* spec = getenv("KESTRO_XL_SOCKETCAND");
    char host[128], bus[64];
    int port = 0;
    if (!spec || sscanf(spec, "%127[^:]:%d:%63s", host, &port, bus) != 3) return 0;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 0;
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = inet_addr(host);
    g_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (g_socket == INVALID_SOCKET || connect(g_socket, (struct sockaddr*)&a, sizeof a) != 0) return 0;
    char open[128];
    snprintf(open, sizeof open, "< open %s >", bus);
    if (!expect("hi") || !sendText(open) || !expect("ok") || !sendText("< rawmode >") || !expect("ok")) return 0;
    g_reader = CreateThread(NULL, 0, readerThread, NULL, 0, NULL);
    return g_reader != NULL;
}

XLstatus XLAPI xlOpenPort(XLportHandle* port, char* name, XLaccess access, XLaccess* permission, unsigned queue,
                          unsigned version, unsigned busType) {
    record("xlOpenPort %s access 0x%llX permission 0x%llX queue %u version %u bus %u", name,
           (unsigned long long)access, (unsigned long long)*permission, queue, version, busType);
    if (g_socket == INVALID_SOCKET && !connectServer()) {
        record("  (no socketcand server)");
        *port = -1;
        return 201; /* XL_ERR_CANNOT_OPEN_DRIVER */
    }
    *port = PORT;
    return 0;
}

XLstatus XLAPI xlCanSetChannelMode(XLportHandle port, XLaccess access, int tx, int txrq) {
    record("xlCanSetChannelMode port %ld access 0x%llX tx %d txrq %d", port, (unsigned long long)access, tx, txrq);
    return 0;
}

XLstatus XLAPI xlCanSetChannelAcceptance(XLportHandle port, XLaccess access, unsigned long code, unsigned long mask,
                                         unsigned idRange) {
    record("xlCanSetChannelAcceptance port %ld access 0x%llX code 0x%lX mask 0x%lX range %u", port,
           (unsigned long long)access, code, mask, idRange);
    EnterCriticalSection(&g_lock);
    if (code == 0xFFF && mask == 0xFFF) { /* closed */
        g_first = 1;
        g_last = 0;
    }
    LeaveCriticalSection(&g_lock);
    return 0;
}

XLstatus XLAPI xlCanAddAcceptanceRange(XLportHandle port, XLaccess access, unsigned long first, unsigned long last) {
    record("xlCanAddAcceptanceRange port %ld access 0x%llX %lu..%lu", port, (unsigned long long)access, first, last);
    EnterCriticalSection(&g_lock);
    g_first = first;
    g_last = last;
    LeaveCriticalSection(&g_lock);
    return 0;
}

XLstatus XLAPI xlDeactivateChannel(XLportHandle port, XLaccess access) {
    record("xlDeactivateChannel port %ld access 0x%llX", port, (unsigned long long)access);
    EnterCriticalSection(&g_lock);
    g_active = 0;
    LeaveCriticalSection(&g_lock);
    return 0;
}

XLstatus XLAPI xlCanSetChannelBitrate(XLportHandle port, XLaccess access, unsigned long bitrate) {
    record("xlCanSetChannelBitrate port %ld access 0x%llX %lu", port, (unsigned long long)access, bitrate);
    return 0;
}

XLstatus XLAPI xlActivateChannel(XLportHandle port, XLaccess access, unsigned busType, unsigned flags) {
    record("xlActivateChannel port %ld access 0x%llX bus %u flags %u", port, (unsigned long long)access, busType,
           flags);
    EnterCriticalSection(&g_lock);
    g_active = 1;
    LeaveCriticalSection(&g_lock);
    return 0;
}

XLstatus XLAPI xlSetNotification(XLportHandle port, XLhandle* handle, int queueLevel) {
    record("xlSetNotification port %ld level %d", port, queueLevel);
    EnterCriticalSection(&g_lock);
    if (!g_event) g_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (g_count > 0) SetEvent(g_event);
    *handle = g_event;
    LeaveCriticalSection(&g_lock);
    return 0;
}

XLstatus XLAPI xlCanTransmit(XLportHandle port, XLaccess access, unsigned* count, void* events) {
    XLevent* e = (XLevent*)events;
    char line[2048];
    int n = snprintf(line, sizeof line, "xlCanTransmit port %ld access 0x%llX events %u:", port,
                     (unsigned long long)access, *count);
    char text[4096] = "";
    int t = 0;
    for (unsigned k = 0; k < *count && n < (int)sizeof line - 40; ++k) {
        n += snprintf(line + n, sizeof line - (size_t)n, " [tag %u id 0x%lX flags %u dlc %u", e[k].tag,
                      e[k].tagData.msg.id, e[k].tagData.msg.flags, e[k].tagData.msg.dlc);
        t += snprintf(text + t, sizeof text - (size_t)t, "< send %lX %u", e[k].tagData.msg.id, e[k].tagData.msg.dlc);
        for (unsigned b = 0; b < e[k].tagData.msg.dlc && b < 8; ++b) {
            n += snprintf(line + n, sizeof line - (size_t)n, " %02X", e[k].tagData.msg.data[b]);
            t += snprintf(text + t, sizeof text - (size_t)t, " %02X", e[k].tagData.msg.data[b]);
        }
        n += snprintf(line + n, sizeof line - (size_t)n, "]");
        t += snprintf(text + t, sizeof text - (size_t)t, " >");
    }
    record("%s", line);
    return (g_socket != INVALID_SOCKET && sendText(text)) ? 0 : 255;
}

XLstatus XLAPI xlReceive(XLportHandle port, unsigned* count, XLevent* event) {
    (void)port;
    XLstatus status = 10; /* XL_ERR_QUEUE_IS_EMPTY */
    EnterCriticalSection(&g_lock);
    if (g_count > 0 && *count >= 1) {
        *event = g_queue[g_head];
        g_head = (g_head + 1) % QUEUE;
        --g_count;
        *count = 1;
        status = 0;
    }
    if (g_count == 0 && g_event) ResetEvent(g_event);
    LeaveCriticalSection(&g_lock);
    return status; /* not recorded: the read loop calls it all the time */
}
