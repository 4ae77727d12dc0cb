// The exported class members, virtual tables and `thread` statics of CCanProtocol,
// CCtlProtocol and CMyProtocl under their Microsoft names (see docs/exports.md).
//
// A host built against the original class declarations constructs objects in its own
// memory and calls members on them with __thiscall. Those objects are handles, never the
// library's objects: a constructor writes only our virtual-table pointer into them, and
// every member acts on the library's own link (or console) of that class when it is the
// active one, or returns its failure value without touching any memory. Destructors
// never free host memory. The receive and thread procedures belong to the library's own
// threads and are refused: run by a host they would take bytes from the running reader.

#include <cstdint>
#include <mutex>

#include "api/export.h"
#include "console/my_protocl.h"

using namespace kestro;

// GCC applies thiscall to plain functions too; -Wpedantic only remarks that they are not
// class members.
#pragma GCC diagnostic ignored "-Wattributes"
#define KESTRO_THISCALL __attribute__((thiscall))

namespace {

template <class L>
L* activeOf() {
    return dynamic_cast<L*>(activeLink());
}

template <class L, class R, class F>
R onLink(R failure, F&& body) noexcept {
    return guarded(failure, [&]() -> R {
        L* link = activeOf<L>();
        return link ? body(*link) : failure;
    });
}

template <class L, class F>
void onLinkVoid(F&& body) noexcept {
    guardedVoid([&] {
        if (L* link = activeOf<L>()) body(*link);
    });
}

// TerminateThreads on the active link: what IO_DeleteRes does with the link (taken out
// of the global pointers first, so that no export finds it any more, then stopped and
// destroyed), never a destruction under the pointers.
// As long as IO_DeleteRes waits for calls in flight.
constexpr int kRetireWaitMs = 5000;

template <class L>
void terminateLink() noexcept {
    guardedVoid([] {
        CCommProtocol* link = nullptr;
        {
            std::lock_guard<std::mutex> lock(lifecycleLock());
            link = activeLink();
            if (!dynamic_cast<L*>(link) || !g_pCommProtocol.compare_exchange_strong(link, nullptr)) return;
            g_pCtlProtocol = nullptr;
            g_pCanProtocol = nullptr;
        }
        // As IO_DeleteRes: calls in flight finish before the link's threads stop and it
        // is destroyed.
        retireObjects(link, nullptr, kRetireWaitMs);
    });
}

}  // namespace

// The virtual tables, defined below.
extern "C" const void* const kestroVtable_CCanProtocol[21];
extern "C" const void* const kestroVtable_CCtlProtocol[21];
extern "C" const void* const kestroVtable_CMyProtocl[5];

extern "C" {

// ---- Constructors and destructors ---------------------------------------------------

void* KESTRO_THISCALL kestroMember_46(void* self) {  // CCanProtocol::CCanProtocol()
    if (self) *static_cast<const void**>(self) = kestroVtable_CCanProtocol;
    return self;
}
void* KESTRO_THISCALL kestroMember_47(void* self) {  // CCtlProtocol::CCtlProtocol()
    if (self) *static_cast<const void**>(self) = kestroVtable_CCtlProtocol;
    return self;
}
void* KESTRO_THISCALL kestroMember_48(void* self) {  // CMyProtocl::CMyProtocl()
    if (self) *static_cast<const void**>(self) = kestroVtable_CMyProtocl;
    return self;
}
void KESTRO_THISCALL kestroMember_49(void*) {}  // CCanProtocol::~CCanProtocol()
void KESTRO_THISCALL kestroMember_58(void*) {}  // CCtlProtocol::~CCtlProtocol()
void KESTRO_THISCALL kestroMember_79(void*) {}  // CMyProtocl::~CMyProtocl()

// The deleting destructor of the tables: destroys nothing and frees nothing (the memory
// is the host's); returns the object as the compiler's deleting destructor does.
static void* KESTRO_THISCALL deletingDestructor(void* self, unsigned) { return self; }

}  // extern "C"

// ---- Members shared by both links (one template each, one export per class) ---------

