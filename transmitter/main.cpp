// SPDX-License-Identifier: Apache-2.0
// kelbostx: sends data to a kelbos receiver and shows the send rate.
#include <QApplication>
#include <clocale>
#include <QCommandLineParser>
#include <cstdio>

#include "command_line.h"
#include "desktop_identity.h"
#include "json_lines.h"
#include "kelbo_canvas.h"
#include "loop_monitor.h"
#include "metrics.h"
#include "program_options.h"
#include "shell.h"
#include "show_message.h"
#include "transmitter_program.h"
#include "transmitter_window.h"

using namespace kelbos;

namespace {

QStringList arguments_of(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// Headless, standard error carries the program's own messages for whoever reads
// them: the platform layer's notes and warnings (no runtime folder, window hints that
// the offscreen platform ignores) are left out; its errors still show.
void platform_errors_only(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtCriticalMsg && type != QtFatalMsg) return;
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t start_ms = now_ms();
    // The command line is read before anything needs a display, so that --help,
    // --version and a bad option work on a machine without one.
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Kelbos transmitter: sends data to a kelbos receiver and shows the send rate.");
    add_common_options(parser);
    add_transmitter_options(parser);
    parser.addPositionalArgument("words",
                                 "Scene file: none reads kelbostx.init; one word reads its stem + .init; "
                                 "with two or more the second word names the file.",
                                 "[words...]");
    if (!parser.parse(arguments_of(argc, argv))) {
        present_on_stderr(parser.errorText().toStdString());
        return 2;
    }
    if (parser.isSet("help") || parser.isSet("version")) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName("kelbostx");
        QCoreApplication::setApplicationVersion(KELBOS_VERSION);
        if (parser.isSet("help")) parser.showHelp(0);
        parser.showVersion();
    }

    std::string error;
    const std::optional<CommonOptions> common = read_common_options(parser, error);
    if (!common) {
        present_on_stderr(error);
        return 2;
    }
    // The settings options are checked on the defaults now and given to the program
    // once it exists.
    CommSettings settings = init_defaults();
    Rgb colour = DEFAULT_KELBO_COLOUR;
    if (!apply_settings_options(parser, settings, colour, error)) {
        present_on_stderr(error);
        return 2;
    }
    SendPath send_path = SendPath::copy;
    if (!read_send_path(parser, send_path)) {
        present_on_stderr(MSG_BAD_SEND_PATH);
        return 2;
    }

    prepare_platform(argc, argv);
    if (common->headless)
        qInstallMessageHandler(platform_errors_only);
    else
        guard_window_start("kelbostx");
    QApplication app(argc, argv);
    window_start_done();
    // Qt takes the user's locale for the C library too; numbers are written and read
    // with a decimal point ("%5.4f" rates, JSON lines) whatever it is.
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setApplicationName("kelbostx");
    QCoreApplication::setApplicationVersion(KELBOS_VERSION);
    apply_desktop_identity("kelbostx");
    set_message_presenter(common->headless ? MessagePresenter(present_on_stderr)
                                           : MessagePresenter(present_in_box));

    TransmitterOptions options;
    // The metrics port is had before anything is shown, or the program ends.
    std::unique_ptr<MetricsExporter> exporter;
    if (common->metrics) {
        options.metrics = std::make_shared<MetricsSnapshot>();
        exporter = MetricsExporter::start(*common->metrics, options.metrics, error);
        if (!exporter) {
            std::fprintf(stderr, "kelbostx: %s\n", error.c_str());
            return 2;
        }
    }
    options.start_ms = start_ms;
    options.headless = common->headless;
    options.json = common->json;
    options.go = parser.isSet("go");
    options.time_seconds = common->time_seconds;
    options.bar_scale = common->bar_scale;
    options.rate_history = common->rate_history;
    options.send_path = send_path;
    TransmitterProgram program(options);
    program.settings() = settings;
    program.set_kelbo_colour(colour);

    QuitSignals quit_signals([&program] { program.quit_app(); });
    program.start_up(common->words);
    // With --json, how well the event loop kept up goes out in a last line at exit.
    LoopMonitor monitor(start_ms);
    monitor.watch_first_frame(&program.window().canvas());
    program.show();
    const int status = QApplication::exec();
    if (common->json) JsonLines(true).write_line(monitor.exit_event());
    return status;
}
