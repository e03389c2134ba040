// SPDX-License-Identifier: Apache-2.0
#include "metrics/metrics.h"

#include <prometheus/text_serializer.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/protocol.h"
#include "net/address.h"
#include "net/resolve.h"
#include "net/sockets.h"

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

MetricFamily build_info_family() {
    return family("kelbos_build_info", "The program's version, as --version gives it.", MetricType::Gauge,
                  {sample(1, {{"version", KELBOS_VERSION}}, false)});
}

namespace {

// One thread polls every connection, so a client that sends nothing, or a byte at a
// time, holds no worker from the scrapes. A host holds at most HTTP_PER_HOST
// connections and all hosts HTTP_CONNECTIONS; a connection silent for
// HTTP_IDLE_SECONDS is closed, well inside a scrape's own time-out (10 s by default).
constexpr unsigned HTTP_CONNECTIONS = 256;
constexpr unsigned HTTP_PER_HOST = 32;
constexpr unsigned HTTP_IDLE_SECONDS = 5;

constexpr const char* METRICS_TYPE = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* INDEX_PAGE =
    "<!DOCTYPE html>\n<html><head><title>Kelbos metrics</title></head>\n"
    "<body><h1>Kelbos metrics</h1><p><a href=\"/metrics\">Metrics</a></p></body></html>\n";

// The listening socket of `endpoint`: every address of this host over IPv4 and IPv6
// for a port alone, otherwise the first address the name resolves to that can be had.
Socket listen_on(const MetricsEndpoint& endpoint, std::string& error) {
    std::vector<SocketAddress> addresses;
    Socket socket;
    if (endpoint.address.empty()) {
        WildcardSocket wildcard = make_wildcard_socket(SOCK_STREAM, endpoint.port);
        socket = std::move(wildcard.socket);
        addresses.push_back(wildcard.any);
    } else {
        addresses = resolve_host(endpoint.address, endpoint.port);
        if (addresses.empty()) error = "no such address";
    }
    for (const SocketAddress& a : addresses) {
        if (!endpoint.address.empty()) socket = make_socket(SOCK_STREAM, a.family());
        if (socket) {
            set_int_option(socket.fd(), SOL_SOCKET, SO_REUSEADDR, 1);
            if (::bind(socket.fd(), a.get(), a.length) == 0 && ::listen(socket.fd(), 64) == 0 &&
                set_nonblocking(socket.fd()))
                return socket;
        }
        error = std::strerror(errno);
        socket.reset();
    }
    return socket;
}

MHD_Result queue(MHD_Connection* connection, unsigned status, const std::string& body, const char* type) {
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

}  // namespace

MetricsExporter::~MetricsExporter() {
    if (daemon_) MHD_stop_daemon(daemon_);
}

std::unique_ptr<MetricsExporter> MetricsExporter::start(const MetricsEndpoint& endpoint,
                                                        std::vector<AddressPrefix> allow,
                                                        std::shared_ptr<MetricsSnapshot> snapshot,
                                                        std::string& error) {
    const std::string where =
        (endpoint.address.empty() ? "port " : endpoint.address + ":") + std::to_string(endpoint.port);
    Socket socket = listen_on(endpoint, error);
    if (!socket) {
        error = "cannot serve metrics on " + where + ": " + error;
        return nullptr;
    }
    std::unique_ptr<MetricsExporter> exporter(new MetricsExporter);
    exporter->snapshot_ = std::move(snapshot);
    exporter->allow_ = std::move(allow);
    const int fd = socket.release();
    exporter->daemon_ = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ITC, 0, &MetricsExporter::admit, exporter.get(),
        &MetricsExporter::answer, exporter.get(), MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT,
        HTTP_CONNECTIONS, MHD_OPTION_PER_IP_CONNECTION_LIMIT, HTTP_PER_HOST, MHD_OPTION_CONNECTION_TIMEOUT,
        HTTP_IDLE_SECONDS, MHD_OPTION_END);
    if (!exporter->daemon_) {
        ::close(fd);
        error = "cannot serve metrics on " + where + ": the HTTP server did not start";
        return nullptr;
    }
    return exporter;
}

MHD_Result MetricsExporter::admit(void* self, const sockaddr* address, socklen_t length) {
    const auto* exporter = static_cast<const MetricsExporter*>(self);
    if (exporter->allow_.empty()) return MHD_YES;
    SocketAddress peer;
    peer.length = std::min<socklen_t>(length, sizeof peer.storage);
    std::memcpy(&peer.storage, address, peer.length);
    return list_holds(exporter->allow_, peer) ? MHD_YES : MHD_NO;
}

MHD_Result MetricsExporter::answer(void* self, MHD_Connection* connection, const char* url,
                                   const char* method, const char*, const char*, std::size_t* upload_size,
                                   void**) {
    const auto* exporter = static_cast<const MetricsExporter*>(self);
    if (*upload_size != 0) return MHD_NO;  // a request with a body: nothing here takes one
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return queue(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET.\n", "text/plain; charset=utf-8");
    if (std::strcmp(url, "/metrics") == 0) {
        std::vector<MetricFamily> families = exporter->snapshot_->Collect();
        families.push_back(build_info_family());
        return queue(connection, MHD_HTTP_OK, prometheus::TextSerializer().Serialize(families), METRICS_TYPE);
    }
    if (std::strcmp(url, "/") == 0)
        return queue(connection, MHD_HTTP_OK, INDEX_PAGE, "text/html; charset=utf-8");
    return queue(connection, MHD_HTTP_NOT_FOUND, "Not found: try /metrics.\n", "text/plain; charset=utf-8");
}

}  // namespace kelbos
