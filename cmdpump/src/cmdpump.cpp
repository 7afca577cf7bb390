#include <tellurix/lumenfold/cmdpump.h>

#include <QLatin1String>

namespace tellurix::lumenfold::cmdpump {

namespace {

// The shape checks of a queue item, in order; the first failure names the item's fault.
// Plain conditions rather than assertions: the producer is another process, so a
// malformed item is input to guard against in every build, not a programming error.
const char* shape_fault(const host::Value& words) {
    if (!words.is_tuple())
        return "QueueHandler - fifo Content must be tuple";
    if (words.items().size() != 2)
        return "QueueHandler -the tuple must be like (\"command_type\" , \"DATA\")";
    if (!words[0].is_str())
        return "QueueHandler - the command should be a string";
    return nullptr;
}

} // namespace

CmdPump::CmdPump(host::Queue& queue, toolbar::ToolBar& toolbar, host::Dataset& point_dataset,
                 host::Dataset& trace_dataset)
    : toolbar(&toolbar)
    , queue(&queue)
    , point_dataset(&point_dataset)
    , trace_dataset(&trace_dataset) {}

void CmdPump::take_one() {
    // Kept alive until handle returns: cmd and data refer into it.
    const host::Value words = queue->get();
    if (const char* fault = shape_fault(words)) {
        host::warn(QString::fromLatin1(fault));
        return;
    }
    handle(words[0], words[1]);
}

void CmdPump::flush() {
    while (!queue->empty())
        take_one();
}

bool CmdPump::flush(std::size_t max_items, std::chrono::nanoseconds max_time) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (std::size_t taken = 0;; ++taken) {
        if (queue->empty())
            return false;
        if (taken == max_items || (taken > 0 && Clock::now() - start >= max_time))
            return true;
        take_one();
    }
}

void CmdPump::handle(const host::Value& cmd, const host::Value& data) {
    if (cmd.is_str()) {
        const QString& word = cmd.as_str();
        if (word == QLatin1String("PN")) {
            point_dataset->set_column_names(data);
            toolbar->refresh_comb();
            return;
        }
        if (word == QLatin1String("TN")) {
            trace_dataset->set_column_names(data);
            toolbar->refresh_comb();
            return;
        }
        if (word == QLatin1String("PD")) {
            point_dataset->append(data);
            return;
        }
        if (word == QLatin1String("TD")) {
            trace_dataset->append(data);
            return;
        }
        if (word == QLatin1String("ROLL")) {
            point_dataset->roll();
            return;
        }
        if (word == QLatin1String("PXY")) {
            toolbar->set_point_text(data);
            return;
        }
        if (word == QLatin1String("TXY")) {
            toolbar->set_trace_text(data);
            return;
        }
    }
    host::warn(QStringLiteral("QueueHandler - unknown command : ") + host::text_form(cmd));
}

} // namespace tellurix::lumenfold::cmdpump
