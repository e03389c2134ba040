// SPDX-License-Identifier: Apache-2.0
#include "connection_flood.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <sstream>

#include "flood_script.h"
#include "program_pair_support.h"
#include "resolve.h"

namespace kelbos::floodtest {

namespace {

using Clock = std::chrono::steady_clock;
struct Conn {
    const PlannedConnection* plan = nullptr;
    Socket socket;
    bool connecting = true;
    bool ended = false;  // end of stream, or a reset
    Bytes received;
    std::optional<AfterAccept> after;  // what an accepted bogus link did next
};

SocketAddress loopback(std::uint16_t port, const char* address = "127.0.0.1") {
    return resolve_host(address, port).at(0);
}

bool bind_source(const Socket& socket, const char* source) {
    const SocketAddress from = loopback(0, source);
    return ::bind(socket.fd(), from.get(), from.length) == 0;
}

bool send_all(const Socket& socket, const std::uint8_t* data, std::size_t size) {
    // The receiver may have refused and closed already: a failed send is no fault.
    return ::send(socket.fd(), data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

void drain(Conn& c) {
    std::uint8_t buffer[4096];
    while (c.socket && !c.ended) {
        const ssize_t n = ::recv(c.socket.fd(), buffer, sizeof buffer, 0);
        if (n > 0) {
            c.received.insert(c.received.end(), buffer, buffer + n);
        } else if (n == 0) {
            c.ended = true;
        } else if (errno != EINTR) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) c.ended = true;  // a reset
            return;
        }
    }
}

// Polls the connections `waiting` picks, handing readiness to `ready`, until none or the limit.
void wait_on(std::vector<Conn>& conns, short events, const std::function<bool(const Conn&)>& waiting,
             const std::function<void(Conn&)>& ready, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Conn*> who;
        for (Conn& c : conns) {
            if (!c.socket || !waiting(c)) continue;
            fds.push_back(pollfd{c.socket.fd(), events, 0});
            who.push_back(&c);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (fds.empty() || left.count() <= 0) return;
        const int r =
            ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left.count(), 200)));
        if (r < 0 && errno != EINTR) return;
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents != 0) ready(*who[i]);
    }
}

enum class Answer { none, refused, accepted, odd };

Answer answer_of(const Bytes& received) {
    if (received.empty()) return Answer::none;
    if (received.size() < SETUP_REPLY_LEN) return Answer::odd;
    const SetupReplyBytes reject = encode_setup_reject();
    if (std::equal(reject.begin(), reject.end(), received.begin())) return Answer::refused;
    const ConnId id = received[0];
    if (id >= CONN_FIRST && id <= CONN_LAST && received[1] == MSG_SETUP_ACCEPTED && received[2] == 1 &&
        received[3] == 5)
        return Answer::accepted;
    return Answer::odd;
}

bool wants_reply(const PlannedConnection& p) {
    return (p.kind == FloodKind::bogus_setup || p.kind == FloodKind::random_bytes) &&
           p.bytes.size() >= SETUP_REQUEST_LEN;
}

}  // namespace

class ConnectionFlood::Impl {
public:
    Impl(FloodPlan plan, const Ports& ports)
        : plan_(std::move(plan)), ports_(ports), script_(draw_flood(plan_)), planned_(script_.connections) {}

    void run_bursts() {
        for (const PlannedConnection& p : planned_) ++report_.made[static_cast<int>(p.kind)];
        datagram_ = make_socket(SOCK_DGRAM);
        bind_source(datagram_, plan_.source);
        const SocketAddress to = loopback(ports_.datagram);
        ::connect(datagram_.fd(), to.get(), to.length);

        // The prologue first, one connection at a time: admitted while ConnIds are spare.
        std::size_t next = 0;
        std::vector<Conn> prologue;
        for (; next < script_.prologue && next < planned_.size(); ++next) {
            connect_one(prologue, planned_[next]);
            await_connects(prologue);
        }
        run_group(prologue);

        for (std::size_t b = 0; next < planned_.size(); ++b) {
            if (b > 0 && plan_.between_bursts) plan_.between_bursts();
            std::vector<Conn> conns;
            const std::size_t end = std::min(planned_.size(), next + static_cast<std::size_t>(plan_.burst));
            for (; next < end; ++next) connect_one(conns, planned_[next]);
            if (b < script_.datagrams.size())
                for (const Bytes& datagram : script_.datagrams[b])
                    if (::send(datagram_.fd(), datagram.data(), datagram.size(), MSG_DONTWAIT) >= 0)
                        ++report_.datagrams;
            run_group(conns);
        }
    }

    // Every connection held open is closed by the receiver: refused, or timed out silently.
    void await_held() {
        wait_on(
            held_, POLLIN, [](const Conn& c) { return !c.ended; }, drain, plan_.limit);
        for (Conn& c : held_) {
            count_held(c);
            c.socket.reset();
        }
        held_.clear();
    }

