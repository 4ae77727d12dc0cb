#pragma once
// An in-memory transport standing in for the generator: it records every frame the link
// writes and answers a frame with the messages a script returns for its command text.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/byte_transport.h"

namespace kestro::test {

// The frame the link sends for a command text: the text, ETX, the 8-bit sum.
inline std::string commandFrame(const std::string& text) {
    unsigned sum = 0x03;
    for (unsigned char c : text) sum += c;
    return text + '\x03' + static_cast<char>(sum & 0xFF);
}

class ScriptedTransport : public ByteTransport {
public:
    // Command text of a well-formed frame -> message texts the generator answers with.
    using Script = std::function<std::vector<std::string>(const std::string& command)>;

    void setScript(Script script) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = std::move(script);
    }

    bool isOpen() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }

    int write(const std::uint8_t* data, int count) override {
        std::string frame(reinterpret_cast<const char*>(data), static_cast<std::size_t>(count));
        Script script;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame);
            script = script_;
        }
        // Only a well-formed frame is understood (as a generator would).
        if (count >= 2 && frame == commandFrame(frame.substr(0, frame.size() - 2)) && script)
            for (const std::string& reply : script(frame.substr(0, frame.size() - 2))) queueMessage(reply);
        return count;
    }

    int bytesInQueue() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(input_.size());
    }

    int read(std::uint8_t* buffer, int count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        while (n < count && !input_.empty()) {
            buffer[n++] = input_.front();
            input_.pop_front();
        }
        return n;
    }

    bool waitForInput(int timeoutMs) override {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [&] { return !input_.empty() || cancelled_ || !open_; };
        if (timeoutMs < 0)
            changed_.wait(lock, ready);
        else
            changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
        cancelled_ = false;
        return !input_.empty();
    }

    void cancelWait() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancelled_ = true;
        }
        changed_.notify_all();
    }

    // Queues a generator message: the text, ETX and its checksum.
    void queueMessage(const std::string& text) { queueBytes(commandFrame(text)); }

    void queueBytes(const std::string& bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            input_.insert(input_.end(), bytes.begin(), bytes.end());
        }
        changed_.notify_all();
    }

    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = false;
        }
        changed_.notify_all();
    }

    std::vector<std::string> frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    // The command texts of the frames written so far (a frame without its two last
    // bytes).
    std::vector<std::string> commands() const {
        std::vector<std::string> texts;
        for (const std::string& frame : frames()) texts.push_back(frame.size() >= 2 ? frame.substr(0, frame.size() - 2) : frame);
        return texts;
    }
    void clearFrames() {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::uint8_t> input_;
    std::vector<std::string> frames_;
    Script script_;
    bool open_ = true;
    bool cancelled_ = false;
};

}  // namespace kestro::test
