#pragma once
// Message windows on POSIX (the window handles that notifications are posted to).

#include <cstddef>
#include <cstdint>

#include <kestro/kestro.h>

namespace kestro::platform {

// A Windows message queue holds at most 10000 posted messages; so does ours.
inline constexpr std::size_t kMessageQueueLimit = 10000;

HWND createMessageWindow();
void destroyMessageWindow(HWND window);
// 1 got one, 0 timed out, -1 not a window. A negative timeout waits without limit.
int getMessage(HWND window, KestroMessage* out, int timeoutMs);
// Posts refused because the queue was full.
std::uint64_t droppedMessages(HWND window);

}  // namespace kestro::platform
