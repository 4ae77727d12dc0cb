#pragma once
// An in-memory generator for the link: records every frame the link writes and answers
// it with bytes a test decides, which the link's reader thread then parses. Answers
// can be given at once (from write) or later (inject).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/byte_transport.h"

namespace kestro::test {

using Bytes = std::vector<std::uint8_t>;

inline std::uint8_t sum8(const Bytes& bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    return static_cast<std::uint8_t>(sum & 0xFF);
}

// A data-bag frame with its checksum: 01, index, length, data, sum.
inline Bytes bagFrame(std::uint8_t index, const Bytes& data) {
    Bytes f;
    f.reserve(data.size() + 5);
    f.push_back(0x01);
    f.push_back(index);
    f.push_back(static_cast<std::uint8_t>(data.size() >> 8));
    f.push_back(static_cast<std::uint8_t>(data.size() & 0xFF));
    for (std::uint8_t b : data) f.push_back(b);
    f.push_back(sum8(f));
    return f;
}

// An ASCII message from the generator: text, ETX, checksum.
inline Bytes message(const std::string& text) {
    Bytes f(text.begin(), text.end());
    f.push_back(0x03);
    f.push_back(sum8(f));
    return f;
}

class FakeGenerator : public ByteTransport {
public:
    using Answer = std::function<Bytes(const Bytes& frame)>;

    void setAnswer(Answer a) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = std::move(a);
    }

    std::vector<Bytes> frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    void clearFrames() {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.clear();
    }

    void inject(const Bytes& bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            input_.insert(input_.end(), bytes.begin(), bytes.end());
        }
        changed_.notify_all();
    }

    // ByteTransport
    bool isOpen() const override { return true; }
    int write(const std::uint8_t* data, int count) override {
        Bytes frame(data, data + count);
        Answer answer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame);
            answer = answer_;
        }
        if (answer) inject(answer(frame));
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
        const auto ready = [&] { return !input_.empty() || cancelled_; };
        if (timeoutMs < 0) changed_.wait(lock, ready);
        else changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
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

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::uint8_t> input_;
    std::vector<Bytes> frames_;
    Answer answer_;
    bool cancelled_ = false;
};

}  // namespace kestro::test
