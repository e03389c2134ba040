// SPDX-License-Identifier: Apache-2.0
// The programs' figures for a Prometheus server: `GET /metrics` in the text format.
//
// The program hands the exporter a snapshot of its figures at each rate tick (and when
// a transmission ends); the exporter's HTTP threads only ever read the latest
// snapshot. Nothing is counted on the data path: the figures are the ones the rows
// and the JSON lines already show.
#pragma once

#include <microhttpd.h>
#include <prometheus/metric_family.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/figures.h"
#include "metrics/metrics_endpoint.h"
#include "net/address_list.h"

namespace kelbos {

std::vector<prometheus::MetricFamily> metric_families(const ReceiverFigures& figures);
std::vector<prometheus::MetricFamily> metric_families(const TransmitterFigures& figures);
// kelbos_build_info{version}: always 1, served by both programs beside their figures.
prometheus::MetricFamily build_info_family();

// The latest figures, published by the program's thread and read by the exporter's.
class MetricsSnapshot {
public:
    void publish(std::vector<prometheus::MetricFamily> families);
    std::vector<prometheus::MetricFamily> Collect() const;

private:
    mutable std::mutex mutex_;
    std::vector<prometheus::MetricFamily> families_;
};

// The HTTP side: serves a snapshot at /metrics, and a page linking it at /, from one
// thread of its own that polls every connection.
class MetricsExporter {
public:
    ~MetricsExporter();
    // Listens on `endpoint`: its address (a name, or IPv4 or IPv6 in numbers), or every
    // address over IPv4 and IPv6 when it has none. A connection from a host outside
    // `allow` (when not empty) is closed at once. Null, with `error` saying why, when
    // the address does not resolve or the port cannot be had.
    static std::unique_ptr<MetricsExporter> start(const MetricsEndpoint& endpoint,
                                                  std::vector<AddressPrefix> allow,
                                                  std::shared_ptr<MetricsSnapshot> snapshot,
                                                  std::string& error);

private:
    MetricsExporter() = default;
    static MHD_Result admit(void* self, const sockaddr* address, socklen_t length);
    static MHD_Result answer(void* self, MHD_Connection* connection, const char* url, const char* method,
                             const char* version, const char* upload, std::size_t* upload_size, void** state);
    std::shared_ptr<MetricsSnapshot> snapshot_;
    std::vector<AddressPrefix> allow_;
    MHD_Daemon* daemon_ = nullptr;
};

}  // namespace kelbos