namespace {

template <class L> int initComm(void) { return onLink<L>(0, [](L& l) { return l.InitComm(); }); }
template <class L> int initComm6(UINT port, UINT baud, UINT parity, UINT byteSize, UINT stopBits, UINT bufferSize) {
    return onLink<L>(0, [&](L& l) { return l.InitComm(port, baud, parity, byteSize, stopBits, bufferSize); });
}
template <class L> int closeComm() { return onLink<L>(0, [](L& l) { return l.CloseComm(); }); }
template <class L> int initGen() { return onLink<L>(0, [](L& l) { return l.InitGen(); }); }
template <class L> int resetGen() { return onLink<L>(0, [](L& l) { return l.ResetGen(); }); }
template <class L> int sendCpuUnrestrictedCommand(char* cmd, int len) {
    if (!cmd || len < 0) return 0;
    return onLink<L>(0, [&](L& l) { return l.SendCpuUnrestrictedCommand(cmd, len); });
}
template <class L> int sendApplyAPRCommand(_APRDataInfo* info) {
    if (!info) return 0;
    return onLink<L>(0, [&](L& l) { return l.SendApplyAPRCommand(*info); });
}
template <class L> int applyAPRDirectly(_APRSourceData* data) {
    if (!data) return 0;
    return onLink<L>(0, [&](L& l) { return l.ApplyAPRDirectly(*data); });
}
template <class L> void afterSelectReceptor() { onLinkVoid<L>([](L& l) { l.AfterSelectReceptor(); }); }
template <class L> int getCpuCommandDataB(char* cmd, int len, int kind) {
    if (!cmd || len < 0) return 0;
    return onLink<L>(0, [&](L& l) { return l.GetCpuCommandData_B(cmd, len, kind); });
}
template <class L> int getCpuMultiCommandData(int kind) {
    return onLink<L>(0, [&](L& l) { return l.GetCpuMultiCommandData(kind); });
}
template <class L> int getCpuCommandData(char* cmd, int len, int kind) {
    if (!cmd || len < 0) return 0;
    return onLink<L>(0, [&](L& l) { return l.GetCpuCommandData(cmd, len, kind); });
}
template <class L> int processCpuDataBag(unsigned char* frame, int len, int bag, int mode) {
    if (!frame || len < 0) return 0;
    return onLink<L>(0, [&](L& l) { return l.ProcessCpuDataBag(frame, len, bag, mode); });
}
template <class L> void updateDataBag(int bag, int direction) {
    onLinkVoid<L>([&](L& l) { l.UpdateDataBag(bag, direction); });
}
template <class L> unsigned char getByteFromInt(int value, int digit) {
    return onLink<L>(static_cast<unsigned char>(0), [&](L& l) { return l.GetByteFromInt(value, digit); });
}
template <class L> void postErrorMessage(bool logEntry, int code) {
    onLinkVoid<L>([&](L& l) { l.PostErrorMessage(logEntry, code); });
}
template <class L> int resumeWriteThread() { return onLink<L>(0, [](L& l) { return l.resumeWriteThread(); }); }
template <class L> int resumeReadThread() { return onLink<L>(0, [](L& l) { return l.resumeReadThread(); }); }
template <class L> int suspendWorkThread() { return onLink<L>(0, [](L& l) { return l.SuspendWorkThread(); }); }
template <class L> int backupTubeData(int tube, unsigned char* bytes) {
    if (!bytes) return 0;
    return onLink<L>(0, [&](L& l) { return l.BackupTubeData(tube, bytes); });
}
template <class L> int restoreTubeData(int tube, unsigned char* dest) {
    if (!dest) return 0;
    return onLink<L>(0, [&](L& l) { return l.RestoreTubeData(tube, dest); });
}
template <class L> int sendCommand(char* cmd, int len, int kind) {
    if (!cmd || len < 0) return 0;
    return onLink<L>(0, [&](L& l) { return l.SendCommand(cmd, len, kind); });
}
template <class L> int sendCommandB(char* cmd, int len, int kind) {
    if (!cmd || len < 0) return 0;
    return onLink<L>(0, [&](L& l) { return l.SendCommand_B(cmd, len, kind); });
}
template <class L> int sendData(unsigned char* data, int len, int kind) {
    if (!data || len < 0) return 0;
    return onLink<L>(0, [&](L& l) { return l.SendData(data, len, kind); });
}
template <class L> int getCpuCommandDataC(char* cmd, int len, int kind) {
    if (!cmd || len < 0) return 0;
    return onLink<L>(0, [&](L& l) { return l.GetCpuCommandData_C(cmd, len, kind); });
}
template <class L> int getCpuMultiCommandDataC(int kind) {
    return onLink<L>(0, [&](L& l) { return l.GetCpuMultiCommandData_C(kind); });
}
template <class L> int getValue(unsigned char* buf, int offset, int count) {
    if (!buf || offset < 0 || count < 0) return 0;
    return onLink<L>(0, [&](L&) { return L::GetValue(buf, offset, count); });
}
template <class L> int startReadThread() { return onLink<L>(0, [](L& l) { return l.startReadThread(); }); }
template <class L> int stopReadThread() { return onLink<L>(0, [](L& l) { return l.stopReadThread(); }); }
template <class L> int startWriteThread() { return onLink<L>(0, [](L& l) { return l.startWriteThread(); }); }
template <class L> int stopWriteThread() { return onLink<L>(0, [](L& l) { return l.stopWriteThread(); }); }
template <class L> int setMsghWnd(HWND hWnd) { return onLink<L>(0, [&](L& l) { return l.setMsghWnd(hWnd); }); }

}  // namespace

