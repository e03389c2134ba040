// SPDX-License-Identifier: Apache-2.0
// kelbosrx: the receiver program.
#include <QApplication>
#include <QCommandLineParser>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "clock.h"
#include "desktop_identity.h"
#include "json_lines.h"
#include "loop_monitor.h"
#include "metrics.h"
#include "program_options.h"
#include "receiver_command_line.h"
#include "receiver_program.h"
#include "shell.h"
#include "show_message.h"

namespace {

QStringList arguments_of(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// Standard error carries the messages of a headless run for whoever reads them: the
// platform layer's notes and warnings (no runtime folder, size hints the offscreen
// platform cannot pass on) are left out; its errors still show.
void quiet_headless_notes(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtCriticalMsg && type != QtFatalMsg) return;
    std::fprintf(stderr, "%s\n", qPrintable(text));
    if (type == QtFatalMsg) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t start_ms = kelbos::now_ms();
    // The command line is read before anything needs a display, so that --help and a
    // bad option work on a machine without one.
    QCommandLineParser parser;
    kelbos::CommonOptions common;
    kelbos::EngineOptions engine;
    std::string error;
    const kelbos::CommandLineOutcome outcome =
        kelbos::parse_receiver_command_line(parser, arguments_of(argc, argv), common, engine, error);
    if (outcome == kelbos::CommandLineOutcome::error) {
        std::fprintf(stderr, "kelbosrx: %s\n", error.c_str());
        return 2;
    }
    if (outcome != kelbos::CommandLineOutcome::run) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName("kelbosrx");
        QCoreApplication::setApplicationVersion(KELBOS_VERSION);
        if (outcome == kelbos::CommandLineOutcome::help) parser.showHelp(0);
        parser.showVersion();
    }
    kelbos::prepare_platform(argc, argv);
    if (common.headless)
        qInstallMessageHandler(quiet_headless_notes);
    else
        kelbos::guard_window_start("kelbosrx");

    QApplication app(argc, argv);
    kelbos::window_start_done();
    // Qt takes the user's locale for the C library too; numbers are written and read
    // with a decimal point ("%5.4f" rates, JSON lines) whatever it is.
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setApplicationName("kelbosrx");
    QApplication::setApplicationVersion(KELBOS_VERSION);
    kelbos::apply_desktop_identity("kelbosrx");

    kelbos::set_message_presenter(common.headless ? kelbos::MessagePresenter(kelbos::present_on_stderr)
                                                  : kelbos::MessagePresenter(kelbos::present_in_box));
    kelbos::ReceiverOptions options;
    // The metrics port is had before anything is shown, or the program ends.
    std::unique_ptr<kelbos::MetricsExporter> exporter;
    if (common.metrics) {
        options.metrics = std::make_shared<kelbos::MetricsSnapshot>();
        exporter = kelbos::MetricsExporter::start(*common.metrics, options.metrics, error);
        if (!exporter) {
            std::fprintf(stderr, "kelbosrx: %s\n", error.c_str());
            return 2;
        }
    }
    options.engine = std::move(engine);
    options.words = common.words;
    options.json = common.json;
    options.time_seconds = common.time_seconds;
    options.bar_scale = common.bar_scale;
    options.rate_history = common.rate_history;
    kelbos::ReceiverProgram program(std::move(options));
    kelbos::QuitSignals quit_signals([&program] { program.quit_app(); });
    // With --json, how well the event loop kept up goes out in a last line at exit.
    kelbos::LoopMonitor monitor(start_ms);
    monitor.watch_first_frame(program.canvas());
    program.show();
    const int status = QApplication::exec();
    if (common.json) kelbos::JsonLines(true).write_line(monitor.exit_event(program.exit_fields()));
    return status;
}
