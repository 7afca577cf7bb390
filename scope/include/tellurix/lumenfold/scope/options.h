// Command line of lumenfold-scope.
#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>

class QCommandLineParser;

namespace tellurix::lumenfold::scope {

struct ScopeOptions {
    /// Where the command queue listens; empty means transport::default_endpoint().
    QString endpoint;
    /// Encrypt the queue and let in only the producers listed in
    /// $XDG_CONFIG_HOME/lumenfold/authorized_producers (key: .../lumenfold/server.key).
    bool secure = false;
    /// Listen beyond this machine without encryption (a trusted network).
    bool insecure = false;
    /// Start the built-in producer (a thread of this process) on the same endpoint.
    bool demo = false;
    /// Most plots shown at once; further matched pairs are counted in the status bar.
    int max_plots = 9;
    /// Most point rows held over all generations.
    std::size_t history = 1'000'000;
    /// Most traces held (the newest and its history).
    std::size_t traces = 8;
    /// Redraws per second.
    int frame_rate = 30;
    /// Save the window as PNG after quit_after seconds, then quit (headless use).
    QString screenshot;
    /// Quit after this many seconds (0: run until closed).
    double quit_after = 0;
};

/// Declares the options (with --help and --version) on `parser`.
void describe_options(QCommandLineParser& parser);

/// Reads the options of `arguments` (argv, program name first) into `options`. Returns
/// false with a message in `error` for an unknown option or a value out of range; --help
/// and --version are left to the caller (parser.isSet).
bool parse_options(QCommandLineParser& parser, const QStringList& arguments, ScopeOptions& options,
                   QString& error);

} // namespace tellurix::lumenfold::scope
