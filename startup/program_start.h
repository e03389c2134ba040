// SPDX-License-Identifier: Apache-2.0
// The start-up of both programs, around their own command line and program object:
// main() reads its command line, answers --help and --version, makes a ProgramStart,
// starts the exporter, makes its program and runs it.
#pragma once

#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "shell/program_options.h"

class QApplication;
class QCommandLineParser;
class QWidget;

namespace kelbos {

class MetricsExporter;
struct MetricsSnapshot;

// The process's arguments as the command-line parser reads them.
QStringList arguments_of(int argc, char** argv);

// --help or --version: the parser's answer under the program's name and version, and
// the program ends (status 0). Needs no display.
[[noreturn]] void answer_help_or_version(int& argc, char** argv, const char* program,
                                         QCommandLineParser& parser, bool help);

class ProgramStart {
public:
    // Everything before the program object: the platform (headless, Qt's notes and
    // warnings are left out of standard error; windowed, a missing display ends the
    // program), the application with the program's name, version and desktop
    // identity, numbers written with a decimal point, and the message presenter (a
    // box, or standard error headless).
    ProgramStart(int& argc, char** argv, const char* program, const CommonOptions& common);
    ~ProgramStart();
    ProgramStart(const ProgramStart&) = delete;
    ProgramStart& operator=(const ProgramStart&) = delete;

    // With --metrics, the exporter on its port, before anything is shown: `snapshot`
    // gets the figures it serves. False when the port cannot be had: the reason went
    // to standard error and the program ends with status 2.
    bool start_metrics(std::shared_ptr<MetricsSnapshot>& snapshot);

    // Shows the program (`show`) and runs the event loop, watched from start_ms on
    // the now_ms() clock with `first_frame` as the first frame painted. With --json
    // the exit line goes out after it, ending with the members `exit_fields` gives.
    // Returns the loop's status.
    int run(std::uint64_t start_ms, QWidget* first_frame, const std::function<void()>& show,
            const std::function<std::string()>& exit_fields = {});

private:
    const char* program_;
    CommonOptions common_;
    std::unique_ptr<QApplication> app_;
    std::unique_ptr<MetricsExporter> exporter_;  // goes before the application
};

}  // namespace kelbos
