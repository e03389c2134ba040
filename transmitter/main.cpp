// kelbostx: sends data to a kelbos receiver and shows the send rate.
#include <QApplication>
#include <clocale>
#include <QCommandLineParser>
#include <cstdio>
#include <cstring>

#include "command_line.h"
#include "desktop_identity.h"
#include "json_lines.h"
#include "kelbo_canvas.h"
#include "loop_monitor.h"
#include "program_options.h"
#include "shell.h"
#include "show_message.h"
#include "transmitter_program.h"
#include "transmitter_window.h"

using namespace kelbos;

namespace {

bool headless_requested(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--headless") == 0) return true;
    return false;
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
    prepare_platform(argc, argv);
    if (headless_requested(argc, argv)) qInstallMessageHandler(platform_errors_only);
    QApplication app(argc, argv);
    // Qt takes the user's locale for the C library too; numbers are written and read
    // with a decimal point ("%5.4f" rates, JSON lines) whatever it is.
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setApplicationName("kelbostx");
    QCoreApplication::setApplicationVersion(KELBOS_VERSION);
    apply_desktop_identity("kelbostx");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Kelbos transmitter: sends data to a kelbos receiver and shows the send rate.");
    add_common_options(parser);
    add_transmitter_options(parser);
    parser.addPositionalArgument("words",
                                 "Scene file: none reads kelbostx.init; one word reads its stem + .init; "
                                 "with two or more the second word names the file.",
                                 "[words...]");
    if (!parser.parse(QCoreApplication::arguments())) {
        present_on_stderr(parser.errorText().toStdString());
        return 2;
    }
    if (parser.isSet("help")) parser.showHelp(0);
    if (parser.isSet("version")) parser.showVersion();

    std::string error;
    const std::optional<CommonOptions> common = read_common_options(parser, error);
    if (!common) {
        present_on_stderr(error);
        return 2;
    }
    set_message_presenter(common->headless ? MessagePresenter(present_on_stderr)
                                           : MessagePresenter(present_in_box));

    TransmitterOptions options;
    options.start_ms = start_ms;
    options.headless = common->headless;
    options.json = common->json;
    options.go = parser.isSet("go");
    options.time_seconds = common->time_seconds;
    options.bar_scale = common->bar_scale;
    options.rate_history = common->rate_history;
    TransmitterProgram program(options);

    Rgb colour = program.brushes().kelbo_colour;
    if (!apply_settings_options(parser, program.settings(), colour, error)) {
        present_on_stderr(error);
        return 2;
    }
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
