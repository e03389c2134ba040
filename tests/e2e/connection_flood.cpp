#include "connection_flood.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <random>
#include <sstream>

#include "program_pair_support.h"

namespace kelbos::floodtest {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// One connection of the plan, decided before the flood starts.
struct Planned {
    FloodKind kind = FloodKind::silent;
    bool to_stream = true;  // the stream port, else the control port
    Bytes bytes;            // sent once connected
    bool split = false;     // the bytes go in two sends
    bool hold = false;      // kept open until the receiver closes it
    std::uint8_t reason = 0;
    std::uint8_t foreign_id = 0;  // the ConnId a request_for_no_link names
    Bytes after_bytes;            // the data of AfterAccept::data
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

// A SetupRequest of 72 bytes with nonsense where the receiver looks: kelbo sizes of
// 0, 1 or 2^32 - 1, colour texts that do not read as colours or have no end, transport
// bytes outside 1..2.
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

Planned plan_one(Draw& d) {
    Planned p;
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
    int size;
    switch (d.below(10)) {
        case 0:
            size = 0;
            break;
        case 1:
            size = 1 + d.below(3);
            break;
        case 2:
            size = static_cast<int>(UDP_MAX_MESSAGE);
            break;
        case 3:
            size = 60000;
            break;
        default:
            size = 1 + d.below(1500);
            break;
    }
    Bytes b = d.bytes(size);
    if (!b.empty())
        while (std::find(spared.begin(), spared.end(), b[0]) != spared.end()) b[0] = d.byte();
    return b;
}

struct Conn {
    const Planned* plan = nullptr;
    Socket socket;
    bool connecting = true;
    bool ended = false;  // end of stream, or a reset
    Bytes received;
    std::optional<AfterAccept> after;  // what an accepted bogus link did next
};

sockaddr_in loopback(std::uint16_t port) {
    in_addr address{};
    address.s_addr = htonl(INADDR_LOOPBACK);
    return make_address(address, port);
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

// Polls the connections for which `waiting` holds, handing each readiness to
// `ready`, until none waits or the limit has run out.
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

bool wants_reply(const Planned& p) {
    return (p.kind == FloodKind::bogus_setup || p.kind == FloodKind::random_bytes) &&
           p.bytes.size() >= SETUP_REQUEST_LEN;
}

}  // namespace

class ConnectionFlood::Impl {
public:
    Impl(FloodPlan plan, const Ports& ports) : plan_(std::move(plan)), ports_(ports) {
        Draw d(plan_.seed);
        planned_.reserve(static_cast<std::size_t>(plan_.connections));
        for (int i = 0; i < plan_.connections; ++i) {
            Planned p = plan_one(d);
            if (i < plan_.openers) {
                p = Planned{};
                p.kind = FloodKind::silent;
                p.hold = true;
                p.to_stream = i % 2 == 0;
            } else if (i == plan_.openers && p.kind != FloodKind::bogus_setup) {
                p = Planned{};
                p.kind = FloodKind::bogus_setup;
                p.bytes = bogus_request(d);
            }
            planned_.push_back(std::move(p));
        }
        for (int b = 0; b < burst_count(); ++b) {
            datagrams_.emplace_back();
            for (int i = 0; i < plan_.datagrams_per_burst; ++i)
                datagrams_.back().push_back(plan_datagram(d, plan_.spared));
        }
    }

    void run_bursts() {
        for (const Planned& p : planned_) ++report_.made[static_cast<int>(p.kind)];
        datagram_ = make_socket(SOCK_DGRAM);
        const sockaddr_in to = loopback(ports_.datagram);
        ::connect(datagram_.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to);

        // The prologue first, one connection at a time, before anything else arrives:
        // the receiver admits them while it has ConnIds to spare.
        std::size_t next = 0;
        std::vector<Conn> prologue;
        for (; next < prologue_size() && next < planned_.size(); ++next) {
            connect_one(prologue, planned_[next]);
            await_connects(prologue);
        }
        run_group(prologue);

        for (std::size_t b = 0; next < planned_.size(); ++b) {
            if (b > 0 && plan_.between_bursts) plan_.between_bursts();
            std::vector<Conn> conns;
            const std::size_t end = std::min(planned_.size(), next + static_cast<std::size_t>(plan_.burst));
            for (; next < end; ++next) connect_one(conns, planned_[next]);
            if (b < datagrams_.size())
                for (const Bytes& datagram : datagrams_[b])
                    if (::send(datagram_.fd(), datagram.data(), datagram.size(), MSG_DONTWAIT) >= 0)
                        ++report_.datagrams;
            run_group(conns);
        }
    }

    // Every connection held open must be closed by the receiver: at once with a
    // refusal, or without a word when its wait for the SetupRequest runs out.
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
    int burst_count() const {
        const std::size_t rest = planned_.size() - std::min(planned_.size(), prologue_size());
        const auto burst = static_cast<std::size_t>(std::max(plan_.burst, 1));
        return static_cast<int>((rest + burst - 1) / burst);
    }

private:
    // The openers and one bogus SetupRequest, which is then sure to be accepted.
    std::size_t prologue_size() const { return static_cast<std::size_t>(plan_.openers) + 1; }

    // Everything a group of connections does once its connects have been made.
    void run_group(std::vector<Conn>& conns) {
        await_connects(conns);
        act(conns);
        await_replies(conns);
        after_accept(conns);
        settle(conns);
    }

    // The kernel drops connections that find the listener's accept queue full before
    // the program sees them (or, with SYN cookies, completes them on the connecting
    // side only, where they then wait for ever). So each connect waits for room in the
    // queue: every connection of the flood reaches the receiver, as fast as it takes
    // them. A receiver that stops taking them ends the pacing; the connects that
    // follow fail and are counted.
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

    void connect_one(std::vector<Conn>& conns, const Planned& p) {
        make_room(p.to_stream ? ports_.stream : ports_.control);
        Conn c;
        c.plan = &p;
        c.socket = make_socket(SOCK_STREAM);
        if (!c.socket || !set_nonblocking(c.socket.fd())) {
            ++report_.not_connected;
            return;
        }
        set_int_option(c.socket.fd(), IPPROTO_TCP, TCP_NODELAY, 1);
        const sockaddr_in to = loopback(p.to_stream ? ports_.stream : ports_.control);
        const int r = ::connect(c.socket.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
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

    // The bogus links that were accepted go on in turn with each of the four things a
    // link can do next, so that even a flood in which few links get a ConnId tries all.
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
    std::vector<Planned> planned_;
    std::vector<std::vector<Bytes>> datagrams_;
    Socket datagram_;
    std::vector<Conn> held_;
    int stream_room_ = 0;
    int control_room_ = 0;
    int accepted_bogus_ = 0;
    bool pacing_stalled_ = false;
    FloodReport report_;
};

const char* kind_name(FloodKind kind) {
    switch (kind) {
        case FloodKind::random_bytes:
            return "random bytes";
        case FloodKind::partial_setup:
            return "partial SetupRequest";
        case FloodKind::bogus_setup:
            return "bogus SetupRequest";
        case FloodKind::silent:
            return "silent";
        case FloodKind::close_at_once:
            return "closed at once";
        case FloodKind::reset:
            return "reset";
    }
    return "?";
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
