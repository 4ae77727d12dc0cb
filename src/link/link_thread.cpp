#include "link/link_thread.h"

#include <chrono>

namespace kestro {
namespace {
thread_local LinkThread* t_current = nullptr;
}

LinkThread::LinkThread(Body body) : m_body(std::move(body)) { m_thread = std::thread([this] { run(); }); }

LinkThread::~LinkThread() { stopAndJoin(); }

void LinkThread::run() {
    t_current = this;
    unsigned code = 0;
    if (pausePoint()) code = m_body();  // wait for the first resume
    std::lock_guard<std::mutex> lock(m_mutex);
    m_exitCode = code;
    m_finished = true;
    m_changed.notify_all();
}

int LinkThread::suspend() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished) return -1;
    return m_suspendCount++;
}

int LinkThread::resume() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished) return -1;
    int previous = m_suspendCount;
    if (m_suspendCount > 0) --m_suspendCount;
    if (m_suspendCount == 0) m_changed.notify_all();
    return previous;
}

int LinkThread::suspendCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_suspendCount;
}

unsigned LinkThread::stopAndJoin() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id()) {
            m_thread.detach();  // a thread cannot join itself
        } else {
            m_thread.join();
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_exitCode;
}

bool LinkThread::stopRequested() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

bool LinkThread::finished() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished;
}

LinkThread* LinkThread::current() { return t_current; }

bool LinkThread::pausePoint() {
    LinkThread* self = t_current;
    if (!self) return true;
    std::unique_lock<std::mutex> lock(self->m_mutex);
    self->m_changed.wait(lock, [self] { return self->m_stop || self->m_suspendCount == 0; });
    return !self->m_stop;
}

bool LinkThread::sleepMs(int milliseconds) {
    LinkThread* self = t_current;
    if (!self) {
        if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return true;
    }
    {
        std::unique_lock<std::mutex> lock(self->m_mutex);
        if (milliseconds > 0)
            self->m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [self] { return self->m_stop; });
        if (self->m_stop) return false;
    }
    return pausePoint();
}

}  // namespace kestro
