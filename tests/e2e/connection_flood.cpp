// SPDX-License-Identifier: Apache-2.0
#include "connection_flood.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <random>
#include <sstream>

#include "net/resolve.h"
#include "program_pair_support.h"

namespace kelbos::floodtest {

namespace {

using Bytes = std::vector<std::uint8_t>;

// What a flood sends is drawn from its seed: each connection's kind, port and bytes, and
// each burst's datagrams. One connection of the flood:
struct PlannedConnection {
    FloodKind kind = FloodKind::silent;
    bool to_stream = true;  // the stream port, else the control port
    Bytes bytes{};          // sent once connected
    bool split = false;     // the bytes go in two sends
    bool hold = false;      // kept open until the receiver closes it
    std::uint8_t reason = 0;
    std::uint8_t foreign_id = 0;  // the ConnId a request_for_no_link names
    Bytes after_bytes{};          // the data of AfterAccept::data
};

struct FloodScript {
    // The prologue (the openers, then one bogus SetupRequest), then the bursts' connections.
    std::vector<PlannedConnection> connections;
    std::size_t prologue = 0;
    int bursts = 0;
    std::vector<std::vector<Bytes>> datagrams;  // those of each burst
};

// What a bogus setup that was accepted does next.
enum class AfterAccept : int {
    shut_down,            // a ShutdownRequest naming its own ConnId, any reason
    request_for_no_link,  // a ShutdownRequest naming 0 or a ConnId above 10
    data,                 // some bytes of data, then a close
    nothing,              // a close
};

class Draw {
public:
    explicit Draw(std::uint32_t seed) : rng_(seed) {}
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }
    Bytes bytes(int n) {
        Bytes out(static_cast<std::size_t>(n));
        for (std::uint8_t& b : out) b = byte();
        return out;
    }
    // Bytes that hold no 2: read as data they can never end in a ShutdownRequest,
    // which could name a link that must survive.
    Bytes data_bytes(int n) {
        Bytes out(static_cast<std::size_t>(n));
        for (std::uint8_t& b : out) {
            do b = byte();
            while (b == MSG_SHUTDOWN_REQUEST);
        }
        return out;
    }
    // Random bytes that may run past a SetupRequest: the part past its 72 bytes is data.
    Bytes stream_bytes(int n) {
        Bytes out = bytes(std::min<int>(n, static_cast<int>(SETUP_REQUEST_LEN)));
        if (n > static_cast<int>(SETUP_REQUEST_LEN)) {
            const Bytes tail = data_bytes(n - static_cast<int>(SETUP_REQUEST_LEN));
            out.insert(out.end(), tail.begin(), tail.end());
        }
        return out;
    }

private:
    std::mt19937 rng_;
};

Bytes valid_request() {
    const SetupRequestBytes bytes =
        encode_setup_request(SetupRequest{2500000, 32700, "flood", "#123456", TRANSPORT_TCP});
    return Bytes(bytes.begin(), bytes.end());
}

// 72 bytes of nonsense where the receiver looks: kelbo sizes 0, 1 or 2^32 - 1, bad or
// unended colours, transports outside 1..2.
Bytes bogus_request(Draw& d) {
    Bytes b = d.bytes(static_cast<int>(SETUP_REQUEST_LEN));
    static constexpr std::uint32_t kelbo_sizes[] = {0, 1, 0xFFFFFFFFu};
    if (d.below(2) == 0) {
        const std::uint32_t k = kelbo_sizes[d.below(3)];
        for (int i = 0; i < 4; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(k >> (8 * i));
    }
    static constexpr const char* colours[] = {"#GGHHII", "#12345", "red", "#FFFFFFFFFFFFFFFFFFFF", ""};
    if (d.below(2) == 0) {
        const std::string colour = colours[d.below(5)];
        std::fill(b.begin() + 48, b.begin() + 68, 0);
        std::copy(colour.begin(), colour.end(), b.begin() + 48);
    }
    static constexpr std::uint8_t transports[] = {0, 1, 2, 3, 4, 255};
    if (d.below(2) == 0) b[68] = transports[d.below(6)];
    return b;
}

PlannedConnection plan_one(Draw& d) {
    PlannedConnection p;
    p.kind = static_cast<FloodKind>(d.below(FLOOD_KINDS));
    p.to_stream = d.below(2) == 0;
    switch (p.kind) {
        case FloodKind::random_bytes:
            p.bytes = d.stream_bytes(1 + d.below(300));
            break;
        case FloodKind::partial_setup: {
            const Bytes whole = valid_request();
            p.bytes.assign(whole.begin(),
                           whole.begin() + 1 + d.below(static_cast<int>(SETUP_REQUEST_LEN) - 1));
            p.hold = d.below(2) == 0;
            break;
        }
        case FloodKind::bogus_setup:
            p.bytes = bogus_request(d);
            p.split = d.below(3) == 0;
            p.reason = d.byte();
            p.foreign_id = d.below(2) == 0 ? 0 : static_cast<std::uint8_t>(CONN_LAST + 1 + d.below(245));
            p.after_bytes = d.data_bytes(1 + d.below(2000));
            break;
        case FloodKind::silent:
            p.hold = d.below(2) == 0;
            break;
        case FloodKind::close_at_once:
            break;
        case FloodKind::reset:
            if (d.below(2) == 0) p.bytes = d.stream_bytes(1 + d.below(100));
            break;
    }
    return p;
}

Bytes plan_datagram(Draw& d, const std::vector<ConnId>& spared) {
    // Empty, of a few bytes, the largest message, of 60000 bytes, or up to a frame.
    const int pick = d.below(10);
    const int size = pick == 0   ? 0
                     : pick == 1 ? 1 + d.below(3)
                     : pick == 2 ? static_cast<int>(UDP_MAX_MESSAGE)
                     : pick == 3 ? 60000
                                 : 1 + d.below(1500);
    Bytes b = d.bytes(size);
    if (!b.empty())
        while (std::find(spared.begin(), spared.end(), b[0]) != spared.end()) b[0] = d.byte();
    return b;
}

FloodScript draw_flood(const FloodPlan& plan) {
    Draw d(plan.seed);
    FloodScript script;
    script.prologue = static_cast<std::size_t>(std::max(plan.openers, 0)) + 1;
    script.connections.reserve(static_cast<std::size_t>(std::max(plan.connections, 0)));
    for (int i = 0; i < plan.connections; ++i) {
        PlannedConnection p = plan_one(d);
        if (i < plan.openers)
            p = PlannedConnection{.kind = FloodKind::silent, .to_stream = i % 2 == 0, .hold = true};
        else if (i == plan.openers && p.kind != FloodKind::bogus_setup)
            p = PlannedConnection{.kind = FloodKind::bogus_setup, .bytes = bogus_request(d)};
        script.connections.push_back(std::move(p));
    }
    const std::size_t rest = script.connections.size() - std::min(script.connections.size(), script.prologue);
    const auto burst = static_cast<std::size_t>(std::max(plan.burst, 1));
    script.bursts = static_cast<int>((rest + burst - 1) / burst);
    for (int b = 0; b < script.bursts; ++b) {
        script.datagrams.emplace_back();
        for (int i = 0; i < plan.datagrams_per_burst; ++i)
            script.datagrams.back().push_back(plan_datagram(d, plan.spared));
    }
    return script;
}

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

class Flood : public ConnectionFlood {
public:
    Flood(FloodPlan plan, const Ports& ports)
        : plan_(std::move(plan)), ports_(ports), script_(draw_flood(plan_)), planned_(script_.connections) {}

    void run_bursts() override {
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
    void await_held() override {
        wait_on(
            held_, POLLIN, [](const Conn& c) { return !c.ended; }, drain, plan_.limit);
        for (Conn& c : held_) {
            count_held(c);
            c.socket.reset();
        }
        held_.clear();
    }

    const FloodReport& report() const override { return report_; }
    int burst_count() const override { return script_.bursts; }

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
        // Those that sent a whole SetupRequest and have neither a reply nor an end yet.
        const auto awaiting = [](const Conn& c) {
            const FloodKind kind = c.plan->kind;
            return (kind == FloodKind::bogus_setup || kind == FloodKind::random_bytes) &&
                   c.plan->bytes.size() >= SETUP_REQUEST_LEN && c.received.size() < SETUP_REPLY_LEN &&
                   !c.ended;
        };
        wait_on(conns, POLLIN, awaiting, drain, plan_.limit);
        for (Conn& c : conns)
            if (c.socket && awaiting(c)) ++report_.unanswered;
    }

    // Accepted bogus links take the four next steps in turn, so even few acceptances try all.
    void after_accept(std::vector<Conn>& conns) {
        for (Conn& c : conns) {
            if (!c.socket || c.plan->kind != FloodKind::bogus_setup) continue;
            if (answer_of(c.received) != Answer::accepted) continue;
            c.after = static_cast<AfterAccept>(accepted_bogus_++ % 4);
            if (*c.after == AfterAccept::shut_down || *c.after == AfterAccept::request_for_no_link) {
                const ConnId id = *c.after == AfterAccept::shut_down ? c.received[0] : c.plan->foreign_id;
                const ShutdownRequestBytes request = encode_shutdown_request(id, c.plan->reason);
                send_all(c.socket, request.data(), request.size());
            } else if (*c.after == AfterAccept::data) {
                send_all(c.socket, c.plan->after_bytes.data(), c.plan->after_bytes.size());
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
            c.plan->hold ? count_held(c) : count_answer(c);
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

}  // namespace

std::string FloodReport::describe() const {
    static constexpr const char* KINDS[FLOOD_KINDS] = {
        "random bytes", "partial SetupRequest", "bogus SetupRequest", "silent", "closed at once", "reset"};
    std::ostringstream out;
    for (int k = 0; k < FLOOD_KINDS; ++k) out << KINDS[k] << ": " << made[k] << ", ";
    out << "connected " << connected << ", not connected " << not_connected << ", refused " << refused
        << ", accepted " << accepted << ", acknowledged " << acknowledged << ", unanswered " << unanswered
        << ", odd replies " << odd_replies << ", spared ConnIds taken " << spared_taken << ", held " << held
        << " (timed out " << held_timed_out << ", refused " << held_refused << ", left open "
        << held_left_open << "), datagrams " << datagrams;
    return out.str();
}

std::unique_ptr<ConnectionFlood> make_flood(FloodPlan plan, const Ports& ports) {
    return std::make_unique<Flood>(std::move(plan), ports);
}

}  // namespace kelbos::floodtest
