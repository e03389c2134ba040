// A real Prometheus server scrapes, every second, a receiver with two links and one of
// the transmitters: what its query API returns equals, byte for byte, what the
// programs' JSON lines said at some tick, while the links run and after they end; and
// eight idle HTTP connections held on the receiver's metrics port fail no scrape.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <QJsonArray>
#include <QTemporaryDir>
#include <map>

#include "net.h"
#include "program_pair_support.h"
#include "protocol.h"
#include "two_hosts.h"

namespace kelbos::pairtest {
namespace {

constexpr std::uint16_t PROMETHEUS_PORT = 9090;

// The body of an HTTP GET of `path` on this namespace's loopback; empty on failure.
std::string http_get(std::uint16_t port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buf[4096];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
                reply.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    const auto body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

// An instant query's samples, by the value of `label` ("" for a series without it),
// as the text Prometheus gives (integers below 2^53 come back exactly).
std::map<std::string, std::string> query(const std::string& expression, const std::string& label = "") {
    const QByteArray encoded = QByteArray::fromStdString(expression).toPercentEncoding();
    const std::string body = http_get(PROMETHEUS_PORT, "/api/v1/query?query=" + encoded.toStdString());
    std::map<std::string, std::string> samples;
    const QJsonObject doc = QJsonDocument::fromJson(QByteArray::fromStdString(body)).object();
    for (const QJsonValue& r : doc["data"].toObject()["result"].toArray()) {
        const QJsonObject series = r.toObject();
        samples[series["metric"].toObject()[QString::fromStdString(label)].toString().toStdString()] =
            series["value"].toArray().at(1).toString().toStdString();
    }
    return samples;
}

// The byte counts of a program's tick lines (for one row, or all), and of its end line.
std::set<std::string> tick_bytes(const ChildProcess& child, int conn_id = -1) {
    std::set<std::string> bytes;
    for (const QJsonObject& e : json_events(child))
        if (e["event"] == "end" || (e["event"] == "tick" && (conn_id < 0 || e["conn_id"] == conn_id)))
            bytes.insert(std::to_string(bytes_of(e)));
    return bytes;
}

TEST(Metrics, PrometheusReadsTheByteTotalsOfTheJsonLines) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const std::string prometheus = kelbos::testing::find_program("prometheus");
    if (::access(prometheus.c_str(), X_OK) != 0)
        GTEST_SKIP() << "needs the prometheus server (package prometheus)";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string config = dir.filePath("prometheus.yml").toStdString();
    std::ofstream(config) << "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: kelbos\n"
                             "    static_configs:\n      - targets: ['127.0.0.1:9464', '127.0.0.1:9465']\n";

    ChildProcess rx(receiver_binary(), {"--headless", "--json", "--metrics", "9464", "--time", "120"},
                    KELBOS_SCENES_DIR);
    ChildProcess server(
        prometheus, {"--config.file=" + config, "--storage.tsdb.path=" + dir.filePath("data").toStdString(),
                     "--web.listen-address=127.0.0.1:" + std::to_string(PROMETHEUS_PORT)});
    ASSERT_TRUE(rx.wait_for([] { return tcp_listening(STREAM_PORT) && tcp_listening(9464); }, 20s))
        << rx.err();
    std::vector<Socket> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(make_socket(SOCK_STREAM));
        const sockaddr_in to = make_address(in_addr{htonl(INADDR_LOOPBACK)}, 9464);
        ASSERT_EQ(::connect(idle.back().fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    }
    // Paced links: the figures, not the speed, are under test.
    const std::vector<std::string> paced = {"--headless", "--json", "--go", "--time", "8", "--delay", "2"};
    auto args = paced;
    args.insert(args.end(), {"--transport", "tcp", "--metrics", "127.0.0.1:9465"});
    ChildProcess tx_tcp(transmitter_binary(), args, KELBOS_SCENES_DIR);
    args = paced;
    args.insert(args.end(), {"--transport", "udp"});
    ChildProcess tx_udp(transmitter_binary(), args, KELBOS_SCENES_DIR);

    // While they send: every figure scraped is the figure of one tick's JSON line.
    std::map<std::string, std::string> sent, received;
    const auto scraped_while_sending = [&] {
        server.poll_output();
        sent = query("kelbos_sent_bytes_total");
        received = query("kelbos_received_bytes_total", "conn_id");
        return sent.size() == 1 && sent[""] != "0" && received.size() == 2;
    };
    ASSERT_TRUE(rx.wait_for(scraped_while_sending, 30s)) << server.err();
    EXPECT_TRUE(tx_tcp.wait_for([&] { return tick_bytes(tx_tcp).contains(sent[""]); }, 5s)) << sent[""];
    for (const auto& [conn_id, bytes] : received)
        EXPECT_TRUE(rx.wait_for([&] { return tick_bytes(rx, std::stoi(conn_id)).contains(bytes); }, 5s))
            << conn_id << ": " << bytes;

    // Once both have halted: the stopped rows' totals, and the TOTAL row's.
    ASSERT_EQ(tx_tcp.wait_exit(60s), 0) << tx_tcp.err();
    ASSERT_EQ(tx_udp.wait_exit(60s), 0) << tx_udp.err();
    ASSERT_TRUE(rx.wait_for([&] { return of_kind(json_events(rx), "link_end").size() == 2; }, 10s))
        << rx.out();
    std::map<std::string, std::string> expected{{"", "0"}};
    std::uint64_t all = 0;
    for (const QJsonObject& end : of_kind(json_events(rx), "link_end")) {
        expected[std::to_string(end["conn_id"].toInt())] = std::to_string(bytes_of(end));
        all += bytes_of(end);
    }
    expected[""] = std::to_string(all);
    std::map<std::string, std::string> after;
    const auto settled = [&] {
        server.poll_output();
        after = query("kelbos_received_bytes_total or kelbos_received_all_bytes_total", "conn_id");
        return after == expected &&
               query("kelbos_links", "state") ==
                   std::map<std::string, std::string>{{"live", "0"}, {"stopped", "2"}, {"setting up", "0"}};
    };
    EXPECT_TRUE(rx.wait_for(settled, 15s))
        << "scraped " << after.size() << " series; TOTAL " << after[""] << ", expected " << expected[""];
    EXPECT_EQ(query("kelbos_links_ended_total", "reason")["1"], "2");
    EXPECT_EQ(query("min_over_time(up{instance='127.0.0.1:9464'}[5m])")[""], "1");
    EXPECT_EQ(std::to_string(bytes_of(of_kind(json_events(rx), "tick", 0).back())), expected[""]);
}

}  // namespace
}  // namespace kelbos::pairtest
