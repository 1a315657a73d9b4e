"""korvo.ros: the devices in ROS 2's messages, and on the network in rmw_zenoh's form."""
