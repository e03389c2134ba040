// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the fuzz targets: failing a run with a reason, reading the input
// front to back, and the descriptor check that turns a leak into a finding.
#pragma once

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sanitizer/common_interface_defs.h>
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

namespace kelbos::fuzz {

// A broken invariant: reported, then abort() so libFuzzer keeps the input as a crash.
// The text goes out through the sanitizers' report channel, which stays open when
// libFuzzer is told to close the target's standard error (-close_fd_mask).
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

// libFuzzer's timeout timer interrupts blocking calls now and then. A blocking connect
// so interrupted goes on in the background: wait for it, and take its outcome.
inline bool connect_through_signals(int fd, const sockaddr* address, socklen_t address_length) {
    if (::connect(fd, address, address_length) == 0) return true;
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

// The fuzz input read from the front, so seeds can be written by hand: whatever is
// asked for past the end comes back as zeros or empty.
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

// Every `period` runs, compares the number of open descriptors with the number seen
// at the first look. A larger number may still be a lookup thread that is about to
// close its file, so it is looked at again for up to five seconds before it counts as
// a leak. Pipes are not counted: libFuzzer starts a symbolizer on pipes when it first
// reports a newly covered function.
class DescriptorWatch {
public:
    explicit DescriptorWatch(int period = 256) : period_(period) {}

    void after_run() {
        if (++runs_ % period_ != 0) return;
        int now = count();
        if (baseline_ < 0) {
            baseline_ = now;
            return;
        }
        for (int i = 0; i < 5000 && now > baseline_; ++i) {
            ::poll(nullptr, 0, 1);
            now = count();
        }
        FUZZ_CHECK(now <= baseline_, "open descriptors grew from %d to %d after %ld runs: %s", baseline_, now,
                   runs_, describe().c_str());
    }

private:
    template <typename F>
    static void for_each_descriptor(F&& f) {
        DIR* dir = ::opendir("/proc/self/fd");
        if (!dir) return;
        const int own = ::dirfd(dir);
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
            char target[256];
            const ssize_t n = ::readlinkat(own, entry->d_name, target, sizeof target - 1);
            target[n > 0 ? n : 0] = '\0';
            if (std::string_view(target).starts_with("pipe:")) continue;
            f(entry->d_name, target);
        }
        ::closedir(dir);
    }
    static int count() {
        int n = 0;
        for_each_descriptor([&](const char*, const char*) { ++n; });
        return n;
    }
    static std::string describe() {
        std::string out;
        for_each_descriptor(
            [&](const char* fd, const char* target) { out += std::string(fd) + "=" + target + " "; });
        return out;
    }

    int period_;
    long runs_ = 0;
    int baseline_ = -1;
};

// The process's one watch, checked after every run.
inline DescriptorWatch& descriptor_watch() {
    static DescriptorWatch watch;
    return watch;
}

}  // namespace kelbos::fuzz
