// SPDX-License-Identifier: Apache-2.0
// A real Prometheus server scrapes, every second, a receiver with two links and one of
// the transmitters: what its query API returns equals, byte for byte, what the
// programs' JSON lines said at some tick, while the links run and after they end, and
// eight idle HTTP connections held on the receiver's metrics port fail no scrape, over
// IPv4 and IPv6; once the rows have gone, so have their links' series, and scrapes pass
// idle and trickling connections. The metrics port answers allowed hosts only. Then a
// fleet: three receivers on three hosts, each with a transmitter, scraped by one server
// that loads the shipped rules, and every query of the shipped dashboard.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <map>
#include <thread>

#include "core/protocol.h"
#include "net/sockets.h"
#include "program_pair_support.h"
#include "two_hosts.h"

namespace kelbos::pairtest {
namespace {

constexpr std::uint16_t PROMETHEUS_PORT = 9090;

// The body of an HTTP GET of `path` on this namespace's loopback, from `from`; empty on
// failure.
std::string http_get(std::uint16_t port, const std::string& path, const char* from = "127.0.0.1") {
    const Socket socket = connect_to(port, from);
    const timeval limit{5, 0};
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
    std::string reply;
    char buf[4096];
    if (socket && ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
        ::send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size()))
        for (ssize_t n; (n = ::recv(socket.fd(), buf, sizeof buf, 0)) > 0;)
            reply.append(buf, static_cast<std::size_t>(n));
    const auto body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

// A reply of the server's HTTP API, as JSON.
const QJsonObject api(const std::string& path) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(http_get(PROMETHEUS_PORT, path))).object();
}

