// SPDX-License-Identifier: Apache-2.0
// Receive buffers for the link engine's handler. The handler can be entered again
// from a modal loop inside one of its callbacks, so each call needs a buffer of its
// own; the pool keeps the ones made so far and makes a new one only when every buffer
// is in use, so it grows to the deepest nesting seen and the steady state allocates
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kelbos {

class ReceiveBufferPool {
public:
    explicit ReceiveBufferPool(std::size_t buffer_size) : buffer_size_(buffer_size) {}
    ReceiveBufferPool(const ReceiveBufferPool&) = delete;
    ReceiveBufferPool& operator=(const ReceiveBufferPool&) = delete;

    // One buffer, held by one handler call; goes back to the pool when destroyed.
    class Lease {
    public:
        Lease(Lease&& other) noexcept = default;
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease();

        std::uint8_t* data() const { return buffer_.get(); }
        std::size_t size() const { return pool_->buffer_size_; }
        std::span<std::uint8_t> bytes() const { return {buffer_.get(), size()}; }

    private:
        friend class ReceiveBufferPool;
        Lease(ReceiveBufferPool* pool, std::unique_ptr<std::uint8_t[]> buffer)
            : pool_(pool), buffer_(std::move(buffer)) {}
        ReceiveBufferPool* pool_;
        std::unique_ptr<std::uint8_t[]> buffer_;
    };

    Lease take();

    std::size_t buffer_size() const { return buffer_size_; }
    // Buffers made since construction: the deepest nesting seen.
    std::size_t buffers_made() const { return made_; }
    std::size_t buffers_idle() const { return idle_.size(); }

private:
    std::size_t buffer_size_;
    std::vector<std::unique_ptr<std::uint8_t[]>> idle_;
    std::size_t made_ = 0;
};

}  // namespace kelbos
