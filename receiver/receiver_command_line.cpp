#include "receiver_command_line.h"

#include <QCommandLineParser>

namespace kelbos {

CommandLineOutcome parse_receiver_command_line(QCommandLineParser& parser, const QStringList& arguments,
                                               CommonOptions& out, std::string& error) {
    parser.setApplicationDescription(
        "Kelbos receiver: accepts up to ten links from kelbostx transmitters and shows each link's rate, "
        "a TOTAL, and a picture that fills with the data received.");
    add_common_options(parser);
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
    if (!options) return CommandLineOutcome::error;
    out = std::move(*options);
    return CommandLineOutcome::run;
}

}  // namespace kelbos