// An instant query's samples, by the value of `label` ("" for a series without it),
// as the text Prometheus gives (integers below 2^53 come back exactly).
std::map<std::string, std::string> query(const std::string& expression, const std::string& label = "") {
    const QByteArray encoded = QByteArray::fromStdString(expression).toPercentEncoding();
    std::map<std::string, std::string> samples;
    const QJsonObject doc = api("/api/v1/query?query=" + encoded.toStdString());
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

// A Prometheus server scraping `targets` (a YAML list's items) every second, evaluating
// the shipped rules every second, its data in `dir`.
std::unique_ptr<ChildProcess> start_prometheus(const QTemporaryDir& dir, const std::string& targets) {
    const std::string config = dir.filePath("prometheus.yml").toStdString();
    std::ofstream(config) << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                             "rule_files: ['" KELBOS_SOURCE_DIR
                             "/resources/prometheus/kelbos.rules.yml']\n"
                             "scrape_configs:\n  - job_name: kelbos\n"
                             "    static_configs:\n      - targets: ["
                          << targets << "]\n";
    return std::make_unique<ChildProcess>(
        kelbos::testing::find_program("prometheus"),
        std::vector<std::string>{"--config.file=" + config,
                                 "--storage.tsdb.path=" + dir.filePath("data").toStdString(),
                                 "--web.listen-address=127.0.0.1:" + std::to_string(PROMETHEUS_PORT)});
}

// A Prometheus server with its data in a scratch folder, in a network namespace of
// the test's own.
class Metrics : public ::testing::Test {
protected:
    void SetUp() override {
        ENTER_PRIVATE_NETWORK_OR_SKIP();
        if (::access(kelbos::testing::find_program("prometheus").c_str(), X_OK) != 0)
            GTEST_SKIP() << "needs the prometheus server (package prometheus)";
        ASSERT_TRUE(dir.isValid());
    }
    QTemporaryDir dir;
};

TEST_F(Metrics, PrometheusReadsTheByteTotalsOfTheJsonLinesPastIdleAndTricklingConnections) {
    ChildProcess rx(receiver_binary(), {"--headless", "--json", "--metrics", "9464", "--time", "120"},
                    KELBOS_SCENES_DIR);
    // A port alone serves IPv6 as well: Prometheus scrapes the receiver over both.
    const auto server = start_prometheus(dir, "'127.0.0.1:9464', '[::1]:9464', '127.0.0.1:9465'");
    ASSERT_TRUE(rx.wait_for([] { return tcp_listening(STREAM_PORT) && tcp_listening(9464); }, 20s))
        << rx.err();
    std::vector<Socket> held(8);
    for (Socket& s : held) ASSERT_TRUE(s = connect_to(9464));
    // Paced links: the figures, not the speed, are under test.
    const auto tx_tcp = start_transmitter(
        {"--time", "8", "--delay", "2", "--transport", "tcp", "--metrics", "127.0.0.1:9465"});
    const auto tx_udp =
        start_transmitter({"--time", "8", "--delay", "2", "--transport", "udp", "--udp-numbered"});

    // While they send: every figure scraped is the figure of one tick's JSON line.
    std::map<std::string, std::string> sent, received;
    const auto scraped_while_sending = [&] {
        server->poll_output();
        sent = query("kelbos_sent_bytes_total");
        received = query("kelbos_received_bytes_total", "conn_id");
        return sent.size() == 1 && sent[""] != "0" && received.size() == 2;
    };
    ASSERT_TRUE(rx.wait_for(scraped_while_sending, 30s)) << server->err();
    EXPECT_TRUE(tx_tcp->wait_for([&] { return tick_bytes(*tx_tcp).contains(sent[""]); }, 5s)) << sent[""];
    for (const auto& [conn_id, bytes] : received)
        EXPECT_TRUE(rx.wait_for([&] { return tick_bytes(rx, std::stoi(conn_id)).contains(bytes); }, 5s))
            << conn_id << ": " << bytes;

    // Once both have halted: the stopped rows' totals, and the TOTAL row's.
    ASSERT_EQ(tx_tcp->wait_exit(60s), 0) << tx_tcp->err();
    ASSERT_EQ(tx_udp->wait_exit(60s), 0) << tx_udp->err();
    ASSERT_TRUE(rx.wait_for([&] { return of_kind(json_events(rx), "link_end").size() == 2; }, 10s))
        << rx.out();
    std::map<std::string, std::string> expected{{"", "0"}}, datagrams, lost, jitter;
    std::uint64_t all = 0;
    for (const QJsonObject& end : of_kind(json_events(rx), "link_end")) {
        const std::string id = std::to_string(end["conn_id"].toInt());
        expected[id] = std::to_string(bytes_of(end));
        all += bytes_of(end);
        if (!end.contains("lost")) continue;  // TCP: no datagram figures
        datagrams[id] = std::to_string(end["datagrams"].toInteger());
        lost[id] = std::to_string(end["lost"].toInteger());
        jitter[id] = "2";  // one series by each family
    }
    expected[""] = std::to_string(all);
    std::map<std::string, std::string> after;
    const auto settled = [&] {
        server->poll_output();
        after = query("kelbos_received_bytes_total or kelbos_received_all_bytes_total", "conn_id");
        return after == expected &&
               query("kelbos_links", "state") ==
                   std::map<std::string, std::string>{{"live", "0"}, {"stopped", "2"}, {"setting up", "0"}};
    };
    EXPECT_TRUE(rx.wait_for(settled, 15s))
        << "scraped " << after.size() << " series; TOTAL " << after[""] << ", expected " << expected[""];
    EXPECT_EQ(query("kelbos_links_ended_total", "reason")["1"], "2");
    // The numbered UDP link's datagram figures, as its link_end gave them; none of TCP's.
    EXPECT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(query("kelbos_datagrams_received_total", "conn_id"), datagrams);
    EXPECT_EQ(query("kelbos_datagrams_lost", "conn_id"), lost);
    EXPECT_EQ(query("count by (conn_id) (kelbos_jitter_seconds)", "conn_id"), jitter);
    const std::string of_rx = "{instance=~'.+:9464'}";  // the receiver's targets
    const std::map<std::string, std::string> both{{"127.0.0.1:9464", "1"}, {"[::1]:9464", "1"}};
    EXPECT_EQ(query("min_over_time(up" + of_rx + "[5m])", "instance"), both);
    EXPECT_EQ(std::to_string(bytes_of(of_kind(json_events(rx), "tick", 0).back())), expected[""]);

    // Sixteen ticks after "Stopped" the rows go, and the links' series with them.
    ASSERT_TRUE(rx.wait_for([&] { return of_kind(json_events(rx), "row_removed").size() == 2; }, 30s))
        << rx.out();
    std::string metrics;
    const auto links_gone = [&] {
        metrics = http_get(9464, "/metrics");
        return metrics.find("kelbos_links{state=\"stopped\"} 0\n") != std::string::npos &&
               metrics.find("conn_id=") == std::string::npos && metrics.find("peer=") == std::string::npos;
    };
    EXPECT_TRUE(rx.wait_for(links_gone, 5s)) << metrics;

    // Fifty connections that send nothing and fifty that send a byte a second, from
    // two other hosts, each reopened as the receiver closes it, for 30 s.
    std::vector<Socket> idle(50), trickling(50);
    for (auto next = std::chrono::steady_clock::now(), stop = next + 30s; next < stop; next += 1s) {
        char c;
        for (auto [sockets, from] : {std::pair{&idle, "127.0.0.2"}, {&trickling, "127.0.0.3"}})
            for (Socket& s : *sockets)
                if (!s || ::recv(s.fd(), &c, 1, MSG_DONTWAIT) == 0) s = connect_to(9464, from);
        for (const Socket& s : trickling) ::send(s.fd(), "G", 1, MSG_NOSIGNAL);
        std::this_thread::sleep_until(next);  // the trickle's pace
        server->poll_output();
    }
    // Every scrape of the last 30 s answered within its 1 s time-out, over each family.
    EXPECT_EQ(query("min_over_time(up" + of_rx + "[30s])", "instance"), both) << server->err();
    EXPECT_EQ(query("count_over_time(up" + of_rx + "[30s]) >= bool 25", "instance"), both);
    EXPECT_EQ(query("max_over_time(scrape_duration_seconds" + of_rx + "[30s]) < bool 1", "instance"), both);
    // With scrapes and ten or more idle connections open, SIGTERM ends it at once.
    ASSERT_GE(std::ranges::count_if(idle, [](const Socket& s) { return static_cast<bool>(s); }), 10);
    stop_program(rx, 100ms);

    // Scrapes only from the hosts allowed: others are closed without an answer.
    ChildProcess tx(transmitter_binary(),
                    {"--headless", "--metrics", "[::]:9465", "--metrics-allow", "127.0.0.2"},
                    KELBOS_SCENES_DIR);
    ASSERT_TRUE(tx.wait_for([] { return tcp_listening(9465); }, 20s)) << tx.err();
    EXPECT_NE(http_get(9465, "/metrics", "127.0.0.2").find("kelbos_build_info{version=\""),
              std::string::npos);
    EXPECT_NE(http_get(9465, "/", "127.0.0.2").find("<a href=\"/metrics\">"), std::string::npos);
    EXPECT_EQ(http_get(9465, "/metrics"), "");
    tx.send_signal(SIGINT);
    EXPECT_EQ(tx.wait_exit(100ms), 0) << tx.err();
}

// The shipped dashboard's queries, with its variables as Grafana fills them when every
// receiver is chosen: its panels' and, as bare selectors, its variables'.
std::vector<std::string> dashboard_queries() {
    QFile file(KELBOS_SOURCE_DIR "/resources/grafana/kelbos-receivers.json");
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject dashboard = QJsonDocument::fromJson(file.readAll()).object();
    std::vector<std::string> queries;
    const auto fill = [](QString q) {
        return q.replace("$__rate_interval", "5s")
            .replace("$job", "kelbos")
            .replace("$instance", ".+")
            .toStdString();
    };
    for (const QJsonValue& panel : dashboard["panels"].toArray())
        for (const QJsonValue& target : panel["targets"].toArray())
            queries.push_back(fill(target["expr"].toString()));
    const QRegularExpression label_values(R"(^label_values\((.*), *\w+\)$)");
    for (const QJsonValue& variable : dashboard["templating"]["list"].toArray())
        if (variable["type"] == "query")
            queries.push_back(fill(label_values.match(variable["definition"].toString()).captured(1)));
    return queries;
}

TEST_F(Metrics, AFleetOfThreeReceiversUnderOnePrometheusWithTheShippedRulesAndDashboard) {
    using kelbos::testing::Host;
    std::vector<std::unique_ptr<kelbos::testing::TwoHosts>> hosts;
    std::vector<std::unique_ptr<ChildProcess>> receivers, transmitters;
    std::string targets;
    for (int i = 0; i < 3; ++i) {
        hosts.push_back(std::make_unique<kelbos::testing::TwoHosts>(i));
        ASSERT_EQ(hosts[i]->join(1500), "");
        ASSERT_EQ(hosts[i]->set_hosts(Host::b, "127.0.0.1 localhost\n"), "");
        receivers.push_back(kelbos::testing::start_command(
            hosts[i]->command(Host::b, receiver_binary(),
                              {"--headless", "--json", "--metrics", "9464", "--time", "120"}),
            KELBOS_SCENES_DIR));
        targets += (i ? ", '" : "'") + hosts[i]->address_b() + ":9464'";
    }
    const auto server = start_prometheus(dir, targets);
    // A receiver ticks once it listens; each gets a transmitter on its own host.
    for (int i = 0; i < 3; ++i) {
        ChildProcess& rx = *receivers[i];
        ASSERT_TRUE(rx.wait_for([&] { return !of_kind(json_events(rx), "tick", 0).empty(); }, 20s))
            << rx.err();
        transmitters.push_back(kelbos::testing::start_command(
            hosts[i]->command(Host::b, transmitter_binary(),
                              {"--headless", "--json", "--go", "--time", "8", "--delay", "2", "--receiver",
                               "127.0.0.1", "--transport", i == 1 ? "udp" : "tcp", "--udp-numbered"}),
            KELBOS_SCENES_DIR));
    }

    // While they send: every dashboard query and every rule gives figures, each
    // receiver's TOTAL rate is above 0, and no alert is pending or firing.
    const std::vector<std::string> queries = dashboard_queries();
    ASSERT_GE(queries.size(), 12u);
    const auto panel_query = [&](const std::string& start) {
        const auto q =
            std::find_if(queries.begin(), queries.end(), [&](const auto& q) { return q.starts_with(start); });
        return q == queries.end() ? start + " (no such panel)" : *q;
    };
    std::string missing;
    int recorded = 0, quiet_alerts = 0;
    const auto all_answer = [&] {
        server->poll_output();
        missing.clear();
        for (const std::string& q : queries)
            if (query(q).empty()) missing += q + "\n";
        recorded = quiet_alerts = 0;
        for (const QJsonValue& group : api("/api/v1/rules")["data"]["groups"].toArray())
            for (const QJsonValue& rule : group["rules"].toArray()) {
                if (rule["health"] != "ok") missing += rule["name"].toString().toStdString() + " unhealthy\n";
                if (rule["type"] == "alerting")
                    quiet_alerts += rule["state"] == "inactive";
                else
                    recorded += !query(rule["name"].toString().toStdString()).empty();
            }
        const auto rates =
            query(panel_query("sum by (instance) (rate(kelbos_received_all_bytes_total"), "instance");
        const bool all_moving =
            rates.size() == 3 &&
            std::all_of(rates.begin(), rates.end(), [](const auto& r) { return std::stod(r.second) > 0; });
        return missing.empty() && recorded == 6 && quiet_alerts == 5 && all_moving;
    };
    EXPECT_TRUE(receivers[0]->wait_for(all_answer, 30s))
        << recorded << " rules recorded, " << quiet_alerts << " alerts quiet; no figures from:\n"
        << missing << server->err();

    // Once all have halted, each TOTAL row holds its link's bytes; the fleet's bytes are
    // the three TOTAL rows' bytes.
    std::uint64_t fleet = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(transmitters[i]->wait_exit(60s), 0) << transmitters[i]->err();
        ChildProcess& rx = *receivers[i];
        const auto settled = [&] {
            const auto events = json_events(rx);
            const auto ends = of_kind(events, "link_end");
            return ends.size() == 1 && bytes_of(of_kind(events, "tick", 0).back()) == bytes_of(ends.front());
        };
        ASSERT_TRUE(rx.wait_for(settled, 10s)) << rx.out();
        fleet += bytes_of(of_kind(json_events(rx), "tick", 0).back());
    }
    ASSERT_GT(fleet, 0u);
    const std::string fleet_bytes = panel_query("sum(kelbos_received_all_bytes_total");
    std::string scraped;
    EXPECT_TRUE(receivers[0]->wait_for(
        [&] { return (scraped = query(fleet_bytes)[""]) == std::to_string(fleet); }, 15s))
        << scraped << " scraped, " << fleet << " in the JSON lines";

    // A receiver that ends: its target goes down, and its alert is pending at once.
    receivers[2]->send_signal(SIGTERM);
    ASSERT_EQ(receivers[2]->wait_exit(10s), 0);
    std::string down;
    const auto pending = [&] {
        down.clear();
        for (const QJsonValue& alert : api("/api/v1/alerts")["data"]["alerts"].toArray())
            if (alert["labels"]["alertname"] == "KelbosReceiverDown")
                down += alert["labels"]["instance"].toString().toStdString() + " " +
                        alert["state"].toString().toStdString();
        return !down.empty();
    };
    EXPECT_TRUE(receivers[0]->wait_for(pending, 15s));
    EXPECT_EQ(down, hosts[2]->address_b() + ":9464 pending");
}

}  // namespace
}  // namespace kelbos::pairtest
