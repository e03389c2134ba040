// SPDX-License-Identifier: Apache-2.0
// kelbosrx: the receiver program.
#include <QCommandLineParser>
#include <cstdio>
#include <string>

#include "core/clock.h"
#include "receiver/app/receiver_command_line.h"
#include "receiver/app/receiver_program.h"
#include "shell/kelbo_canvas.h"
#include "shell/program_options.h"
#include "startup/program_start.h"

int main(int argc, char** argv) {
    const std::uint64_t start_ms = kelbos::now_ms();
    // The command line is read before anything needs a display, so that --help and a
    // bad option work on a machine without one.
    QCommandLineParser parser;
    kelbos::CommonOptions common;
    kelbos::EngineOptions engine;
    std::string error;
    const kelbos::CommandLineOutcome outcome =
        kelbos::parse_receiver_command_line(parser, kelbos::arguments_of(argc, argv), common, engine, error);
    if (outcome == kelbos::CommandLineOutcome::error) {
        std::fprintf(stderr, "kelbosrx: %s\n", error.c_str());
        return 2;
    }
    if (outcome != kelbos::CommandLineOutcome::run)
        kelbos::answer_help_or_version(argc, argv, "kelbosrx", parser,
                                       outcome == kelbos::CommandLineOutcome::help);

    kelbos::ProgramStart start(argc, argv, "kelbosrx", common);
    kelbos::ReceiverOptions options;
    if (!start.start_metrics(options.metrics)) return 2;
    options.engine = std::move(engine);
    options.words = common.words;
    options.json = common.json;
    options.time_seconds = common.time_seconds;
    options.bar_scale = common.bar_scale;
    options.rate_history = common.rate_history;
    kelbos::ReceiverProgram program(std::move(options));
    // Headless, nobody can load a scene or free the ports later: a receiver that hears
    // nothing ends, its message written, rather than run on as if it served.
    if (common.headless && (!program.scene().scene_loaded || program.comm_status() != kelbos::LinkStatus::ok))
        return 1;
    kelbos::QuitSignals quit_signals([&program] { program.quit_app(); });
    return start.run(start_ms, program.canvas(), [&program] { program.show(); },
                     [&program] { return program.exit_fields(); });
}
