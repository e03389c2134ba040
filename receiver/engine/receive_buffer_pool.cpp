// SPDX-License-Identifier: Apache-2.0
#include "receiver/engine/receive_buffer_pool.h"

namespace kelbos {

ReceiveBufferPool::Lease::~Lease() {
    // Capacity for every buffer ever made was reserved when it was made, so this
    // push_back never allocates.
    if (buffer_) pool_->idle_.push_back(std::move(buffer_));
}

ReceiveBufferPool::Lease ReceiveBufferPool::take() {
    if (idle_.empty()) {
        ++made_;
        idle_.reserve(made_);
        return Lease(this, std::make_unique_for_overwrite<std::uint8_t[]>(buffer_size_));
    }
    std::unique_ptr<std::uint8_t[]> buffer = std::move(idle_.back());
    idle_.pop_back();
    return Lease(this, std::move(buffer));
}

}  // namespace kelbos