// One exported proxy per class; "this" (the host's handle) is not used.
#define KESTRO_LINK_MEMBER(ordinal, Class, result, proxy, params, args) \
    extern "C" result KESTRO_THISCALL kestroMember_##ordinal(void* /*self*/ KESTRO_UNPAREN params) { \
        return proxy<Class>(KESTRO_UNPAREN args);                                                    \
    }
#define KESTRO_UNPAREN(...) __VA_ARGS__
// The library's own threads' work: refused (see the top of this file).
#define KESTRO_REFUSED_VOID(ordinal) \
    extern "C" void KESTRO_THISCALL kestroMember_##ordinal(void*) {}
#define KESTRO_REFUSED_INT(ordinal, result) \
    extern "C" result KESTRO_THISCALL kestroMember_##ordinal(void*) { return 0; }
#define KESTRO_REFUSED_THREAD(ordinal) \
    extern "C" unsigned __cdecl kestroMember_##ordinal(void*) { return 0; }

#define KESTRO_BOTH_LINKS(can, ctl, result, proxy, params, args) \
    KESTRO_LINK_MEMBER(can, CCanProtocol, result, proxy, params, args) \
    KESTRO_LINK_MEMBER(ctl, CCtlProtocol, result, proxy, params, args)

KESTRO_BOTH_LINKS(86, 92, void, afterSelectReceptor, (), ())
KESTRO_BOTH_LINKS(93, 94, int, applyAPRDirectly, (, _APRSourceData* data), (data))
KESTRO_BOTH_LINKS(95, 96, int, backupTubeData, (, int tube, unsigned char* bytes), (tube, bytes))
KESTRO_BOTH_LINKS(97, 98, int, closeComm, (), ())
KESTRO_REFUSED_THREAD(99)   // CCanProtocol::DllMainThreadPro
KESTRO_REFUSED_THREAD(101)  // CCtlProtocol::DllMainThreadPro
KESTRO_REFUSED_THREAD(102)  // CMyProtocl::DllMainThreadPro
KESTRO_BOTH_LINKS(103, 105, unsigned char, getByteFromInt, (, int value, int digit), (value, digit))
KESTRO_BOTH_LINKS(108, 131, int, getCpuCommandData, (, char* cmd, int len, int kind), (cmd, len, kind))
KESTRO_BOTH_LINKS(132, 133, int, getCpuCommandDataB, (, char* cmd, int len, int kind), (cmd, len, kind))
KESTRO_BOTH_LINKS(134, 135, int, getCpuCommandDataC, (, char* cmd, int len, int kind), (cmd, len, kind))
KESTRO_BOTH_LINKS(136, 137, int, getCpuMultiCommandData, (, int kind), (kind))
KESTRO_BOTH_LINKS(138, 139, int, getCpuMultiCommandDataC, (, int kind), (kind))
KESTRO_BOTH_LINKS(140, 141, int, getValue, (, unsigned char* buf, int offset, int count), (buf, offset, count))
KESTRO_BOTH_LINKS(143, 145, int, initComm6,
                  (, UINT port, UINT baud, UINT parity, UINT byteSize, UINT stopBits, UINT bufferSize),
                  (port, baud, parity, byteSize, stopBits, bufferSize))
KESTRO_BOTH_LINKS(144, 146, int, initComm, (), ())
KESTRO_BOTH_LINKS(147, 148, int, initGen, (), ())
KESTRO_BOTH_LINKS(149, 150, void, postErrorMessage, (, bool logEntry, int code), (logEntry, code))
KESTRO_BOTH_LINKS(151, 152, int, processCpuDataBag, (, unsigned char* frame, int len, int bag, int mode),
                  (frame, len, bag, mode))
