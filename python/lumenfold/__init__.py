"""Python producer for the Lumenfold plotting panel.

    import lumenfold
    with lumenfold.Producer() as p:            # the panel's default endpoint
        p.send("PN", ["t", "volts"])
        p.send("PD", [0.0, 1.5])
        p.send("PXY", "t,volts")

Items travel over ZeroMQ as MessagePack (see ``lumenfold.wire``); numpy is used for
packed arrays when it is installed.
"""

from ._version import __version__
from .endpoint import connect_address, default_endpoint
from .producer import DeliveryWarning, Producer, RefusedError
from .recording import RecordingError, read_recording
from .wire import DEFAULT_LIMITS, Limits, WireError, decode, encode

__all__ = [
    "__version__",
    "Producer",
    "DeliveryWarning",
    "RefusedError",
    "default_endpoint",
    "connect_address",
    "encode",
    "decode",
    "Limits",
    "DEFAULT_LIMITS",
    "WireError",
    "read_recording",
    "RecordingError",
]
