// SPDX-License-Identifier: Apache-2.0
// kelbostx: sends data to a kelbos receiver and shows the send rate.
#include <QCommandLineParser>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/show_message.h"
#include "metrics/metrics_endpoint.h"
#include "shell/kelbo_canvas.h"
#include "shell/program_options.h"
#include "startup/program_start.h"
#include "transmitter/app/command_line.h"
#include "transmitter/app/transmitter_program.h"
#include "transmitter/app/transmitter_window.h"

using namespace kelbos;

int main(int argc, char** argv) {
    const std::uint64_t start_ms = now_ms();
    // The command line is read before anything needs a display, so that --help,
    // --version and a bad option work on a machine without one.
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Kelbos transmitter: sends data to a kelbos receiver and shows the send rate. TCP links go to "
        "TCP port 54276; UDP links to TCP port 53764, with their data to UDP port 54020. Qt's options "
        "(-geometry, -style, ...) come first. Exit status: 0; 1 no window, or a --go that failed; 2 a bad "
        "option; 255 a malformed scene point.");
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
    const bool help = parser.isSet("help") || parser.isSet("help-all");
    if (help || parser.isSet("version")) answer_help_or_version(argc, argv, "kelbostx", parser, help);

    std::string error;
    const std::optional<CommonOptions> common = read_common_options(parser, error);
    if (!common || !read_metrics_options(common->metrics, common->metrics_allow, error)) {
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
    SocketChoices sockets;
    if (!read_socket_choices(parser, sockets, error)) {
        present_on_stderr(error);
        return 2;
    }

    ProgramStart start(argc, argv, "kelbostx", *common);
    TransmitterOptions options;
    if (!start.start_metrics(options.metrics)) return 2;
    options.start_ms = start_ms;
    options.headless = common->headless;
    options.json = common->json;
    options.go = parser.isSet("go");
    options.time_seconds = common->time_seconds;
    options.bar_scale = common->bar_scale;
    options.rate_history = common->rate_history;
    options.send_path = send_path;
    options.sockets = sockets;
    TransmitterProgram program(options);
    program.settings() = settings;
    program.set_kelbo_colour(colour);

    QuitSignals quit_signals([&program] { program.quit_app(); });
    program.start_up(common->words);
    return start.run(start_ms, &program.window().canvas(), [&program] { program.show(); });
}
