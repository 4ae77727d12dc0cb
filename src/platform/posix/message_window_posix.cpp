// Message windows on POSIX: a handle names a bounded, ordered queue of posted messages.
// Posting to anything that is not a live window fails silently, as a post to a stale
// window does on Windows; a full queue refuses the post and counts it.

#include "platform/posix/message_window_posix.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/platform.h"

namespace kestro::platform {
namespace {

struct Window {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<KestroMessage> queue;
    std::uint64_t dropped = 0;
    bool destroyed = false;
};

struct Registry {
    std::mutex mutex;
    std::map<void*, std::shared_ptr<Window>> windows;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: posts may come during unload
    return *r;
}

std::shared_ptr<Window> find(HWND handle) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.windows.find(handle);
    return it == r.windows.end() ? nullptr : it->second;
}

}  // namespace

HWND createMessageWindow() {
    auto window = std::make_shared<Window>();
    HWND handle = window.get();
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.windows.emplace(handle, std::move(window));
    return handle;
}

void destroyMessageWindow(HWND handle) {
    std::shared_ptr<Window> window;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.windows.find(handle);
        if (it == r.windows.end()) return;
        window = std::move(it->second);
        r.windows.erase(it);
    }
    std::lock_guard<std::mutex> lock(window->mutex);
    window->destroyed = true;
    window->arrived.notify_all();
}

int getMessage(HWND handle, KestroMessage* out, int timeoutMs) {
    std::shared_ptr<Window> window = find(handle);
    if (!window) return -1;
    std::unique_lock<std::mutex> lock(window->mutex);
    auto ready = [&] { return window->destroyed || !window->queue.empty(); };
    if (timeoutMs < 0) {
        window->arrived.wait(lock, ready);
    } else if (timeoutMs == 0) {
        if (!ready()) return 0;  // a look, not a wait
    } else if (!window->arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return 0;
    }
    if (window->queue.empty()) return -1;  // destroyed while waiting
    if (out) *out = window->queue.front();
    window->queue.pop_front();
    return 1;
}

std::uint64_t droppedMessages(HWND handle) {
    std::shared_ptr<Window> window = find(handle);
    if (!window) return 0;
    std::lock_guard<std::mutex> lock(window->mutex);
    return window->dropped;
}

bool postMessage(HWND handle, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (!handle) return false;
    std::shared_ptr<Window> window = find(handle);
    if (!window) return false;
    std::lock_guard<std::mutex> lock(window->mutex);
    if (window->destroyed) return false;
    if (window->queue.size() >= kMessageQueueLimit) {
        ++window->dropped;
        return false;
    }
    window->queue.push_back(KestroMessage{message, wParam, lParam});
    window->arrived.notify_one();
    return true;
}

}  // namespace kestro::platform
