#pragma once
// The framework's string and unsigned-int array objects at the Windows boundary.
//
// MFC 4.2 hosts pass string objects by value (the callee releases them), receive string
// objects constructed at a hidden result pointer, and hand over their unsigned-int array
// objects to be filled. The exports keep their plain C forms (const char*, KestroString,
// KestroUIntArray); the generated host forms (kestro_host_forms.cpp) convert with the
// helpers below and call them.
//
// Where the framework's DLL is loaded in the process, strings are built and released
// by its own exported constructor and destructor; otherwise on msvcrt.dll's heap, as the
// framework lays them out.

#include <kestro/kestro.h>

#include <cstdint>
#include <type_traits>

namespace kestro::win32 {

// A string object passed by value: its text for the call, released at the end of the
// scope as the framework's destructor would release it.
class StringArgument {
public:
    explicit StringArgument(KestroStringObject* object) noexcept : object_(object) {}
    ~StringArgument();
    StringArgument(const StringArgument&) = delete;
    StringArgument& operator=(const StringArgument&) = delete;

    // The characters (never null; "" for an object without any).
    const char* text() const noexcept;

private:
    KestroStringObject* object_;
};

// Constructs a string object holding text at `at` (uninitialised memory of the
// caller) and returns `at`. A null text gives an empty string.
KestroStringObject* constructString(KestroStringObject* at, const char* text) noexcept;

// Releases a string object as the framework's destructor does.
void releaseString(KestroStringObject* object) noexcept;

// Calls the C form with an array of its own and, when it succeeds, empties `array` and
// fills it with the values (growing its buffer on msvcrt's heap). A failed call leaves
// `array` as it was. A null `array` is passed on as null.
int fillUIntArray(KestroUIntArrayObject* array, int (*call)(KestroUIntArray*, void*), void* context) noexcept;

template <typename Call>
int fillUIntArray(KestroUIntArrayObject* array, Call&& call) noexcept {
    return fillUIntArray(
        array,
        [](KestroUIntArray* plain, void* context) {
            return (*static_cast<std::remove_reference_t<Call>*>(context))(plain);
        },
        &call);
}

// The framework's pool sizes: its release build hands string buffers of exactly these
// allocated lengths back to fixed-size pools, not to the heap.
constexpr bool isPoolLength(int allocLength) {
    return allocLength == 64 || allocLength == 128 || allocLength == 256 || allocLength == 512;
}

// Whether string objects are currently built through the framework's own DLL (for
// tests and diagnostics).
bool frameworkStringsBound() noexcept;

}  // namespace kestro::win32
