// Where the elements of lists and tuples live. Records come and go by the million (a
// tuple and a list for each), so their blocks and element storage are kept per thread
// for reuse rather than asked of the general allocator each time.
#pragma once

#include <tellurix/lumenfold/host/value.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace tellurix::lumenfold::host::detail {

/// The shared, immutable element vector of a list or tuple, holding `items`. Destroying
/// it never recurses deeper than a few levels, however deep the value nests.
std::shared_ptr<const std::vector<Value>> element_block(std::vector<Value>&& items);

/// An empty vector with room for `count` elements: storage a list or tuple of this thread
/// left behind when one of that size is kept, new storage otherwise.
std::vector<Value> element_storage(std::size_t count);

} // namespace tellurix::lumenfold::host::detail
