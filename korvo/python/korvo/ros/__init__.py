"""korvo.ros: korvo's devices and loop as ROS 2 messages.

``korvo.ros.messages`` turns ticks, handle frames and the loop's statistics
into ROS 2 messages (types, definitions, hashes and CDR bytes from the
`rosbags` type store); ``korvo.ros.bag`` writes and reads them as rosbag2
recordings with MCAP storage. Both need the ``ros`` extra
(``pip install KorvoHardwareAPI[ros]``); neither imports a middleware.
``korvo.ros.Bridge`` (``korvo.ros.bridge``) puts them on Zenoh in rmw_zenoh's
wire form (``korvo.ros.zenoh_wire``), a ROS 2 node without ROS 2;
``korvo.ros.Teleop`` (``korvo.ros.teleop``) makes a servo loop one end of a
teleoperation pair through one.
"""

from typing import Any


def __getattr__(name: str) -> Any:
    # The bridge imports Zenoh: only those who use it pay for it.
    if name == "Bridge":
        from .bridge import Bridge

        return Bridge
    if name == "Teleop":
        from .teleop import Teleop

        return Teleop
    raise AttributeError(f"module 'korvo.ros' has no attribute {name!r}")
