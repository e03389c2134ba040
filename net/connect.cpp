// SPDX-License-Identifier: Apache-2.0
#include "net/connect.h"

#include <algorithm>
#include <cerrno>

namespace kelbos {

StreamConnector::State StreamConnector::start(const std::string& host, std::uint16_t port,
                                              std::chrono::milliseconds bound, Prepare prepare) {
    reset(bound, std::move(prepare));
    lookup_ = std::make_unique<HostLookup>(host, port);
    if (!lookup_->done()) return state_ = State::resolving;
    return resolved();
}

StreamConnector::State StreamConnector::start(std::vector<SocketAddress> addresses,
                                              std::chrono::milliseconds bound, Prepare prepare) {
    reset(bound, std::move(prepare));
    return begin(std::move(addresses));
}

void StreamConnector::reset(std::chrono::milliseconds bound, Prepare prepare) {
    cancel();
    addresses_.clear();
    index_ = 0;
    prepare_ = std::move(prepare);
    error_ = 0;
    bound_ = bound;
}

StreamConnector::State StreamConnector::resolved() {
    if (!lookup_) return state_;
    std::vector<SocketAddress> addresses = lookup_->take();
    lookup_.reset();
    return begin(std::move(addresses));
}

StreamConnector::State StreamConnector::begin(std::vector<SocketAddress> addresses) {
    addresses_ = std::move(addresses);
    if (addresses_.empty()) return state_ = State::unresolved;
    deadline_ = std::chrono::steady_clock::now() + bound_;
    return next();
}

StreamConnector::State StreamConnector::next() {
    for (; index_ < addresses_.size(); ++index_) {
        const SocketAddress& address = addresses_[index_];
        Socket candidate = make_socket(SOCK_STREAM, address.family());
        if (!candidate && errno == EAFNOSUPPORT) continue;
        if (!candidate) return stop(errno);
        const int error = prepare_ ? prepare_(address, candidate) : 0;
        if (error == EAFNOSUPPORT) continue;
        if (error != 0) return stop(error);
        if (!set_nonblocking(candidate.fd())) return stop(errno);
        const auto now = std::chrono::steady_clock::now();
        const auto left = std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now),
                                   std::chrono::milliseconds(0));
        share_end_ = now + left / static_cast<int>(addresses_.size() - index_);
        socket_ = std::move(candidate);
        if (::connect(socket_.fd(), address.get(), address.length) == 0) return state_ = State::connected;
        if (errno != EINPROGRESS) {
            error_ = errno;
            socket_.reset();
            continue;
        }
        // One that is settled already (on this host) or has no time left is not waited for.
        if (wait_writable(socket_.fd(), std::chrono::milliseconds(0)) != WaitResult::timeout) {
            if (settle() == State::connected) return state_;
            continue;
        }
        if (share_end_ <= now) {
            error_ = ETIMEDOUT;
            socket_.reset();
            continue;
        }
        return state_ = State::waiting;
    }
    return state_ = State::failed;
}

StreamConnector::State StreamConnector::settle() {
    error_ = pending_error(socket_.fd());
    if (error_ == 0) return state_ = State::connected;
    socket_.reset();
    return state_;
}

StreamConnector::State StreamConnector::writable() {
    if (state_ != State::waiting) return state_;
    const WaitResult ready = wait_writable(socket_.fd(), std::chrono::milliseconds(0));
    if (ready == WaitResult::timeout) return state_;  // not yet after all
    if (ready == WaitResult::error) {
        error_ = errno;
        socket_.reset();
    } else if (settle() == State::connected) {
        return state_;
    }
    ++index_;
    return next();
}

StreamConnector::State StreamConnector::timed_out() {
    if (state_ != State::waiting) return state_;
    error_ = ETIMEDOUT;
    socket_.reset();
    ++index_;
    return next();
}

void StreamConnector::cancel() {
    lookup_.reset();
    socket_.reset();
    state_ = State::idle;
}

int StreamConnector::waiting_fd() const {
    if (state_ == State::resolving) return lookup_->fd();
    return state_ == State::waiting ? socket_.fd() : -1;
}

std::chrono::milliseconds StreamConnector::share() const {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(share_end_ - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(1));
}

Socket StreamConnector::take_socket() {
    state_ = State::idle;
    return std::move(socket_);
}

StreamConnector::State StreamConnector::stop(int error) {
    error_ = error;
    socket_.reset();
    return state_ = State::stopped;
}

}  // namespace kelbos