KESTRO_REFUSED_VOID(154)  // CCanProtocol::ReceiveAndProcess
KESTRO_REFUSED_VOID(155)  // CCtlProtocol::ReceiveAndProcess
KESTRO_REFUSED_VOID(156)  // CCanProtocol::ReceiveCalibModePro
KESTRO_REFUSED_VOID(157)  // CCtlProtocol::ReceiveCalibModePro
extern "C" int KESTRO_THISCALL kestroMember_158(void*, unsigned char*) { return 0; }  // CCanProtocol::ReceiveEightBytes
KESTRO_REFUSED_INT(160, unsigned char)  // CCtlProtocol::ReceiveOneByte
KESTRO_REFUSED_VOID(161)  // CCanProtocol::ReceiveProgModePro
KESTRO_REFUSED_VOID(162)  // CCtlProtocol::ReceiveProgModePro
KESTRO_REFUSED_VOID(163)  // CCanProtocol::ReceiveWorkModePro
KESTRO_REFUSED_VOID(164)  // CCtlProtocol::ReceiveWorkModePro
KESTRO_BOTH_LINKS(165, 166, int, resetGen, (), ())
KESTRO_BOTH_LINKS(167, 168, int, restoreTubeData, (, int tube, unsigned char* dest), (tube, dest))
KESTRO_BOTH_LINKS(169, 170, int, sendApplyAPRCommand, (, _APRDataInfo* info), (info))
KESTRO_BOTH_LINKS(171, 172, int, sendCommand, (, char* cmd, int len, int kind), (cmd, len, kind))
KESTRO_BOTH_LINKS(173, 174, int, sendCommandB, (, char* cmd, int len, int kind), (cmd, len, kind))
KESTRO_BOTH_LINKS(175, 176, int, sendCpuUnrestrictedCommand, (, char* cmd, int len), (cmd, len))
KESTRO_BOTH_LINKS(177, 178, int, sendData, (, unsigned char* data, int len, int kind), (data, len, kind))
KESTRO_BOTH_LINKS(179, 180, int, suspendWorkThread, (), ())
extern "C" void KESTRO_THISCALL kestroMember_182(void*) { terminateLink<CCanProtocol>(); }
extern "C" void KESTRO_THISCALL kestroMember_183(void*) { terminateLink<CCtlProtocol>(); }
KESTRO_BOTH_LINKS(184, 185, void, updateDataBag, (, int bag, int direction), (bag, direction))
KESTRO_REFUSED_THREAD(187)  // CCanProtocol::readThreadPro
KESTRO_REFUSED_THREAD(188)  // CCtlProtocol::readThreadPro
KESTRO_BOTH_LINKS(190, 191, int, resumeReadThread, (), ())
KESTRO_BOTH_LINKS(192, 193, int, resumeWriteThread, (), ())
KESTRO_BOTH_LINKS(195, 196, int, setMsghWnd, (, HWND hWnd), (hWnd))
KESTRO_BOTH_LINKS(198, 199, int, startReadThread, (), ())
KESTRO_BOTH_LINKS(200, 201, int, startWriteThread, (), ())
KESTRO_BOTH_LINKS(204, 205, int, stopReadThread, (), ())
KESTRO_BOTH_LINKS(206, 207, int, stopWriteThread, (), ())

// ---- CMyProtocl ----------------------------------------------------------------------
// The console's operations act on the library's own console object when there is one
// (the host's object is only a handle), else fail with 0. Its receive procedures are
// the read thread's work and are refused, like the links'.
namespace {

template <typename R, typename F>
R withConsole(R failure, F&& f) noexcept {
    return guarded(failure, [&]() -> R {
        CMyProtocl* console = g_pConsole.load();
        return console ? f(*console) : failure;
    });
}

}  // namespace

extern "C" unsigned char KESTRO_THISCALL kestroMember_107(void*, int value, int digit) {  // GetByteFromInt
    return withConsole<unsigned char>(0, [&](CMyProtocl& c) { return c.GetByteFromInt(value, digit); });
}
#define KESTRO_CONSOLE_MEMBER(ordinal, member) \
    extern "C" int KESTRO_THISCALL kestroMember_##ordinal(void*) { \
        return withConsole(0, [](CMyProtocl& c) { return c.member(); }); \
    }
