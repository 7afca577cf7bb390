// The contracts a host program implements and the panel only calls: the data boxes,
// the main window, the two datasets and the command queue.
// Every call comes from the GUI thread unless a member says otherwise.
#pragma once

#include <tellurix/lumenfold/host/value.h>

#include <QStringList>

namespace tellurix::lumenfold::host {

/// A source of column names (the host's point and trace data boxes).
struct DataBox {
    virtual ~DataBox() = default;
    /// The names of the columns, in column order. Called by the toolbar on every
    /// re-match and tooltip refresh; right after "PN"/"TN" it must return the names just
    /// given to the matching Dataset. May be empty; should not throw.
    virtual QStringList column_names() const = 0;
};

/// The host main window, as the toolbar sees it (ToolBar::set_mainwindow).
struct HostWindow {
    virtual ~HostWindow() = default;
    /// Column names of the points family. The reference stays valid for the host's life.
    virtual DataBox& point_data_box() = 0;
    /// Column names of the traces family.
    virtual DataBox& trace_data_box() = 0;
    /// Connected to the toolbar's "AR" button; runs on every click. An exception thrown
    /// here is caught at the slot boundary and reported on the warning channel.
    virtual void all_enable_auto_range() = 0;
    /// Called by ToolBar::AR_action. Exceptions pass to AR_action's caller.
    virtual void enable_all_auto_range() = 0;
};

/// One of the two datasets (points, traces) that the command intake feeds.
/// Called by CmdPump::flush/handle on the GUI thread. Anything thrown ends the running
/// flush and reaches the host that called it; the item is then already consumed.
struct Dataset {
    virtual ~Dataset() = default;
    /// "PN" (points) or "TN" (traces): the payload, unchanged. Reject what is not a list
    /// of str with TypeError; the toolbar re-reads the names through the DataBox at once.
    virtual void set_column_names(const Value& names) = 0;
    /// "PD" (points) or "TD" (traces): one record, the payload unchanged.
    virtual void append(const Value& record) = 0;
    /// "ROLL": start a new generation. Only ever called on the point dataset.
    virtual void roll() = 0;
};

/// The command queue. The producer side lives in another process; the host owns this
/// end, and CmdPump is its only consumer, on the GUI thread.
struct Queue {
    virtual ~Queue() = default;
    /// True when no item waits. Must not block.
    virtual bool empty() = 0;
    /// Removes and returns the oldest item, waiting while there is none. Only called
    /// after empty() answered false.
    virtual Value get() = 0;
};

} // namespace tellurix::lumenfold::host
