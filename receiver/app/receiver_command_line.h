// SPDX-License-Identifier: Apache-2.0
// The receiver's command line: the options both programs share (--help, --version,
// --headless, --json, --time), the receiver's own (--allow, --links-per-host,
// --idle-timeout) and the words that name the scene file.
#pragma once

#include <QStringList>
#include <string>

#include "receiver/engine/engine_contract.h"
#include "shell/program_options.h"

class QCommandLineParser;

namespace kelbos {

enum class CommandLineOutcome {
    run,      // options read into `out`
    help,     // --help: show the parser's help
    version,  // --version
    error,    // `error` says what is wrong; the program ends with status 2
};

// Sets up `parser` with the receiver's options and reads `arguments` (program name
// first). The receiver's own options go into `engine`; without them it keeps its
// defaults: every host, ten links per host, no idle time-out.
CommandLineOutcome parse_receiver_command_line(QCommandLineParser& parser, const QStringList& arguments,
                                               CommonOptions& out, EngineOptions& engine, std::string& error);

}  // namespace kelbos
