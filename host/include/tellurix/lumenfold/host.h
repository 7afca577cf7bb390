// Lumenfold host library: the dynamic value that crosses the command queue, the
// errors every module throws, the contracts a host program implements, the warning
// channel and the clipboard facility. Each has a header of its own under host/; this
// one brings them all.
#pragma once

#include <tellurix/lumenfold/host/channel.h>
#include <tellurix/lumenfold/host/errors.h>
#include <tellurix/lumenfold/host/interfaces.h>
#include <tellurix/lumenfold/host/value.h>
