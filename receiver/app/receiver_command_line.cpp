// SPDX-License-Identifier: Apache-2.0
#include "receiver/app/receiver_command_line.h"

#include <QCommandLineParser>

#include "metrics/metrics_endpoint.h"

namespace kelbos {

namespace {

// The longest idle time-out taken, in seconds: over a hundred days.
constexpr unsigned IDLE_TIMEOUT_MAX = 10000000;

// Reads --allow, --links-per-host and --idle-timeout into `engine`; false, with
// `error` saying why, for a value that does not read.
bool read_admission_options(const QCommandLineParser& parser, EngineOptions& engine, std::string& error) {
    if (parser.isSet("allow")) {
        std::string refused;
        auto list = parse_address_list(parser.value("allow").toStdString(), &refused);
        if (!list) {
            error = !refused.empty() ? "allow entry " + refused : std::string("allow must be ") + ADDRESS_LIST_FORM;
            return false;
        }
        engine.allow = std::move(*list);
    }
    if (parser.isSet("links-per-host")) {
        bool ok = false;
        const int n = parser.value("links-per-host").toInt(&ok);
        if (!ok || n < 1 || n > CONN_LAST) {
            error = "links per host must be a whole number from 1 to 10";
            return false;
        }
        engine.links_per_host = n;
    }
    if (parser.isSet("idle-timeout")) {
        bool ok = false;
        const unsigned seconds = parser.value("idle-timeout").toUInt(&ok);
        if (!ok || seconds > IDLE_TIMEOUT_MAX) {
            error = "idle timeout must be a whole number of seconds, 0 (never) or more";
            return false;
        }
        engine.idle_timeout = std::chrono::seconds(seconds);
    }
    return true;
}

}  // namespace

CommandLineOutcome parse_receiver_command_line(QCommandLineParser& parser, const QStringList& arguments,
                                               CommonOptions& out, EngineOptions& engine,
                                               std::string& error) {
    parser.setApplicationDescription(
        "Kelbos receiver: accepts up to ten links from kelbostx transmitters and shows each link's rate, "
        "a TOTAL, and a picture that fills with the data received. Listens on TCP ports 54276 (TCP "
        "links) and 53764 (UDP links) and UDP port 54020 (their data). Qt's options (-geometry, -style, "
        "...) come first. Exit status: 0; 1 no window; 2 a bad option; 255 a malformed scene point.");
    add_common_options(parser);
    parser.addOption({"allow",
                      "Accept links only from these hosts: addresses and prefixes, such as "
                      "127.0.0.1,10.0.0.0/8,::1,2001:db8::/32 (an IPv4 entry also takes its IPv4-mapped "
                      "IPv6 form; no bits may be set beyond a prefix). Default: every host.",
                      "LIST"});
    parser.addOption({"links-per-host",
                      "Let a host hold at most N ConnIds, live or \"Stopped\" (1 to 10; default 10): a new "
                      "link takes over its oldest stopped row, and is refused only when all N are live. "
                      "The addresses of one IPv6 /64 are one host.",
                      "N"});
    parser.addOption({"idle-timeout",
                      "End a link that brings no data for SECONDS, as a failed link (default 0: never).",
                      "SECONDS"});
    parser.addPositionalArgument("scene",
                                 "The scene file: one word gives its stem + \".init\", two or more the "
                                 "second word; none gives kelbostx.init.",
                                 "[words...]");
    if (!parser.parse(arguments)) {
        error = parser.errorText().toStdString();
        return CommandLineOutcome::error;
    }
    if (parser.isSet("help") || parser.isSet("help-all")) return CommandLineOutcome::help;
    if (parser.isSet("version")) return CommandLineOutcome::version;
    std::optional<CommonOptions> options = read_common_options(parser, error);
    if (!options || !read_metrics_options(options->metrics, options->metrics_allow, error) ||
        !read_admission_options(parser, engine, error))
        return CommandLineOutcome::error;
    out = std::move(*options);
    return CommandLineOutcome::run;
}

}  // namespace kelbos
