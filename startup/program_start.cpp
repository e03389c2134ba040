// SPDX-License-Identifier: Apache-2.0
#include "startup/program_start.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QPointer>
#include <QWidget>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "core/json_lines.h"
#include "core/show_message.h"
#include "metrics/metrics.h"
#include "shell/desktop_identity.h"
#include "shell/loop_monitor.h"
#include "shell/message_box.h"

namespace kelbos {

namespace {

// Headless, standard error carries the program's own messages for whoever reads
// them: the platform layer's notes and warnings (no runtime folder, window hints that
// the offscreen platform ignores) are left out; its errors still show, and a fatal one
// ends the program.
void platform_errors_only(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtCriticalMsg && type != QtFatalMsg) return;
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    if (type == QtFatalMsg) std::abort();
}

}  // namespace

QStringList arguments_of(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return without_qt_options(arguments);
}

void answer_help_or_version(int& argc, char** argv, const char* program, QCommandLineParser& parser,
                            bool help) {
    if (help && parser.isSet("help-all")) {
        // Qt's options are those of an application object, made here on a platform
        // that needs no display; it answers and ends the program.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        QApplication app(argc, argv);
        // Those the widgets and the X11 platform take, which Qt's list leaves out.
        parser.addOptions(
            {{"style", "Widget style, such as fusion.", "style"},
             {"stylesheet", "Style sheet file for the widgets.", "file"},
             {"widgetcount", "Writes how many widgets were made and are left at exit."},
             {"display", "X11 display to open the windows on, such as :0.", "display"},
             {"geometry", "Size and place of the main window, such as 800x300+10+10.", "geometry"}});
        QCoreApplication::setApplicationName(program);
        QCoreApplication::setApplicationVersion(KELBOS_VERSION);
        parser.process(app);
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(program);
    QCoreApplication::setApplicationVersion(KELBOS_VERSION);
    if (help) parser.showHelp(0);
    parser.showVersion();
}

ProgramStart::ProgramStart(int& argc, char** argv, const char* program, const CommonOptions& common)
    : program_(program), common_(common) {
    prepare_platform(argc, argv);
    if (common_.headless)
        qInstallMessageHandler(platform_errors_only);
    else
        guard_window_start(program_);
    app_ = std::make_unique<QApplication>(argc, argv);
    window_start_done();
    // Qt takes the user's locale for the C library too; numbers are written and read
    // with a decimal point ("%5.4f" rates, JSON lines) whatever it is.
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setApplicationName(program_);
    QCoreApplication::setApplicationVersion(KELBOS_VERSION);
    apply_desktop_identity(program_);
    set_message_presenter(common_.headless
                              ? MessagePresenter(present_on_stderr)
                              : MessagePresenter([](const std::string& text) { present_in_box(text); }));
}

ProgramStart::~ProgramStart() = default;

bool ProgramStart::start_metrics(std::shared_ptr<MetricsSnapshot>& snapshot) {
    if (!common_.metrics) return true;
    snapshot = std::make_shared<MetricsSnapshot>();
    std::string error;
    if (auto metrics = read_metrics_options(common_.metrics, common_.metrics_allow, error))
        exporter_ = MetricsExporter::start(*metrics->endpoint, std::move(metrics->allow), snapshot, error);
    if (exporter_) return true;
    std::fprintf(stderr, "%s: %s\n", program_, error.c_str());
    return false;
}

int ProgramStart::run(std::uint64_t start_ms, QWidget* first_frame, const std::function<void()>& show,
                      const std::function<std::string()>& exit_fields) {
    // With --json, how well the event loop kept up goes out in a last line at exit.
    LoopMonitor monitor(start_ms);
    monitor.watch_first_frame(first_frame);
    // Boxes belong to the main window from now on, whichever window is active.
    if (!common_.headless && first_frame)
        set_message_presenter([owner = QPointer<QWidget>(first_frame->window())](const std::string& text) {
            present_in_box(text, owner);
        });
    show();
    const int status = QApplication::exec();
    if (common_.json) JsonLines(true).write_line(monitor.exit_event(exit_fields ? exit_fields() : std::string()));
    return status;
}

}  // namespace kelbos
