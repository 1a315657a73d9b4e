"""korvo.ros: korvo's devices and loop as ROS 2 messages.

``korvo.ros.messages`` turns ticks, handle frames and the loop's statistics
into ROS 2 messages (types, definitions, hashes and CDR bytes from the
`rosbags` type store); ``korvo.ros.bag`` writes and reads them as rosbag2
recordings with MCAP storage. Both need the ``ros`` extra
(``pip install KorvoHardwareAPI[ros]``); neither imports a middleware.
"""
