// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the fuzz targets: failing a run with a reason, reading the input
// front to back, socket waits, and the descriptor check that turns a leak into a finding.
#pragma once

#include <dirent.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol.h"
#include "net/address.h"
#include "net/resolve.h"
#include "net/sockets.h"

namespace kelbos::fuzz {

// A broken invariant: reported through the sanitizers' channel (open under
// -close_fd_mask), then abort() so libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(cond, ...)                                                        \
    do {                                                                             \
        if (!(cond)) {                                                               \
            char fuzz_check_detail[4096];                                            \
            std::snprintf(fuzz_check_detail, sizeof fuzz_check_detail, __VA_ARGS__); \
            ::kelbos::fuzz::fail(__FILE__, __LINE__, #cond, fuzz_check_detail);      \
        }                                                                            \
    } while (0)

[[noreturn]] inline void fail(const char* file, int line, const char* condition, const char* detail) {
    std::string text =
        std::string(file) + ":" + std::to_string(line) + ": invariant broken: " + condition + "\n  " + detail;
    __sanitizer_report_error_summary(text.c_str());
    std::abort();
}

using Bytes = std::vector<std::uint8_t>;

// A blocking connect interrupted by libFuzzer's timer goes on: wait for its outcome.
inline bool connect_through_signals(int fd, const SocketAddress& address) {
    if (::connect(fd, address.get(), address.length) == 0) return true;
    if (errno != EINTR) return false;
    pollfd p{fd, POLLOUT, 0};
    int n;
    while ((n = ::poll(&p, 1, -1)) < 0 && errno == EINTR) {
    }
    if (n != 1) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    errno = error;
    return error == 0;
}

// poll for up to `limit_ms`, however often a signal interrupts it.
inline int poll_through_signals(pollfd* fds, nfds_t count, int limit_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        const int n = ::poll(fds, count, left > 0 ? static_cast<int>(left) : 0);
        if (n >= 0 || errno != EINTR) return n;
    }
}

// Bytes waiting unread on a socket, or -1.
inline int unread_bytes(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// Waits up to `limit` until done(): while nothing is unread on fd its readability is
// the news, otherwise it looks again each millisecond. Gives done().
template <typename Done>
bool wait_on(int fd, std::chrono::milliseconds limit, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (unread_bytes(fd) == 0)
            (void)wait_readable(fd, limit);
        else
            ::poll(nullptr, 0, 1);
    }
    return done();
}

// Closes a connection with a reset instead of an orderly end.
inline void reset_connection(Socket& connection) {
    if (!connection) return;
    const linger hard{1, 0};
    ::setsockopt(connection.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    connection.reset();
}

// The fuzzing transmitter's SetupRequest.
inline constexpr std::uint32_t FUZZ_KELBO_BYTES = 2500000;
inline constexpr const char* FUZZ_HOST = "fuzz-tx";
inline constexpr const char* FUZZ_COLOUR = "#800000";
inline std::vector<std::uint8_t> fuzz_setup_request(int transport, std::uint32_t message_length) {
    SetupRequest request;
    request.kelbo_bytes = FUZZ_KELBO_BYTES;
    request.message_length = message_length;
    request.host_name = FUZZ_HOST;
    request.colour_text = FUZZ_COLOUR;
    request.transport = static_cast<std::uint8_t>(transport);
    const auto bytes = encode_setup_request(request);
    return {bytes.begin(), bytes.end()};
}

// Bytes as hexadecimal text, for reports.
inline std::string hex(const Bytes& bytes) {
    std::string out;
    char two[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X ", b);
        out += two;
    }
    return out.empty() ? "(none)" : out;
}

// The fuzz input read from the front (seeds can be written by hand); past the end: zeros.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    bool empty() const { return pos_ >= data_.size(); }
    std::uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
    // Up to n bytes.
    Bytes bytes(std::size_t n) {
        const std::size_t take = std::min(n, data_.size() - pos_);
        Bytes out(data_.begin() + static_cast<std::ptrdiff_t>(pos_),
                  data_.begin() + static_cast<std::ptrdiff_t>(pos_ + take));
        pos_ += take;
        return out;
    }
    // A length byte, then that many bytes.
    Bytes piece() { return bytes(byte()); }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// The open descriptors but pipes (libFuzzer's symbolizer), listed in `open` as fd=target.
inline int open_descriptors(std::string& open) {
    open.clear();
    int n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return 0;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
        char target[256];
        const ssize_t length = ::readlinkat(own, entry->d_name, target, sizeof target - 1);
        target[length > 0 ? length : 0] = '\0';
        if (std::string_view(target).starts_with("pipe:")) continue;
        open += std::string(entry->d_name) + "=" + target + " ";
        ++n;
    }
    ::closedir(dir);
    return n;
}

// Called after every run; every 256 runs, compares the number of open descriptors with
// the first look's. A larger number may be a lookup thread about to close its file: it
// counts as a leak only after five seconds.
inline void check_descriptors() {
    static long runs = 0;
    static int baseline = -1;
    if (++runs % 256 != 0) return;
    std::string open;
    int now = open_descriptors(open);
    if (baseline < 0) {
        baseline = now;
        return;
    }
    for (int i = 0; i < 5000 && now > baseline; ++i) {
        ::poll(nullptr, 0, 1);
        now = open_descriptors(open);
    }
    FUZZ_CHECK(now <= baseline, "open descriptors grew from %d to %d after %ld runs: %s", baseline, now, runs,
               open.c_str());
}

}  // namespace kelbos::fuzz
