// Lumenfold command intake: takes the items a producer put into the command queue and
// applies each to the point dataset, the trace dataset or the toolbar. GUI thread only.
#pragma once

#include <tellurix/lumenfold/cmdpump_export.h>
#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/toolbar.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace tellurix::lumenfold::cmdpump {

/// Drains a command queue. An item is a tuple ("word", payload); the words are
///
///   "PN"   point_dataset->set_column_names(payload), then toolbar->refresh_comb()
///   "TN"   trace_dataset->set_column_names(payload), then toolbar->refresh_comb()
///   "PD"   point_dataset->append(payload)
///   "TD"   trace_dataset->append(payload)
///   "ROLL" point_dataset->roll()            (payload ignored; traces never roll)
///   "PXY"  toolbar->set_point_text(payload) (TypeError unless payload is a str)
///   "TXY"  toolbar->set_trace_text(payload) (TypeError unless payload is a str)
///
/// compared exactly and case-sensitively. The payload is passed on unchanged.
///
/// Bad input from the producer never stops the intake: an item that is not a tuple of two
/// elements with a str first, and an unknown word, each give one warning on
/// host::warn() ("QueueHandler - ...") and are dropped. Errors of the datasets, the
/// toolbar or the queue are not caught: they end the running flush and reach its caller;
/// the item being handled is already out of the queue, the items behind it stay there
/// for the next flush.
///
/// The four members are borrowed, never owned: the host keeps the queue, the toolbar and
/// both datasets alive as long as the CmdPump, and may repoint a member at any time
/// (each is read when it is used). CmdPump keeps no other state.
///
/// A host that drains from a Qt slot (a timer's timeout, say) catches what flush throws
/// at that slot: no exception may cross Qt's event delivery.
class LUMENFOLD_CMDPUMP_EXPORT CmdPump {
public:
    /// Stores the four references; reads nothing and calls nothing.
    CmdPump(host::Queue& queue, toolbar::ToolBar& toolbar, host::Dataset& point_dataset,
            host::Dataset& trace_dataset);

    toolbar::ToolBar* toolbar;
    host::Queue* queue;
    host::Dataset* point_dataset;
    host::Dataset* trace_dataset;

    /// Takes items until queue->empty() answers true, including items the producer adds
    /// meanwhile. Use it where the host knows the producer pauses (after a batch, in a
    /// test, at shutdown): against a producer that never stops it never returns.
    void flush();

    /// The same intake, bounded: stops once `max_items` items were taken or `max_time`
    /// has elapsed since the call, whichever comes first. At least one waiting item is
    /// taken per call when `max_items` > 0, so a tiny time budget still makes progress.
    /// Returns false when queue->empty() answered true (nothing left when it looked) and
    /// true when it stopped on the budget with items possibly still waiting; the host
    /// then schedules another call soon. This is the form for a host that drains from a
    /// GUI timer: a fast producer cannot hold the event loop for longer than the budget
    /// (plus one item).
    bool flush(std::size_t max_items, std::chrono::nanoseconds max_time);

    /// Applies one command (see the table above). `cmd` may be any value: one that is not
    /// one of the words, a non-str included, gives the warning
    /// "QueueHandler - unknown command : " followed by host::text_form(cmd), and nothing
    /// else happens. For "PN"/"TN", refresh_comb() is not called when set_column_names
    /// throws.
    void handle(const host::Value& cmd, const host::Value& data);

private:
    void take_one();
};

/// An in-process command queue: a thread-safe FIFO for a producer thread in the host's
/// own process and for tests. Any number of threads may put(); get() waits while the queue
/// is empty, so CmdPump, which asks empty() first, never waits on it.
class LUMENFOLD_CMDPUMP_EXPORT MemoryQueue : public host::Queue {
public:
    MemoryQueue() = default;
    MemoryQueue(const MemoryQueue&) = delete;
    MemoryQueue& operator=(const MemoryQueue&) = delete;

    bool empty() override;
    host::Value get() override;
    /// Appends `item` and wakes one waiting get().
    void put(host::Value item);
    /// Items waiting at the moment of the call.
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable nonempty_;
    std::deque<host::Value> items_;
};

} // namespace tellurix::lumenfold::cmdpump