    const FloodReport& report() const { return report_; }
    int burst_count() const { return script_.bursts; }

private:
    // Everything a group of connections does once its connects have been made.
    void run_group(std::vector<Conn>& conns) {
        await_connects(conns);
        act(conns);
        await_replies(conns);
        after_accept(conns);
        settle(conns);
    }

    // The kernel drops (or, with SYN cookies, half-completes) connects that find the
    // accept queue full, so each connect waits for room there: every connection reaches
    // the receiver. A receiver that stops taking them ends the pacing; later connects fail.
    void make_room(std::uint16_t port) {
        int& room = port == ports_.stream ? stream_room_ : control_room_;
        if (pacing_stalled_) return;
        if (room > 0) {
            --room;
            return;
        }
        const auto deadline = Clock::now() + plan_.limit;
        for (;;) {
            const std::optional<int> queued = pairtest::listen_queue(port);
            if (!queued) return;
            if (*queued < LISTEN_BACKLOG) {
                room = LISTEN_BACKLOG - *queued - 1;
                return;
            }
            if (Clock::now() > deadline) {
                pacing_stalled_ = true;
                return;
            }
            ::poll(nullptr, 0, 1);
        }
    }

    void connect_one(std::vector<Conn>& conns, const PlannedConnection& p) {
        make_room(p.to_stream ? ports_.stream : ports_.control);
        Conn c;
        c.plan = &p;
        c.socket = make_socket(SOCK_STREAM);
        if (!c.socket || !set_nonblocking(c.socket.fd()) || !bind_source(c.socket, plan_.source)) {
            ++report_.not_connected;
            return;
        }
        set_int_option(c.socket.fd(), IPPROTO_TCP, TCP_NODELAY, 1);
        const SocketAddress to = loopback(p.to_stream ? ports_.stream : ports_.control);
        const int r = ::connect(c.socket.fd(), to.get(), to.length);
        if (r != 0 && errno != EINPROGRESS) {
            ++report_.not_connected;
            return;
        }
        if (p.kind == FloodKind::close_at_once) return;  // the socket closes here
        c.connecting = r != 0;
        if (!c.connecting) ++report_.connected;
        conns.push_back(std::move(c));
    }

    void await_connects(std::vector<Conn>& conns) {
        wait_on(
            conns, POLLOUT, [](const Conn& c) { return c.connecting; },
            [this](Conn& c) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(c.socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
                c.connecting = false;
                if (error == 0) {
                    ++report_.connected;
                } else {
                    ++report_.not_connected;
                    c.socket.reset();
                }
            },
            plan_.limit);
        for (Conn& c : conns)
            if (c.socket && c.connecting) {
                ++report_.not_connected;
                c.socket.reset();
            }
    }

