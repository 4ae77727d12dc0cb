// The framework's string and unsigned-int array objects at the Windows boundary (see
// framework_types.h and docs/exports.md).

#include "api/win32/framework_types.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace kestro::win32 {
namespace {

// The framework DLL's string constructor from a zero-terminated text and its
// destructor, exported by ordinal only (numbers from its public import definitions).
constexpr WORD kStringFromTextOrdinal = 537;  // CString::CString(const char*)
constexpr WORD kStringDestructorOrdinal = 800;  // CString::~CString()

// Members of the framework's classes use __thiscall (this in ECX, the callee removes the
// arguments). GCC applies the attribute to plain function types too; -Wpedantic only
// remarks that they are not class members.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
using StringConstructor = void*(__attribute__((thiscall)) *)(void* self, const char* text);
using StringDestructor = void(__attribute__((thiscall)) *)(void* self);
#pragma GCC diagnostic pop

// msvcrt.dll's operator new and delete: the heap the framework's objects live on.
using OperatorNew = void*(__cdecl*)(std::size_t);
using OperatorDelete = void(__cdecl*)(void*);

struct Heap {
    OperatorNew allocate = nullptr;
    OperatorDelete release = nullptr;
};

const Heap& crtHeap() {
    static const Heap heap = [] {
        Heap h;
        if (HMODULE crt = GetModuleHandleA("msvcrt.dll")) {
            h.allocate = reinterpret_cast<OperatorNew>(reinterpret_cast<void*>(GetProcAddress(crt, "??2@YAPAXI@Z")));
            h.release = reinterpret_cast<OperatorDelete>(reinterpret_cast<void*>(GetProcAddress(crt, "??3@YAXPAX@Z")));
        }
        if (!h.allocate || !h.release) {
            // MinGW's malloc and free are msvcrt.dll's, and its operator new calls them.
            h.allocate = [](std::size_t n) -> void* { return std::malloc(n); };
            h.release = [](void* p) { std::free(p); };
        }
        return h;
    }();
    return heap;
}

void* heapAllocate(std::size_t bytes) { return crtHeap().allocate(bytes); }
void heapRelease(void* p) {
    if (p) crtHeap().release(p);
}

KestroStringData* header(const KestroStringObject* object) {
    return reinterpret_cast<KestroStringData*>(object->text) - 1;
}

struct FrameworkStrings {
    StringConstructor construct = nullptr;
    StringDestructor destroy = nullptr;
};

// Checks a pair bound by ordinal before trusting it: a string built by it must have the
// framework's layout, and its destructor must take it back.
bool behavesAsStrings(const FrameworkStrings& f) {
    KestroStringObject probe{nullptr};
    f.construct(&probe, "kestro");
    const bool ok = probe.text && std::strcmp(probe.text, "kestro") == 0 && header(&probe)->refs == 1 &&
                    header(&probe)->length == 6 && header(&probe)->allocLength >= 6;
    if (probe.text) f.destroy(&probe);
    return ok;
}

// The framework's string functions when its DLL is loaded in this process, else empty.
// A framework host has its DLL loaded before it ever calls us; one that loads it later is
// seen within a second. (Looking a module up costs about a millisecond under Wine, so it
// is not done on every call.) The pair is checked once per loaded module.
FrameworkStrings frameworkStrings() {
    static std::mutex mutex;
    static HMODULE checked = nullptr;
    static FrameworkStrings bound;
    static ULONGLONG lookedUp = 0;
    static bool everLookedUp = false;
    std::lock_guard lock(mutex);
    const ULONGLONG now = GetTickCount64();
    if (everLookedUp && now - lookedUp < 1000) return bound;
    everLookedUp = true;
    lookedUp = now;
    HMODULE framework = GetModuleHandleA("MFC42.DLL");
    if (!framework) {
        checked = nullptr;
        bound = {};
        return bound;
    }
    if (framework != checked) {
        FrameworkStrings f;
        f.construct = reinterpret_cast<StringConstructor>(
            reinterpret_cast<void*>(GetProcAddress(framework, MAKEINTRESOURCEA(kStringFromTextOrdinal))));
        f.destroy = reinterpret_cast<StringDestructor>(
            reinterpret_cast<void*>(GetProcAddress(framework, MAKEINTRESOURCEA(kStringDestructorOrdinal))));
        bound = (f.construct && f.destroy && behavesAsStrings(f)) ? f : FrameworkStrings{};
        checked = framework;
    }
    return bound;
}

// An allocated length the framework's release build would not take for one of its
// pool sizes: its destructor then gives the buffer back to the heap.
int heapAllocLength(int length) { return isPoolLength(length) ? length + 1 : length; }

}  // namespace

const char* StringArgument::text() const noexcept {
    return (object_ && object_->text) ? object_->text : "";
}

StringArgument::~StringArgument() { releaseString(object_); }

void releaseString(KestroStringObject* object) noexcept {
    if (!object || !object->text) return;
    if (const FrameworkStrings f = frameworkStrings(); f.destroy) {
        f.destroy(object);
        return;
    }
    KestroStringData* data = header(object);
    // The shared empty string (count -1) is never released.
    if (data->refs < 0) return;
    if (InterlockedDecrement(&data->refs) > 0) return;
    // A pool-sized buffer belongs to the pools of a framework this process does not
    // have loaded; giving it to the heap would corrupt the heap. It stays allocated.
    if (isPoolLength(data->allocLength)) return;
    heapRelease(data);
}

KestroStringObject* constructString(KestroStringObject* at, const char* text) noexcept {
    if (!at) return at;
    if (!text) text = "";
    if (const FrameworkStrings f = frameworkStrings(); f.construct) {
        f.construct(at, text);
        return at;
    }
    const int length = static_cast<int>(std::strlen(text));
    const int allocLength = heapAllocLength(length);
    auto* data = static_cast<KestroStringData*>(heapAllocate(sizeof(KestroStringData) + allocLength + 1));
    if (!data) {
        // Out of memory: the framework would throw; a C boundary cannot. An object with
        // no characters reads as empty and is never released.
        at->text = nullptr;
        return at;
    }
    data->refs = 1;
    data->length = length;
    data->allocLength = allocLength;
    char* chars = reinterpret_cast<char*>(data + 1);
    std::memcpy(chars, text, static_cast<std::size_t>(length) + 1);
    at->text = chars;
    return at;
}

int fillUIntArray(KestroUIntArrayObject* array, int (*call)(KestroUIntArray*, void*), void* context) noexcept {
    if (!array) return call(nullptr, context);
    try {
        std::vector<uint32_t> values(16);
        KestroUIntArray plain{values.data(), 0, static_cast<int>(values.size())};
        int result = call(&plain, context);
        if (!result && plain.count > plain.capacity) {
            values.resize(static_cast<std::size_t>(plain.count));
            plain = KestroUIntArray{values.data(), 0, static_cast<int>(values.size())};
            result = call(&plain, context);
        }
        if (!result) return result;
        if (plain.count < 0 || plain.count > plain.capacity) return 0;
        const int count = plain.count;
        if (count > array->maxSize || (count > 0 && !array->data)) {
            auto* grown = static_cast<UINT*>(heapAllocate(sizeof(UINT) * static_cast<std::size_t>(count)));
            if (!grown) return 0;
            heapRelease(array->data);
            array->data = grown;
            array->maxSize = count;
        }
        if (count > 0) std::copy_n(values.data(), count, array->data);
        array->size = count;
        return result;
    } catch (...) {
        return 0;
    }
}

bool frameworkStringsBound() noexcept { return frameworkStrings().construct != nullptr; }

}  // namespace kestro::win32
