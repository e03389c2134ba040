// The receiver's command line: the options both programs share (--help, --version,
// --headless, --json, --time) beside the words that name the scene file.
#pragma once

#include <QStringList>
#include <string>

#include "program_options.h"

class QCommandLineParser;

namespace kelbos {

enum class CommandLineOutcome {
    run,      // options read into `out`
    help,     // --help: show the parser's help
    version,  // --version
    error,    // `error` says what is wrong; the program ends with status 2
};

// Sets up `parser` with the receiver's options and reads `arguments` (program name
// first).
CommandLineOutcome parse_receiver_command_line(QCommandLineParser& parser, const QStringList& arguments,
                                               CommonOptions& out, std::string& error);

}  // namespace kelbos
