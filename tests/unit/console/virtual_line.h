#pragma once
// Virtual time and an in-memory console for the console link's threads.
//
// VirtualClock: time stands still while any of the link's threads is busy and jumps to
// the next wake-up as soon as all of them sleep, so a 10 s retry sequence runs in
// milliseconds and its order does not depend on the machine's load.
// ConsolePeer: the far end of the line; a responder answers every write the link makes.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <kestro/kestro.h>

#include "console/console_clock.h"
#include "link/link_thread.h"

namespace kestro::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

class VirtualClock final : public ConsoleClock {
public:
    explicit VirtualClock(int participants = 2) : m_participants(participants) {}

    bool sleepMs(int milliseconds) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        const long long wake = m_now + (milliseconds > 0 ? milliseconds : 0);
        auto entry = m_wakes.insert(wake);
        m_changed.notify_all();
        LinkThread* self = LinkThread::current();
        bool ok = true;
        while (m_now < wake) {
            if (self && self->stopRequested()) {
                ok = false;
                break;
            }
            if (static_cast<int>(m_wakes.size()) >= m_participants && *m_wakes.begin() > m_now) {
                m_now = *m_wakes.begin();  // everybody sleeps: on to the next wake-up
                m_changed.notify_all();
                continue;
            }
            m_changed.wait_for(lock, std::chrono::milliseconds(1));
        }
        m_wakes.erase(entry);
        m_changed.notify_all();
        return ok && !(self && self->stopRequested());
    }

    bool waitForInput(ConsolePort& port, int milliseconds) override {
        if (!sleepMs(milliseconds)) return false;
        return port.bytesInQueue() > 0;
    }

    long long nowMs() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_now;
    }

private:
    const int m_participants;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    long long m_now = 0;
    std::multiset<long long> m_wakes;
};

struct Written {
    long long atMs;
    Bytes bytes;
};

class ConsolePeer final : public ConsolePort {
public:
    // Gets what the link wrote; returns what the console answers (queued at once).
    using Responder = std::function<Bytes(const Bytes& written)>;

    explicit ConsolePeer(const VirtualClock& clock) : m_clock(clock) {}

    void setResponder(Responder responder) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_responder = std::move(responder);
    }
    void send(const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_input.insert(m_input.end(), bytes.begin(), bytes.end());
    }
    std::vector<Written> written() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_written;
    }
    int purges() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_purges;
    }
    // Bytes that arrive at a moment of virtual time (not before).
    void sendAt(long long atMs, const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_scheduled.push_back({atMs, bytes});
    }
    // Bytes not yet read, also those still to arrive.
    std::size_t pendingInput() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::size_t n = m_input.size();
        for (const Written& s : m_scheduled) n += s.bytes.size();
        return n;
    }

    bool isOpen() const override { return true; }
    int write(const std::uint8_t* data, int count) override {
        Bytes bytes(data, data + count);
        Responder responder;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_written.push_back({m_clock.nowMs(), bytes});
            responder = m_responder;
        }
        if (responder) send(responder(bytes));
        return count;
    }
    int bytesInQueue() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        arriveLocked();
        return static_cast<int>(m_input.size());
    }
    int read(std::uint8_t* buffer, int count) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        arriveLocked();
        int n = 0;
        while (n < count && !m_input.empty()) {
            buffer[n++] = m_input.front();
            m_input.pop_front();
        }
        return n;
    }
    bool waitForInput(int) override { return bytesInQueue() > 0; }
    void cancelWait() override {}
    void purge() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_purges;
        m_input.clear();
    }

private:
    // Scheduled bytes whose moment has come join the input, in the order sent.
    void arriveLocked() {
        const long long now = m_clock.nowMs();
        for (auto it = m_scheduled.begin(); it != m_scheduled.end();) {
            if (it->atMs > now) {
                ++it;
                continue;
            }
            m_input.insert(m_input.end(), it->bytes.begin(), it->bytes.end());
            it = m_scheduled.erase(it);
        }
    }

    const VirtualClock& m_clock;
    mutable std::mutex m_mutex;
    Responder m_responder;
    std::deque<std::uint8_t> m_input;
    std::vector<Written> m_scheduled;  // bytes and the moment they arrive
    std::vector<Written> m_written;
    int m_purges = 0;
};

// Collects every WM_CONSOLE_NOTIFY of a message window on a thread of its own (a long
// transfer posts more than a window queue holds).
class NoticeCollector {
public:
    NoticeCollector() : m_window(KestroCreateMessageWindow()) {
        m_thread = std::thread([this] {
            KestroMessage message{};
            while (!m_stop.load()) {
                if (KestroGetMessage(m_window, &message, 20) != 1) continue;
                if (message.message != WM_CONSOLE_NOTIFY) continue;
                std::lock_guard<std::mutex> lock(m_mutex);
                m_notices.emplace_back(message.wParam, message.lParam);
                m_changed.notify_all();
            }
        });
    }
    ~NoticeCollector() {
        m_stop = true;
        m_thread.join();
        KestroDestroyMessageWindow(m_window);
    }
    HWND window() const { return m_window; }

    using Notice = std::pair<std::uintptr_t, std::intptr_t>;
    std::vector<Notice> notices() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_notices;
    }
    // Waits (real time) until notice has been posted; true when it was.
    bool waitFor(Notice notice, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::size_t scanned = 0;
        return m_changed.wait_for(lock, timeout, [&] {
            for (; scanned < m_notices.size(); ++scanned)
                if (m_notices[scanned] == notice) return true;
            return false;
        });
    }

private:
    HWND m_window;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Notice> m_notices;
    std::thread m_thread;
};

}  // namespace kestro::test
