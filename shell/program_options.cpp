// SPDX-License-Identifier: Apache-2.0
#include "shell/program_options.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kelbos {

void prepare_platform(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], "--headless") == 0) {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            break;
        }
    }
}

namespace {
// What the window-start guard needs inside Qt's message handler, which can reach no
// object of the program.
const char* guarded_program = nullptr;
QtMessageHandler handler_before_guard = nullptr;
std::vector<QString> held_messages;

[[noreturn]] void no_display(const char* program) {
    std::fprintf(stderr, "%s: no display to open the window on; use --headless to run without one\n",
                 program);
    std::fflush(stderr);
    std::_Exit(1);
}

void hold_platform_message(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) no_display(guarded_program);
    held_messages.push_back(qFormatLogMessage(type, context, text));
}

bool set_and_not_empty(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}
}  // namespace

void guard_window_start(const char* program) {
    // Qt opens its window on Wayland or X11 unless told another platform.
    if (!set_and_not_empty("QT_QPA_PLATFORM") && !set_and_not_empty("DISPLAY") &&
        !set_and_not_empty("WAYLAND_DISPLAY"))
        no_display(program);
    guarded_program = program;
    handler_before_guard = qInstallMessageHandler(hold_platform_message);
}

void window_start_done() {
    if (!guarded_program) return;
    guarded_program = nullptr;
    qInstallMessageHandler(handler_before_guard);
    for (const QString& text : held_messages) std::fprintf(stderr, "%s\n", qPrintable(text));
    held_messages.clear();
}

QStringList without_qt_options(const QStringList& arguments) {
    static const QStringList WITH_VALUE = {"platform", "platformpluginpath", "platformtheme", "plugin",
                                           "qwindowgeometry", "qwindowicon", "qwindowtitle", "session",
                                           "display", "geometry", "style", "stylesheet", "name", "title"};
    static const QStringList ALONE = {"reverse", "widgetcount", "nograb", "dograb", "qmljsdebugger"};
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (i > 0 && a == "--") return kept + arguments.mid(i);
        const QString word = a.startsWith("--") ? a.mid(2) : a.startsWith('-') ? a.mid(1) : QString();
        const QString name = word.section('=', 0, 0);
        if (i > 0 && WITH_VALUE.contains(name)) {
            if (!word.contains('=')) ++i;  // the value is the next argument
        } else if (i == 0 || !ALONE.contains(name)) {
            kept << a;
        }
    }
    return kept;
}

void add_common_options(QCommandLineParser& parser) {
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({"headless", "Run without a window; messages go to standard error."});
    parser.addOption({"json", "Write the rows' rates once a second as JSON lines on standard output."});
    parser.addOption({"time", "Exit after SECONDS; kelbostx halts its transmission first.", "SECONDS"});
    parser.addOption(
        {"bar-scale", "What a full rate bar stands for: 100M (default), 1G, 10G, 100G or auto.", "SCALE"});
    parser.addOption({"rate-history", "Open the Rate History window at start."});
    parser.addOption({"metrics",
                      "Serve Prometheus metrics at http://ADDRESS:PORT/metrics; a port alone listens on "
                      "every address, IPv4 and IPv6.",
                      "[ADDRESS:]PORT"});
    parser.addOption({"metrics-allow",
                      "Serve metrics only to these hosts (as --allow lists them; default: every host).",
                      "LIST"});
}

std::optional<CommonOptions> read_common_options(const QCommandLineParser& parser, std::string& error) {
    CommonOptions o;
    o.headless = parser.isSet("headless");
    o.json = parser.isSet("json");
    if (parser.isSet("time")) {
        bool ok = false;
        const double t = parser.value("time").toDouble(&ok);
        if (!ok || !(t > 0) || t > 1e7) {
            error = "time must be a positive number of seconds";
            return std::nullopt;
        }
        o.time_seconds = t;
    }
    if (parser.isSet("bar-scale")) {
        const auto choice = parse_bar_scale(parser.value("bar-scale").toStdString());
        if (!choice) {
            error = "bar scale must be 100M, 1G, 10G, 100G or auto";
            return std::nullopt;
        }
        o.bar_scale = *choice;
    }
    o.rate_history = parser.isSet("rate-history");
    if (parser.isSet("metrics")) o.metrics = parser.value("metrics").toStdString();
    if (parser.isSet("metrics-allow")) o.metrics_allow = parser.value("metrics-allow").toStdString();
    for (const QString& w : parser.positionalArguments()) o.words.push_back(w.toStdString());
    return o;
}

namespace {
// The write end of the signal pipe: signal handlers can only reach a plain integer.
volatile std::sig_atomic_t signal_fd = -1;

void on_signal(int) {
    const int fd = signal_fd;
    if (fd >= 0) {
        const char c = 1;
        [[maybe_unused]] const auto n = ::write(fd, &c, 1);
    }
}
}  // namespace

QuitSignals::QuitSignals(std::function<void()> on_quit, QObject* parent)
    : QObject(parent), on_quit_(std::move(on_quit)) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) return;
    signal_fd = fds[1];
    notifier_ = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

QuitSignals::~QuitSignals() {
    if (!notifier_) return;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    const int write_fd = signal_fd;
    signal_fd = -1;
    ::close(write_fd);
    ::close(static_cast<int>(notifier_->socket()));
}

void QuitSignals::drain() {
    char buf[64];
    while (::read(static_cast<int>(notifier_->socket()), buf, sizeof buf) > 0) {
    }
    if (on_quit_) on_quit_();
}

}  // namespace kelbos