KESTRO_CONSOLE_MEMBER(142, Init)
KESTRO_CONSOLE_MEMBER(189, resumeReadThread1)
KESTRO_CONSOLE_MEMBER(194, resumeWriteThread)
KESTRO_CONSOLE_MEMBER(197, startReadThread1)
KESTRO_CONSOLE_MEMBER(202, startWriteThread)
KESTRO_CONSOLE_MEMBER(203, stopReadThread1)
KESTRO_CONSOLE_MEMBER(208, stopWriteThread)
KESTRO_REFUSED_VOID(153)                // ReceiveAndProcess1
KESTRO_REFUSED_INT(159, unsigned char)  // ReceiveOneByte1
KESTRO_REFUSED_THREAD(186)              // readThreadPro1

// Terminate: what IO_DeleteRes does with the console.
extern "C" void KESTRO_THISCALL kestroMember_181(void*) {
    guardedVoid([] {
        CMyProtocl* console = nullptr;
        {
            std::lock_guard<std::mutex> lock(lifecycleLock());
            console = g_pConsole.exchange(nullptr);
        }
        retireObjects(nullptr, console, kRetireWaitMs);
    });
}

// ---- Virtual tables ----------------------------------------------------------------

namespace {

// The framework's run-time class record for CMyProtocl's first virtual slot: the class
// name and no base, so a host's IsKindOf walk ends at once.
struct RuntimeClassRecord {
    const char* className;
    int objectSize;
    unsigned schema;
    void* createObject;
    void* baseClass;
    void* nextClass;
};
const RuntimeClassRecord kConsoleClass{"CMyProtocl", static_cast<int>(sizeof(void*)), 0xFFFF, nullptr, nullptr,
                                       nullptr};

extern "C" const void* KESTRO_THISCALL consoleRuntimeClass(void*) { return &kConsoleClass; }
extern "C" void KESTRO_THISCALL consoleSerialize(void*, void*) {}
extern "C" void KESTRO_THISCALL consoleAssertValid(void*) {}
extern "C" void KESTRO_THISCALL consoleDump(void*, void*) {}

template <typename F>
constexpr const void* slot(F f) {
    return reinterpret_cast<const void*>(f);
}

}  // namespace

#define KESTRO_LINK_VTABLE(Class, initComm0, initComm6_, close, gen, reset, unrestricted, applyCmd, applyDirect,  \
                           afterSelect, dataB, multi, data, bag, update, byteFromInt, postError, resumeWrite,       \
                           resumeRead, suspend, terminate)                                                         \
    extern "C" const void* const kestroVtable_##Class[21] = {                                                      \
        slot(deletingDestructor), slot(kestroMember_##initComm0), slot(kestroMember_##initComm6_),                 \
        slot(kestroMember_##close), slot(kestroMember_##gen), slot(kestroMember_##reset),                          \
        slot(kestroMember_##unrestricted), slot(kestroMember_##applyCmd), slot(kestroMember_##applyDirect),        \
        slot(kestroMember_##afterSelect), slot(kestroMember_##dataB), slot(kestroMember_##multi),                  \
        slot(kestroMember_##data), slot(kestroMember_##bag), slot(kestroMember_##update),                          \
        slot(kestroMember_##byteFromInt), slot(kestroMember_##postError), slot(kestroMember_##resumeWrite),        \
        slot(kestroMember_##resumeRead), slot(kestroMember_##suspend), slot(kestroMember_##terminate)};

// Slot order: destructor, InitComm(), InitComm(six values), CloseComm, InitGen, ResetGen,
// SendCpuUnrestrictedCommand, SendApplyAPRCommand, ApplyAPRDirectly, AfterSelectReceptor,
// GetCpuCommandData_B, GetCpuMultiCommandData, GetCpuCommandData, ProcessCpuDataBag,
// UpdateDataBag, GetByteFromInt, PostErrorMessage, resumeWriteThread, resumeReadThread,
// SuspendWorkThread, TerminateThreads.
KESTRO_LINK_VTABLE(CCanProtocol, 144, 143, 97, 147, 165, 175, 169, 93, 86, 132, 136, 108, 151, 184, 103, 149, 192,
                   190, 179, 182)
KESTRO_LINK_VTABLE(CCtlProtocol, 146, 145, 98, 148, 166, 176, 170, 94, 92, 133, 137, 131, 152, 185, 105, 150, 193,
                   191, 180, 183)

// The framework object's slots: run-time class, deleting destructor, serialize, validity
// check, dump.
extern "C" const void* const kestroVtable_CMyProtocl[5] = {slot(consoleRuntimeClass), slot(deletingDestructor),
                                                            slot(consoleSerialize), slot(consoleAssertValid),
                                                            slot(consoleDump)};
