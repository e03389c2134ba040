// SPDX-License-Identifier: Apache-2.0
#include "transmitter_rig.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace kelbos::fuzz {

ScriptedReceiver::ScriptedReceiver() : release_(::eventfd(0, EFD_CLOEXEC)) {
    FUZZ_CHECK(release_, "eventfd: %s", std::strerror(errno));
    for (const Socket* s : {&sockets_.control, &sockets_.stream, &sockets_.datagram})
        FUZZ_CHECK(set_nonblocking(s->fd()), "non-blocking: %s", std::strerror(errno));
}

void ScriptedReceiver::play_setup(int transport, Bytes reply, After after) {
    start(Job{.setup = true,
              .listener = sockets_.listener(transport).fd(),
              .answer = std::move(reply),
              .after = after});
}

void ScriptedReceiver::play_shutdown(Socket connection, std::size_t data_before, Bytes ack, After after) {
    start(Job{.setup = false,
              .connection = std::move(connection),
              .data_before = data_before,
              .answer = std::move(ack),
              .after = after});
}

void ScriptedReceiver::start(Job job) {
    played_ = std::async(std::launch::async, [this, job = std::move(job)]() mutable {
        Played played = perform(job);
        std::uint64_t count = 0;  // the link's call has returned
        while (::read(release_.fd(), &count, sizeof count) < 0 && errno == EINTR) {
        }
        return played;
    });
}

ScriptedReceiver::Played ScriptedReceiver::finish(bool message_sent) {
    message_sent_ = message_sent;
    const std::uint64_t one = 1;
    FUZZ_CHECK(::write(release_.fd(), &one, sizeof one) == sizeof one, "eventfd write: %s",
               std::strerror(errno));
    return played_.get();
}

ScriptedReceiver::Played ScriptedReceiver::perform(Job& job) {
    if (!job.setup) {
        Bytes received;
        if (read_exactly(job.connection.fd(), job.data_before + SHUTDOWN_REQUEST_LEN, received) != Got::all)
            return {};
        Bytes request(received.end() - SHUTDOWN_REQUEST_LEN, received.end());
        return answer(std::move(job.connection), std::move(request), job);
    }
    for (;;) {
        if (!readable_before_release(job.listener)) return {};
        Socket connection(::accept4(job.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!connection) continue;  // taken back by its link before it could be accepted
        Bytes request;
        switch (read_exactly(connection.fd(), SETUP_REQUEST_LEN, request)) {
            case Got::all:
                set_int_option(connection.fd(), IPPROTO_TCP, TCP_NODELAY, 1);
                return answer(std::move(connection), std::move(request), job);
            case Got::ended:
                continue;  // a connection left over from a link that gave up
            case Got::released:
                return {};
        }
    }
}

ScriptedReceiver::Played ScriptedReceiver::answer(Socket connection, Bytes request, const Job& job) {
    if (!job.answer.empty() && ::send(connection.fd(), job.answer.data(), job.answer.size(), MSG_NOSIGNAL) !=
                                   static_cast<ssize_t>(job.answer.size()))
        return {};
    if (job.after == After::close) connection.reset();
    if (job.after == After::reset) reset_connection(connection);
    return Played{true, std::move(request), std::move(connection)};
}

bool ScriptedReceiver::readable_before_release(int fd) {
    pollfd p[2] = {{fd, POLLIN, 0}, {release_.fd(), POLLIN, 0}};
    for (;;) {
        // Once released with the message sent, only the connection counts.
        const int watched = p[1].revents != 0 && message_sent_ ? 1 : 2;
        FUZZ_CHECK(poll_through_signals(p, watched, static_cast<int>(HANDSHAKE_WAIT.count())) > 0,
                   "the link sent nothing for %lld ms", static_cast<long long>(HANDSHAKE_WAIT.count()));
        if (p[0].revents != 0) return true;
        if (!message_sent_) return false;
    }
}

ScriptedReceiver::Got ScriptedReceiver::read_exactly(int fd, std::size_t n, Bytes& out) {
    out.clear();
    std::uint8_t buffer[4096];
    while (out.size() < n) {
        const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, n - out.size()), MSG_DONTWAIT);
        if (got > 0) {
            out.insert(out.end(), buffer, buffer + got);
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return Got::ended;
        if (!readable_before_release(fd)) return Got::released;
    }
    return Got::all;
}

}  // namespace kelbos::fuzz
