// SPDX-License-Identifier: Apache-2.0
// Command-line options that both programs share, and the start-up pieces that go with
// them: the headless platform, the quit signals.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/bar_scale.h"

class QCommandLineParser;
class QSocketNotifier;

namespace kelbos {

struct CommonOptions {
    bool headless = false;
    bool json = false;
    std::optional<double> time_seconds;  // --time
    std::vector<std::string> words;      // the words that are not options
    std::optional<std::string> metrics;        // --metrics, as given (read by read_metrics_options)
    std::optional<std::string> metrics_allow;  // --metrics-allow, as given
    BarScaleChoice bar_scale{};          // --bar-scale
    bool rate_history = false;           // --rate-history: the history window opens at start
};

// Before the application object exists: a headless run needs no display, so it runs
// on Qt's offscreen platform.
void prepare_platform(int argc, char** argv);

// For a run that opens a window, before the application object exists: with no
// display to open it on, one line naming --headless goes to standard error and the
// program ends with status 1 -- at once when no display is named, or when the
// platform layer gives up on the one named. The platform layer's own complaints are
// held back until window_start_done() (and shown then, when it did not give up).
void guard_window_start(const char* program);
void window_start_done();

// The arguments without Qt's own options (-geometry, -style, -platform, -display, ...
// with their values, given with one dash or two), which the application object takes;
// nothing after "--" is taken for one.
QStringList without_qt_options(const QStringList& arguments);

// Adds --help, --help-all (with Qt's options), --version, --headless, --json, --time,
// --bar-scale, --rate-history, --metrics and --metrics-allow to a parser.
void add_common_options(QCommandLineParser& parser);

// Reads the common options after parsing. `error` receives a message when --time is
// not a positive number of seconds or --bar-scale names no scale.
std::optional<CommonOptions> read_common_options(const QCommandLineParser& parser, std::string& error);

// SIGINT and SIGTERM, turned into a call on the event loop's thread.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    QuitSignals(std::function<void()> on_quit, QObject* parent = nullptr);
    ~QuitSignals() override;

private:
    void drain();

    std::function<void()> on_quit_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace kelbos
