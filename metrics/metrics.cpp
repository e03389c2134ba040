// SPDX-License-Identifier: Apache-2.0
#include "metrics.h"

#include <netinet/in.h>
#include <prometheus/exposer.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "address.h"
#include "protocol.h"
#include "resolve.h"
#include "sockets.h"

namespace kelbos {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

namespace {

ClientMetric sample(double value, std::vector<ClientMetric::Label> labels = {}, bool counter = true) {
    ClientMetric metric;
    metric.label = std::move(labels);
    if (counter)
        metric.counter.value = value;
    else
        metric.gauge.value = value;
    return metric;
}

MetricFamily family(const char* name, const char* help, MetricType type, std::vector<ClientMetric> metrics) {
    return MetricFamily{name, help, type, std::move(metrics)};
}

}  // namespace

std::vector<MetricFamily> metric_families(const ReceiverFigures& figures) {
    std::vector<ClientMetric> bytes;
    std::vector<ClientMetric> rates;
    std::vector<ClientMetric> datagrams, expected, lost, out_of_order, strays, jitter;
    for (const LinkFigures& link : figures.links) {
        const std::vector<ClientMetric::Label> labels = {
            {"conn_id", std::to_string(link.conn_id)}, {"peer", link.peer}, {"transport", link.transport}};
        bytes.push_back(sample(static_cast<double>(link.bytes), labels));
        rates.push_back(sample(link.rate_mbits, labels, false));
        if (!link.datagrams || !link.datagrams->numbered) continue;
        const std::vector<ClientMetric::Label> numbered = {{"conn_id", std::to_string(link.conn_id)},
                                                           {"peer", link.peer}};
        datagrams.push_back(sample(static_cast<double>(link.datagrams->datagrams), numbered));
        expected.push_back(sample(static_cast<double>(link.datagrams->expected), numbered));
        lost.push_back(sample(static_cast<double>(link.datagrams->lost), numbered, false));
        out_of_order.push_back(sample(static_cast<double>(link.datagrams->out_of_order), numbered));
        strays.push_back(sample(static_cast<double>(link.datagrams->strays), numbered));
        jitter.push_back(sample(link.datagrams->jitter_ms / 1000.0, numbered, false));
    }
    // The usual reasons are on show from the start, so that increase() sees their first end.
    std::map<int, std::uint64_t> ended_by_reason{{REASON_NORMAL, 0}, {REASON_ABORTED, 0}};
    for (const auto& [reason, count] : figures.ended) ended_by_reason[reason] = count;
    std::vector<ClientMetric> ended;
    for (const auto& [reason, count] : ended_by_reason)
        ended.push_back(sample(static_cast<double>(count), {{"reason", std::to_string(reason)}}));
    std::vector<ClientMetric> refused;
    for (const auto& [reason, count] : figures.refused)
        refused.push_back(sample(static_cast<double>(count), {{"reason", reason}}));
    return {
        family("kelbos_received_bytes_total", "Bytes received on a link since it was set up.",
               MetricType::Counter, std::move(bytes)),
        family("kelbos_received_all_bytes_total", "Bytes received on every link since the receiver started.",
               MetricType::Counter, {sample(static_cast<double>(figures.all_bytes))}),
        family("kelbos_link_rate_mbits", "A link's receive rate at the last tick, in Mbits/s.",
               MetricType::Gauge, std::move(rates)),
        family("kelbos_links", "Links: live, stopped and about to go, or connections still setting up.",
               MetricType::Gauge,
               {sample(figures.live, {{"state", "live"}}, false),
                sample(figures.stopped, {{"state", "stopped"}}, false),
                sample(figures.setting_up, {{"state", "setting up"}}, false)}),
        family("kelbos_links_refused_total",
               "Links refused, by reason: no scene loaded, all ten taken, the host's share taken, or a "
               "host not allowed.",
               MetricType::Counter, std::move(refused)),
        family("kelbos_links_ended_total", "Links ended, by shutdown reason.", MetricType::Counter,
               std::move(ended)),
        family("kelbos_datagrams_received_total", "Numbered datagrams received on a UDP link.",
               MetricType::Counter, std::move(datagrams)),
        family("kelbos_datagrams_expected_total",
               "Numbers up to the highest seen on a UDP link: the numbered datagrams sent so far.",
               MetricType::Counter, std::move(expected)),
        family("kelbos_datagrams_lost",
               "Numbered datagrams missing on a UDP link now; a late one that comes takes its number back.",
               MetricType::Gauge, std::move(lost)),
        family("kelbos_datagrams_out_of_order_total", "Numbered datagrams that came after a later one.",
               MetricType::Counter, std::move(out_of_order)),
        family("kelbos_datagrams_stray_total",
               "Datagrams of a UDP link numbered far ahead of any it sent, counted for nothing else.",
               MetricType::Counter, std::move(strays)),
        family("kelbos_jitter_seconds", "A UDP link's interarrival jitter (RFC 3550), in seconds.",
               MetricType::Gauge, std::move(jitter)),
    };
}

std::vector<MetricFamily> metric_families(const TransmitterFigures& figures) {
    return {
        family("kelbos_sent_bytes_total", "Bytes sent by the current (or last) transmission.",
               MetricType::Counter, {sample(static_cast<double>(figures.sent_bytes))}),
        family("kelbos_send_rate_mbits", "The send rate at the last tick, in Mbits/s; 0 when not sending.",
               MetricType::Gauge, {sample(figures.rate_mbits, {}, false)}),
        family("kelbos_transmissions_total", "Transmissions ended, by how they ended.", MetricType::Counter,
               {sample(static_cast<double>(figures.halted), {{"how", "halted"}}),
                sample(static_cast<double>(figures.aborted), {{"how", "aborted"}}),
                sample(static_cast<double>(figures.halt_failed), {{"how", "halt failed"}})}),
    };
}

void MetricsSnapshot::publish(std::vector<MetricFamily> families) {
    std::lock_guard lock(mutex_);
    families_.swap(families);
    // The old figures are freed outside the exporter's view as `families` goes.
}

std::vector<MetricFamily> MetricsSnapshot::Collect() const {
    std::lock_guard lock(mutex_);
    return families_;
}

namespace {

// The HTTP server's workers: each serves one connection at a time, so an idle or slow
// client holds one until the request time-out ends its connection. Enough workers that
// a handful of such clients leave room for the scrapes, and a time-out well inside a
// scrape's own (10 s by default).
constexpr const char* HTTP_WORKERS = "16";
constexpr const char* HTTP_REQUEST_TIMEOUT_MS = "3000";

// Why a port cannot be had, asked of the system: the HTTP server does not say.
std::string bind_error(const std::string& address, std::uint16_t port) {
    // The address is an IPv4 one in numbers, or empty for every address.
    const std::vector<SocketAddress> found = resolve_host(address.empty() ? "0.0.0.0" : address, port);
    if (found.empty() || found.front().family() != AF_INET) return "no such address";
    const SocketAddress& a = found.front();
    Socket probe = make_socket(SOCK_STREAM);
    if (!probe) return std::strerror(errno);
    set_int_option(probe.fd(), SOL_SOCKET, SO_REUSEADDR, 1);
    if (::bind(probe.fd(), a.get(), a.length) != 0) return std::strerror(errno);
    return "the HTTP server did not start";
}

}  // namespace

MetricsExporter::~MetricsExporter() = default;

std::unique_ptr<MetricsExporter> MetricsExporter::start(const MetricsEndpoint& endpoint,
                                                        std::shared_ptr<MetricsSnapshot> snapshot,
                                                        std::string& error) {
    const std::string where =
        (endpoint.address.empty() ? "port " : endpoint.address + ":") + std::to_string(endpoint.port);
    // The HTTP server takes IPv4 addresses in numbers only: a name is resolved here.
    std::string numeric;
    if (!endpoint.address.empty()) {
        const std::vector<SocketAddress> addresses = resolve_host(endpoint.address, endpoint.port);
        for (const SocketAddress& a : addresses)
            if (numeric.empty() && a.family() == AF_INET) numeric = address_text(a);
        if (numeric.empty()) {
            error = "cannot serve metrics on " + where +
                    (addresses.empty() ? ": no such address" : ": metrics are served over IPv4 only");
            return nullptr;
        }
    }
    std::unique_ptr<MetricsExporter> exporter(new MetricsExporter);
    exporter->snapshot_ = std::move(snapshot);
    const std::string listen =
        (numeric.empty() ? std::string() : numeric + ":") + std::to_string(endpoint.port);
    try {
        exporter->exposer_ = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", listen, "num_threads", HTTP_WORKERS,
                                     "request_timeout_ms", HTTP_REQUEST_TIMEOUT_MS});
    } catch (const std::exception&) {
        error = "cannot serve metrics on " + where + ": " + bind_error(numeric, endpoint.port);
        return nullptr;
    }
    exporter->exposer_->RegisterCollectable(exporter->snapshot_);
    return exporter;
}

int MetricsExporter::port() const {
    const auto ports = exposer_->GetListeningPorts();
    return ports.empty() ? 0 : ports.front();
}

}  // namespace kelbos
