// lumenfold-send --replay: sends the items of a recording to a queue.
#pragma once

#include <QString>

namespace tellurix::lumenfold::transport {
class Producer;
}

/// Sends every item of the recording `file` through `producer`, message by message: at
/// once when `speed` is 0, else at `speed` times the recorded pace (a step back of the
/// receive times costs no wait). Malformed messages are skipped with a note on stderr.
/// Returns false (with a note on stderr) when the file is refused, cut short or damaged;
/// the items before the fault are sent all the same.
bool send_recording(tellurix::lumenfold::transport::Producer& producer, const QString& file,
                    double speed);
