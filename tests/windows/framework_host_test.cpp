// Kestro.dll as an MFC 4.2 host sees it, without the framework: test-only string and
// unsigned-int array objects laid out as the framework lays them out, every IO_ export
// that takes or returns them called through raw 32-bit calls that measure the stack the
// callee removes, the heap checked for leaked blocks, and the exported class members
// called through __thiscall.
//
//   framework_host_test.exe            (run beside Kestro.dll and the settings host_test.exe
//                                       lays out; the link is serial, demo mode on)
//   framework_host_test.exe framework  with the stand-in of the framework's DLL
//                                       (framework_standin.c, as MFC42.DLL) loaded first:
//                                       strings are built and released through it
//   framework_host_test.exe wrong-framework  with a stand-in whose strings have another
//                                       layout: it is not used

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    (ok ? passed : failed)++;
}

// Calls fn with `n` 32-bit words on the stack and ECX = self; stores EAX in *eax and
// returns how many bytes the callee removed from the stack.
extern "C" int callCounting(const void* fn, void* self, const uint32_t* words, int n, uint32_t* eax);
asm(R"(
    .text
    .globl _callCounting
_callCounting:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 20(%ebp), %ecx
    movl 16(%ebp), %esi
1:  testl %ecx, %ecx
    jz 2f
    pushl -4(%esi,%ecx,4)
    decl %ecx
    jmp 1b
2:  movl %esp, %ebx
    movl 12(%ebp), %ecx
    call *8(%ebp)
    movl 24(%ebp), %edi
    movl %eax, (%edi)
    movl %esp, %eax
    subl %ebx, %eax
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

// msvcrt.dll's operator new and delete, the heap of the framework's objects.
using NewFn = void*(__cdecl*)(size_t);
using DeleteFn = void(__cdecl*)(void*);
NewFn crtNew;
DeleteFn crtDelete;

// Busy blocks of msvcrt's heap.
int busyBlocks() {
    using HeapHandleFn = intptr_t(__cdecl*)();
    static HeapHandleFn heapHandle =
        reinterpret_cast<HeapHandleFn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_get_heap_handle")));
    HANDLE heap = heapHandle ? reinterpret_cast<HANDLE>(heapHandle()) : GetProcessHeap();
    PROCESS_HEAP_ENTRY entry{};
    int busy = 0;
    HeapLock(heap);
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++busy;
    HeapUnlock(heap);
    return busy;
}

// The framework's string: a pointer to characters behind a header.
struct Header {
    long refs;
    int length;
    int allocLength;
};
struct TestString {
    char* text;
    Header* header() const { return reinterpret_cast<Header*>(text) - 1; }
};

TestString makeString(const char* s, long refs) {
    const int n = static_cast<int>(std::strlen(s));
    auto* h = static_cast<Header*>(crtNew(sizeof(Header) + n + 1));
    h->refs = refs;
    h->length = n;
    h->allocLength = n;
    std::memcpy(h + 1, s, n + 1);
    return TestString{reinterpret_cast<char*>(h + 1)};
}
void freeString(TestString s) {
    if (s.text && --s.header()->refs == 0) crtDelete(s.header());
}

// The shared empty string: count -1, never freed by anyone.
struct {
    Header header{-1, 0, 0};
    char text[4]{};
} sharedEmpty;

// The framework's unsigned-int array.
struct TestArray {
    const void* vtable;
    UINT* data;
    int size;
    int maxSize;
    int growBy;
};

uint32_t word(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

// With the framework's DLL in the process, Kestro.dll builds and releases strings with
// its exported constructor (ordinal 537) and destructor (ordinal 800).
int withFramework(bool wrongLayout) {
    HMODULE framework = LoadLibraryA("MFC42.DLL");
    HMODULE dll = framework ? LoadLibraryA("Kestro.dll") : nullptr;
    if (!dll) {
        std::printf("FAIL LoadLibrary of MFC42.DLL (the stand-in) and Kestro.dll\n");
        return 1;
    }
    using Counts = void(__cdecl*)(long*, long*);
    auto counts = reinterpret_cast<Counts>(reinterpret_cast<void*>(GetProcAddress(framework, "standInCounts")));
    const void* construct = reinterpret_cast<const void*>(GetProcAddress(framework, MAKEINTRESOURCEA(537)));
    const void* destroy = reinterpret_cast<const void*>(GetProcAddress(framework, MAKEINTRESOURCEA(800)));
    auto fn = [&](const char* name) { return reinterpret_cast<const void*>(GetProcAddress(dll, name)); };
    long built0 = 0, freed0 = 0, built = 0, freed = 0;
    uint32_t eax = 0;
    counts(&built0, &freed0);
    TestString r{nullptr};
    const uint32_t args[] = {word(&r), 1};
    const int removed = callCounting(fn("IO_GetErrorMessage"), nullptr, args, 2, &eax);
    counts(&built, &freed);
    if (wrongLayout) {
        // The probe string did not have the framework's layout: the pair is not used,
        // the result comes from msvcrt's heap.
        check(removed == 8 && r.text && std::strcmp(r.text, "12:Tube overheated") == 0 && built == built0 + 1 &&
                  freed == freed0 + 1 && r.header()->refs == 1,
              "a framework pair that does not build the framework's layout is tried once and not used");
        freeString(r);
        FreeLibrary(dll);
        FreeLibrary(framework);
        std::printf("%d passed, %d failed\n", passed, failed);
        return failed == 0 ? 0 : 1;
    }
    // The first use also tries the pair on a probe string (one more of each).
    check(removed == 8 && r.text && std::strcmp(r.text, "12:Tube overheated") == 0 && built == built0 + 2 &&
              freed == freed0 + 1,
          "IO_GetErrorMessage builds its result with the framework's constructor (built " + std::to_string(built) +
              ", released " + std::to_string(freed) + ")");
    // The host releases it with the framework's destructor, as its own code would.
    callCounting(destroy, &r, nullptr, 0, &eax);
    // Strings the host passes by value: built and released by the framework.
    TestString text{nullptr}, suffix{nullptr};
    const uint32_t t[] = {word("host line")}, x[] = {word("x")};
    callCounting(construct, &text, t, 1, &eax);
    callCounting(construct, &suffix, x, 1, &eax);
    counts(&built0, &freed0);
    const uint32_t a[] = {word(text.text), 3, word(suffix.text)};
    const int removedW = callCounting(fn("IO_WriteLog"), nullptr, a, 3, &eax);
    counts(&built, &freed);
    check(removedW == 12 && freed == freed0 + 2 && built == built0,
          "IO_WriteLog releases both strings with the framework's destructor");
    FreeLibrary(dll);
    FreeLibrary(framework);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    HMODULE crt = GetModuleHandleA("msvcrt.dll");
    crtNew = reinterpret_cast<NewFn>(reinterpret_cast<void*>(GetProcAddress(crt, "??2@YAPAXI@Z")));
    crtDelete = reinterpret_cast<DeleteFn>(reinterpret_cast<void*>(GetProcAddress(crt, "??3@YAXPAX@Z")));
    if (!crtNew || !crtDelete) {
        std::printf("FAIL msvcrt.dll's operator new/delete not found\n");
        return 1;
    }
    if (argc > 1 && std::strcmp(argv[1], "framework") == 0) return withFramework(false);
    if (argc > 1 && std::strcmp(argv[1], "wrong-framework") == 0) return withFramework(true);
    HMODULE dll = LoadLibraryA("Kestro.dll");
    if (!dll) {
        std::printf("FAIL LoadLibrary(Kestro.dll): %lu\n", GetLastError());
        return 1;
    }
    auto fn = [&](const char* name) { return reinterpret_cast<const void*>(GetProcAddress(dll, name)); };
    uint32_t eax = 0;

    // Demo mode: packet refreshes answer at once, nothing goes to a port.
    {
        const uint32_t args[] = {0, 1};
        callCounting(fn("IO_SetDemoMode"), nullptr, args, 2, &eax);
    }

    // Strings passed by value: each export releases its copy exactly once, removes its
    // arguments, and leaves the characters alone. With a second reference held by the
    // host the count goes from 2 to 1.
    struct StringExport {
        const char* name;
        int stringSlot;  // which argument is the string (the others are 0, tube 3)
        int words;
    };
    const StringExport stringExports[] = {
        {"IO_WriteLog", 0, 3},           {"IO_SetBackupMode", 1, 2},     {"IO_SetRestoreMode", 1, 2},
        {"IO_ApplyTubeFile", 0, 2},      {"IO_ApplyTubeFile1", 0, 2},    {"IO_ConsoleDownLoad", 0, 3},
        {"IO_ExportGenData", 0, 1},      {"IO_ImportGenData", 0, 1},     {"IO_ImportAECCalibData", 0, 1},
        {"IO_ImportDAPCalibData", 0, 1}, {"IO_ImportTubeCalibData", 0, 1}, {"IO_ImportGenOtherData", 0, 1},
    };
    int present = 0;
    for (const auto& e : stringExports) {
        const void* f = fn(e.name);
        if (!f) {
            std::printf("note %s is not built yet\n", e.name);
            continue;
        }
        ++present;
        TestString s = makeString("C:\\nowhere\\kestro-test.dat", 2);
        TestString s2 = makeString("suffix", 2);
        uint32_t args[3] = {0, 3, 0};
        args[e.stringSlot] = word(s.text);
        if (std::strcmp(e.name, "IO_WriteLog") == 0) {
            args[1] = 7;
            args[2] = word(s2.text);
        }
        const int removed = callCounting(f, nullptr, args, e.words, &eax);
        check(removed == 4 * e.words, std::string(e.name) + " removes " + std::to_string(4 * e.words) +
                                          " bytes (removed " + std::to_string(removed) + ")");
        check(s.header()->refs == 1 && std::strcmp(s.text, "C:\\nowhere\\kestro-test.dat") == 0,
              std::string(e.name) + " releases its string once (count 2 -> " + std::to_string(s.header()->refs) +
                  ") and leaves its characters alone");
        if (std::strcmp(e.name, "IO_WriteLog") == 0)
            check(s2.header()->refs == 1, "IO_WriteLog releases its second string too");
        freeString(s);
        freeString(s2);
        // The shared empty string is never released.
        args[e.stringSlot] = word(sharedEmpty.text);
        if (std::strcmp(e.name, "IO_WriteLog") == 0) args[2] = word(sharedEmpty.text);
        callCounting(f, nullptr, args, e.words, &eax);
        check(sharedEmpty.header.refs == -1, std::string(e.name) + " leaves the shared empty string (count -1) alone");
    }
    check(present >= 3, "the string exports IO_WriteLog, IO_SetBackupMode and IO_SetRestoreMode are there");

    // Strings returned by value: built at the hidden result pointer, which comes back in
    // EAX; 8 bytes removed by IO_GetErrorMessage, 4 by IO_GetGenCPUVersion.
    {
        TestString r{reinterpret_cast<char*>(0x1)};
        const uint32_t args[] = {word(&r), 1};
        const int removed = callCounting(fn("IO_GetErrorMessage"), nullptr, args, 2, &eax);
        check(removed == 8, "IO_GetErrorMessage removes 8 bytes (removed " + std::to_string(removed) + ")");
        check(eax == word(&r), "IO_GetErrorMessage returns the result pointer");
        const bool built = r.text && reinterpret_cast<uintptr_t>(r.text) != 1;
        check(built && std::strcmp(r.text, "12:Tube overheated") == 0,
              std::string("IO_GetErrorMessage(1) = \"") + (built ? r.text : "(none)") + "\"");
        if (built) {
            const Header* h = r.header();
            check(h->refs == 1 && h->length == 18 && h->allocLength >= 18,
                  "its header: count 1, length 18, room for at least 18 (" + std::to_string(h->refs) + ", " +
                      std::to_string(h->length) + ", " + std::to_string(h->allocLength) + ")");
            freeString(r);
        }
        TestString none{nullptr};
        const uint32_t args2[] = {word(&none), 74};
        callCounting(fn("IO_GetErrorMessage"), nullptr, args2, 2, &eax);
        check(none.text && none.text[0] == '\0' && none.header()->length == 0, "IO_GetErrorMessage(74) is empty");
        if (none.text && none.header()->refs > 0) freeString(none);

        TestString v{nullptr};
        const uint32_t args3[] = {word(&v)};
        const int removed3 = callCounting(fn("IO_GetGenCPUVersion"), nullptr, args3, 1, &eax);
        check(removed3 == 4 && eax == word(&v), "IO_GetGenCPUVersion removes 4 bytes and returns the result pointer");
        unsigned a = 0, b = 0, c = 0;
        check(v.text && std::sscanf(v.text, "%u.%u.%u", &a, &b, &c) == 3,
              std::string("IO_GetGenCPUVersion() = \"") + (v.text ? v.text : "(none)") + "\"");
        if (v.text) freeString(v);
    }

    // The unsigned-int array: emptied and filled in place, the virtual-table pointer
    // untouched, the buffer grown on msvcrt's heap when it is too small.
    {
        const void* const sentinel = reinterpret_cast<const void*>(0x12345678);
        TestArray empty{sentinel, nullptr, 0, 0, 0};
        const uint32_t args[] = {word(&empty)};
        const int removed = callCounting(fn("IO_GetAnodeHeat"), nullptr, args, 1, &eax);
        check(removed == 4 && eax == 1, "IO_GetAnodeHeat removes 4 bytes and returns 1 (" + std::to_string(eax) + ")");
        check(empty.vtable == sentinel && empty.size == 2 && empty.maxSize >= 2 && empty.data,
              "an empty array gets a buffer and two values; its virtual-table pointer is untouched");
        UINT* small = static_cast<UINT*>(crtNew(sizeof(UINT)));
        TestArray tooSmall{sentinel, small, 1, 1, 0};
        const uint32_t args2[] = {word(&tooSmall)};
        callCounting(fn("IO_GetAnodeHeat"), nullptr, args2, 1, &eax);
        check(eax == 1 && tooSmall.size == 2 && tooSmall.data != small && tooSmall.vtable == sentinel &&
                  (empty.data && tooSmall.data[0] == empty.data[0] && tooSmall.data[1] == empty.data[1]),
              "a one-element buffer is replaced and holds the same two values");
        UINT* big = static_cast<UINT*>(crtNew(8 * sizeof(UINT)));
        for (int i = 0; i < 8; ++i) big[i] = 0xEEEEEEEE;
        TestArray roomy{sentinel, big, 5, 8, 4};
        const uint32_t args3[] = {word(&roomy)};
        callCounting(fn("IO_GetAnodeHeat"), nullptr, args3, 1, &eax);
        check(eax == 1 && roomy.data == big && roomy.size == 2 && roomy.maxSize == 8 && big[2] == 0xEEEEEEEE,
              "a roomy buffer is kept, emptied and filled with two values");
        // Twenty refills of a fresh one-element buffer: each time the library must give
        // the old buffer back to the heap. (Wine's own allocations share this heap, so a
        // drift of a few blocks is not a leak; one block per call would be.)
        const int before = busyBlocks();
        for (int i = 0; i < 20; ++i) {
            TestArray fresh{sentinel, static_cast<UINT*>(crtNew(sizeof(UINT))), 0, 1, 0};
            const uint32_t a[] = {word(&fresh)};
            callCounting(fn("IO_GetAnodeHeat"), nullptr, a, 1, &eax);
            crtDelete(fresh.data);
        }
        const int after = busyBlocks();
        check(after - before < 5, "refilling arrays leaves no block behind (busy blocks " + std::to_string(before) +
                                      " -> " + std::to_string(after) + ")");
        crtDelete(empty.data);
        crtDelete(tooSmall.data);
        crtDelete(big);
    }

    // 10,000 rounds of the string exports with strings the library must free, and of the
    // string results the host frees: no block is left behind.
    {
        const void* writeLog = fn("IO_WriteLog");
        const void* backup = fn("IO_SetBackupMode");
        const void* message = fn("IO_GetErrorMessage");
        const void* version = fn("IO_GetGenCPUVersion");
        // Warm up what the library keeps for itself (per-thread result buffers).
        for (int i = 0; i < 10; ++i) {
            TestString r{nullptr};
            const uint32_t a[] = {word(&r), 1};
            callCounting(message, nullptr, a, 2, &eax);
            freeString(r);
        }
        const int before = busyBlocks();
        int unbalanced = 0;
        for (int i = 0; i < 10000; ++i) {
            TestString text = makeString("host line", 1), suffix = makeString("x", 1), path = makeString("p.dat", 1);
            const uint32_t a1[] = {word(text.text), static_cast<uint32_t>(i), word(suffix.text)};
            unbalanced += callCounting(writeLog, nullptr, a1, 3, &eax) != 12;
            const uint32_t a2[] = {0, word(path.text)};
            unbalanced += callCounting(backup, nullptr, a2, 2, &eax) != 8;
            TestString v{nullptr};
            const uint32_t a3[] = {word(&v)};
            unbalanced += callCounting(version, nullptr, a3, 1, &eax) != 4;
            freeString(v);
            // Each error text is read from its file: every 50th round.
            if (i % 50 == 0) {
                TestString r{nullptr};
                const uint32_t a4[] = {word(&r), static_cast<uint32_t>(i % 3)};
                unbalanced += callCounting(message, nullptr, a4, 2, &eax) != 8;
                freeString(r);
            }
        }
        const int after = busyBlocks();
        check(unbalanced == 0, "30,200 calls, each removed what its declaration says");
        // One leaked string per call would be thousands of blocks; Wine's own allocations on the
        // same heap may move the count by a few.
        check(after - before < 20, "no leaked block after 10,000 rounds (busy blocks " + std::to_string(before) +
                                       " -> " + std::to_string(after) + ")");
    }

    // Class members through __thiscall on host memory.
    {
        unsigned char object[64];
        std::memset(object, 0xAB, sizeof object);
        const int removed = callCounting(fn("??0CCtlProtocol@@QAE@XZ"), object, nullptr, 0, &eax);
        const void* table = fn("??_7CCtlProtocol@@6B@");
        const void* written = nullptr;
        std::memcpy(&written, object, sizeof written);
        bool restUntouched = true;
        for (size_t i = sizeof(void*); i < sizeof object; ++i) restUntouched = restUntouched && object[i] == 0xAB;
        check(removed == 0 && eax == word(object) && table && written == table && restUntouched,
              "the CCtlProtocol constructor writes only the exported table's pointer and returns this");
        // A virtual call through the table: slot 15, GetByteFromInt(1234, 2), the tens.
        const void* const* slots = static_cast<const void* const*>(written);
        const uint32_t args[] = {1234, 2};
        const int removedV = callCounting(slots[15], object, args, 2, &eax);
        check(removedV == 8 && (eax & 0xFF) == '3',
              "a virtual call through the table (GetByteFromInt(1234, 2)) gives '" +
                  std::string(1, static_cast<char>(eax & 0xFF)) + "'");
        // The CAN link is not the active one: its members fail and touch nothing.
        std::memset(object, 0xAB, sizeof object);
        const int removedC = callCounting(fn("?GetByteFromInt@CCanProtocol@@UAEEHH@Z"), object, args, 2, &eax);
        check(removedC == 8 && (eax & 0xFF) == 0 && object[0] == 0xAB,
              "a CCanProtocol member with the serial link active returns 0 and touches nothing");
        // The deleting destructor in the table frees nothing; the destructor returns.
        const uint32_t flags[] = {1};
        const int removedD = callCounting(slots[0], object, flags, 1, &eax);
        check(removedD == 4 && eax == word(object), "the table's deleting destructor returns this and frees nothing");
        check(callCounting(fn("??1CCtlProtocol@@UAE@XZ"), object, nullptr, 0, &eax) == 0, "the destructor returns");
        // Thread procedures are the library's own.
        const uint32_t none[] = {0};
        const int removedT = callCounting(fn("?readThreadPro@CCtlProtocol@@KAIPAX@Z"), nullptr, none, 1, &eax);
        check(removedT == 0 && eax == 0, "readThreadPro (__cdecl) is refused with 0");
    }
    {
        const int* ctlThread = static_cast<const int*>(fn("?thread@CCtlProtocol@@2HA"));
        check(ctlThread && *ctlThread == 1, "CCtlProtocol::thread reads 1 while the serial link exists");
        callCounting(fn("IO_DeleteRes"), nullptr, nullptr, 0, &eax);
        check(ctlThread && *ctlThread == 0, "and 0 after IO_DeleteRes");
        unsigned char object[8] = {};
        callCounting(fn("??0CCtlProtocol@@QAE@XZ"), object, nullptr, 0, &eax);
        const uint32_t args[] = {1234, 2};
        callCounting(fn("?GetByteFromInt@CCtlProtocol@@UAEEHH@Z"), object, args, 2, &eax);
        check((eax & 0xFF) == 0, "with no link the members return their failure value");
    }

    FreeLibrary(dll);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