    void act(std::vector<Conn>& conns) {
        for (Conn& c : conns) {
            if (!c.socket) continue;
            const Bytes& bytes = c.plan->bytes;
            if (!bytes.empty()) {
                const std::size_t first = c.plan->split ? bytes.size() / 2 : bytes.size();
                send_all(c.socket, bytes.data(), first);
                if (first < bytes.size()) send_all(c.socket, bytes.data() + first, bytes.size() - first);
            }
            if (c.plan->kind == FloodKind::reset) {
                const linger abort{1, 0};
                ::setsockopt(c.socket.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                c.socket.reset();
            }
        }
    }

    void await_replies(std::vector<Conn>& conns) {
        wait_on(
            conns, POLLIN,
            [](const Conn& c) {
                return wants_reply(*c.plan) && c.received.size() < SETUP_REPLY_LEN && !c.ended;
            },
            drain, plan_.limit);
        for (Conn& c : conns)
            if (c.socket && wants_reply(*c.plan) && c.received.size() < SETUP_REPLY_LEN && !c.ended)
                ++report_.unanswered;
    }

    // Accepted bogus links take the four next steps in turn, so even few acceptances try all.
    void after_accept(std::vector<Conn>& conns) {
        for (Conn& c : conns) {
            if (!c.socket || c.plan->kind != FloodKind::bogus_setup) continue;
            if (answer_of(c.received) != Answer::accepted) continue;
            c.after = static_cast<AfterAccept>(accepted_bogus_++ % 4);
            const ConnId id = c.received[0];
            switch (*c.after) {
                case AfterAccept::shut_down: {
                    const ShutdownRequestBytes request = encode_shutdown_request(id, c.plan->reason);
                    send_all(c.socket, request.data(), request.size());
                    break;
                }
                case AfterAccept::request_for_no_link: {
                    const ShutdownRequestBytes request =
                        encode_shutdown_request(c.plan->foreign_id, c.plan->reason);
                    send_all(c.socket, request.data(), request.size());
                    break;
                }
                case AfterAccept::data:
                    send_all(c.socket, c.plan->after_bytes.data(), c.plan->after_bytes.size());
                    break;
                case AfterAccept::nothing:
                    break;
            }
        }
        const auto acked = [](const Conn& c) { return c.after == AfterAccept::shut_down; };
        wait_on(
            conns, POLLIN,
            [&](const Conn& c) {
                return acked(c) && c.received.size() < SETUP_REPLY_LEN + SHUTDOWN_ACK_LEN && !c.ended;
            },
            drain, plan_.limit);
        for (Conn& c : conns) {
            if (!c.socket || !acked(c)) continue;
            const ShutdownAckBytes ack = encode_shutdown_ack(c.received[0]);
            if (c.received.size() >= SETUP_REPLY_LEN + SHUTDOWN_ACK_LEN &&
                std::equal(ack.begin(), ack.end(), c.received.begin() + SETUP_REPLY_LEN))
                ++report_.acknowledged;
            else
                ++report_.odd_replies;
        }
    }

    // Counts what each connection got; closes it, or keeps it when it is to be held.
    void settle(std::vector<Conn>& conns) {
        for (Conn& c : conns) {
            if (!c.socket) continue;
            drain(c);
            if (c.plan->hold && !c.ended) {
                held_.push_back(std::move(c));
                continue;
            }
            if (c.plan->hold)
                count_held(c);
            else
                count_answer(c);
            c.socket.reset();
        }
    }

    void count_held(const Conn& c) {
        ++report_.held;
        const Answer answer = answer_of(c.received);
        if (!c.ended)
            ++report_.held_left_open;
        else if (answer == Answer::none)
            ++report_.held_timed_out;
        else if (answer == Answer::refused)
            ++report_.held_refused;
        count_answer(c);
    }

    void count_answer(const Conn& c) {
        switch (answer_of(c.received)) {
            case Answer::none:
                break;
            case Answer::refused:
                ++report_.refused;
                if (c.received.size() != SETUP_REPLY_LEN) ++report_.odd_replies;
                break;
            case Answer::accepted: {
                ++report_.accepted;
                const ConnId id = c.received[0];
                if (std::find(plan_.spared.begin(), plan_.spared.end(), id) != plan_.spared.end())
                    ++report_.spared_taken;
                const bool ack_expected = c.after == AfterAccept::shut_down;
                const std::size_t expected = SETUP_REPLY_LEN + (ack_expected ? SHUTDOWN_ACK_LEN : 0);
                if (c.received.size() > expected) ++report_.odd_replies;
                break;
            }
            case Answer::odd:
                ++report_.odd_replies;
                break;
        }
    }

    FloodPlan plan_;
    Ports ports_;
    FloodScript script_;
    const std::vector<PlannedConnection>& planned_;
    Socket datagram_;
    std::vector<Conn> held_;
    int stream_room_ = 0;
    int control_room_ = 0;
    int accepted_bogus_ = 0;
    bool pacing_stalled_ = false;
    FloodReport report_;
};

const char* kind_name(FloodKind kind) {
    static constexpr const char* NAMES[FLOOD_KINDS] = {"random bytes", "partial SetupRequest",
                                                       "bogus SetupRequest", "silent", "closed at once",
                                                       "reset"};
    const int k = static_cast<int>(kind);
    return k >= 0 && k < FLOOD_KINDS ? NAMES[k] : "?";
}

std::string FloodReport::describe() const {
    std::ostringstream out;
    for (int k = 0; k < FLOOD_KINDS; ++k)
        out << kind_name(static_cast<FloodKind>(k)) << ": " << made[k] << ", ";
    out << "connected " << connected << ", not connected " << not_connected << ", refused " << refused
        << ", accepted " << accepted << ", acknowledged " << acknowledged << ", unanswered " << unanswered
        << ", odd replies " << odd_replies << ", spared ConnIds taken " << spared_taken << ", held " << held
        << " (timed out " << held_timed_out << ", refused " << held_refused << ", left open "
        << held_left_open << "), datagrams " << datagrams;
    return out.str();
}

ConnectionFlood::ConnectionFlood(FloodPlan plan, const Ports& ports)
    : impl_(std::make_unique<Impl>(std::move(plan), ports)) {}
ConnectionFlood::~ConnectionFlood() = default;
void ConnectionFlood::run_bursts() {
    impl_->run_bursts();
}
void ConnectionFlood::await_held() {
    impl_->await_held();
}
int ConnectionFlood::burst_count() const {
    return impl_->burst_count();
}
const FloodReport& ConnectionFlood::report() const {
    return impl_->report();
}

}  // namespace kelbos::floodtest
