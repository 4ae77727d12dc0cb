#pragma once
// What the library's notifications and results mean, in words.

#include <cstdint>
#include <string>

namespace kestro::cli {

// The meaning of a generator notification (wParam, lParam), e.g. "radiography exposure started".
std::string notificationMeaning(uintptr_t wParam, intptr_t lParam);
// Whether lParam is an error number whose text the error-message file holds (wParam 5 and 6).
bool notificationCarriesError(uintptr_t wParam);
// The meaning of a start-up result of IO_InitGenerator.
const char* startupMeaning(int result);
// The generator state reported by the status poll, in words.
const char* generatorStateMeaning(int state);

}  // namespace kestro::cli
