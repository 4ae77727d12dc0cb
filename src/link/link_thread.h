#pragma once
// A link thread: created suspended, resumed and suspended with Windows-like suspend
// counts, stopped cooperatively and joined. Suspension takes effect at the thread's
// next pause point (a sleep or an explicit pausePoint()), never in the middle of a
// frame, so a paused thread never holds the send lock.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace kestro {

class LinkThread {
public:
    using Body = std::function<unsigned()>;

    // Starts the thread suspended (suspend count 1).
    explicit LinkThread(Body body);
    // Asks the thread to stop and joins it.
    ~LinkThread();
    LinkThread(const LinkThread&) = delete;
    LinkThread& operator=(const LinkThread&) = delete;

    // Previous suspend count (as SuspendThread / ResumeThread return it).
    int suspend();
    int resume();
    int suspendCount() const;

    // Makes every pause point and sleep of the thread return false from now on, wakes
    // it, and waits for it to end. Returns the thread's result.
    unsigned stopAndJoin();
    bool stopRequested() const;
    bool finished() const;

    // For the thread's own body: blocks while suspended; false once a stop was asked.
    static bool pausePoint();
    // For the thread's own body: sleeps, wakes early when a stop is asked; false then.
    // Outside a link thread it is a plain sleep that returns true.
    static bool sleepMs(int milliseconds);
    // The link thread running the caller, or nullptr.
    static LinkThread* current();

private:
    void run();

    Body m_body;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_suspendCount = 1;
    bool m_stop = false;
    bool m_finished = false;
    unsigned m_exitCode = 0;
    std::thread m_thread;
};

}  // namespace kestro
