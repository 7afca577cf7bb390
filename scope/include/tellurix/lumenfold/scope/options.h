// Command line of lumenfold-scope.
#pragma once

#include <tellurix/lumenfold/transport.h>

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
    /// Most bytes of values held by both datasets together; 0: default_max_memory().
    std::size_t max_memory = 0;
    /// Most bytes of commands the queue holds received and not yet applied; producers
    /// beyond it are held back (transport::Limits::max_backlog_bytes).
    std::size_t backlog = transport::Limits().max_backlog_bytes;
    /// Redraws per second.
    int frame_rate = 30;
    /// Save the window as PNG after quit_after seconds, then quit (headless use).
    QString screenshot;
    /// Save the datasets as HDF5 after quit_after seconds, then quit (headless use).
    QString export_hdf5;
    /// Forget the remembered window layout and legend choice before the window opens.
    bool reset_settings = false;
    /// Record every message the queue receives into this file (--record FILE).
    QString record;
    /// A recording to show (the positional FILE).
    QString replay;
    /// How fast a recording is shown: 0 as fast as possible, X > 0 at X times its pace.
    double replay_speed = 0;
    /// Quit after this many seconds (0: run until closed).
    double quit_after = 0;
};

/// Declares the options (with --help and --version) on `parser`.
void describe_options(QCommandLineParser& parser);

/// Reads the options of `arguments` (argv, program name first) into `options`. Returns
/// false with a message in `error` for an unknown option or a value out of range; --help,
/// --help-all and --version are left to the caller (parser.isSet).
bool parse_options(QCommandLineParser& parser, const QStringList& arguments, ScopeOptions& options,
                   QString& error);

/// `arguments` without the options that QApplication takes for itself (-platform NAME,
/// -style NAME or -style=NAME, -reverse, -display NAME, ..., with one dash or two), so
/// that the command line can be read before the QApplication exists.
QStringList without_qt_options(const QStringList& arguments);

} // namespace tellurix::lumenfold::scope
