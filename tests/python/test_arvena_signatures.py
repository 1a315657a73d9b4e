"""Every rendered signature and docstring of the arm and identity classes, as
help() shows them."""

import pytest

import KorvoHardwareAPI as korvo

A = "self: KorvoHardwareAPI.Arvena"
ZERO = "[0.0, 0.0, 0.0]"


def doc(signature, text=None):
    return f"{signature}\n\n{text}\n" if text is not None else f"{signature}\n"


def overloaded(name, *overloads):
    parts = []
    for i, (signature, text) in enumerate(overloads, 1):
        parts.append(f"{i}. {signature}\n" + (f"\n{text}\n" if text is not None else ""))
    return f"{name}(*args, **kwargs)\nOverloaded function.\n\n" + "\n".join(parts)


RECEIVE_DEVICE_INFO_DOC = (
    "\n            Receive device info and return a tuple with the following fields: \n\n"
    "            device_id (uint16_t)\n            \n"
    "            device_model_num (uint8_t)\n            \n"
    "            hardware_version (uint8_t)\n            \n"
    "            firmware_version (uint8_t)\n            \n"
    "            device_id_ext (UUID)\n            "
)

ARVENA = {
    "__init__": overloaded(
        "__init__",
        (f"__init__({A}, arg0: KorvoHardwareAPI.SerialStream) -> None", None),
        (
            f"__init__({A}, stream: KorvoHardwareAPI.SerialStream, timeout: float = 5.0) -> None",
            "Construct an Arvena with a custom serial timeout (seconds).",
        ),
    ),
    "send_raw": doc(f"send_raw({A}, payload: bytes) -> None", "Send raw bytes directly to the serial stream (no framing)."),
    "read_raw": doc(
        f"read_raw({A}, n: int, timeout: float = 1.0) -> bytes",
        "Read up to n bytes with a per-call timeout (seconds). Returns whatever was received (may be shorter than n on timeout).",
    ),
    "set_read_timeout": doc(f"set_read_timeout({A}, t: float) -> None", "Set the device-level read timeout (seconds)."),
    "flush_input": doc(f"flush_input({A}) -> None", "Drain any currently buffered input bytes from the serial stream."),
    "device_wakeup": doc(f"device_wakeup({A}) -> tuple", "Wakeup the device and return the device info as a tuple."),
    "device_wakeup_dict": doc(f"device_wakeup_dict({A}) -> dict", "Wakeup the device and return the device info as a dict."),
    "get_firmware_version": doc(f"get_firmware_version({A}) -> object", "Receive the firmware version of the device."),
    "get_device_id": doc(f"get_device_id({A}) -> object", "Receive the UUID of the device."),
    "get_motor_currents": doc(
        f"get_motor_currents({A}) -> Annotated[list[float], FixedSize(3)]", "Receive the motor currents of the device."
    ),
    "get_device_orientation": doc(
        f"get_device_orientation({A}) -> Annotated[list[float], FixedSize(4)]",
        "Receive the orientation of the base of the device.",
    ),
    "get_power_status": doc(f"get_power_status({A}) -> bool", "Receive the power status of the device."),
    "get_temperature": doc(f"get_temperature({A}) -> float", "Receive the temperature of the device."),
    "end_effector_force": doc(
        f"end_effector_force({A}, force request vector: list[float] = {ZERO}) -> tuple",
        "Send forces to the device and receive device states",
    ),
    "get_end_effector_position": doc(
        f"get_end_effector_position({A}, onboard: bool = True) -> tuple", "Get the end-effector position and velocity"
    ),
    "adjust_angles": doc(f"adjust_angles({A}, angles: list[float] = {ZERO}) -> None", "Adjust the angles of the device"),
    "adjust_lengths": doc(
        f"adjust_lengths({A}, inner_arm_1: float = 0.14000000059604645, outer_arm_1: float = 0.14000000059604645, "
        "inner_arm_2: float = 0.16500000655651093, outer_arm_2: float = 0.16500000655651093, "
        "extension: float = 0.07649999856948853) -> None",
        "Adjust the lengths of the linkages",
    ),
    "adjust_gear_ratios": doc(
        f"adjust_gear_ratios({A}, head_gear_ratio_coeff: float = 1.0, inner_arm_gear_ratio_coeff: float = 1.0, "
        "outer_arm_gear_ratio_coeff: float = 1.0) -> None",
        "Adjust the gear ratios",
    ),
    "deactivate_orientation_sensor": doc(
        f"deactivate_orientation_sensor({A}) -> None",
        "Set the base orientation of the kinematic model to the fixed quaternion (0, 0.7071, 0, 0.7071), "
        "without exchanging any bytes with the arm.",
    ),
    "joint_torques": doc(
        f"joint_torques({A}, joint torque request vector: list[float] = {ZERO}) -> tuple",
        "Send joint torques to the device and receive the joint states",
    ),
    "end_effector_position": doc(
        f"end_effector_position({A}, position request vector: list[float] = {ZERO}) -> tuple",
        "Send end-effector position and receive device states",
    ),
    "joint_angles": doc(
        f"joint_angles({A}, joint angle request vector: list[float] = {ZERO}) -> tuple",
        "Send joint angles to the device and receive the joint states",
    ),
    "SendDeviceWakeup": doc(f"SendDeviceWakeup({A}) -> None", "[DEPRECATED] Send a device wakeup command"),
    "ReceiveDeviceInfo": doc(f"ReceiveDeviceInfo({A}) -> tuple", RECEIVE_DEVICE_INFO_DOC),
    "SendForce": overloaded(
        "SendForce",
        (f"SendForce({A}, force: list[float] = {ZERO}) -> None", "[Deprecated] Send force to the device"),
        (
            f"SendForce({A}, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None",
            "[Deprecated] Send force to the device",
        ),
    ),
    "ReceiveState": doc(
        f"ReceiveState({A}, position: list[float] = {ZERO}, velocity: list[float] = {ZERO}) -> tuple",
        "[Deprecated] receive state and return position and velocity",
    ),
    "ReceiveJointState": doc(
        f"ReceiveJointState({A}, joint_position: list[float] = {ZERO}, joint_velocity: list[float] = {ZERO}) -> tuple",
        "[Deprecated] receive joint state and return position and velocity in the joint reference frame",
    ),
    "SendJointTorques": doc(
        f"SendJointTorques({A}, joint_torque: list[float] = {ZERO}) -> None", "[Deprecated] send joint torque"
    ),
    "SendAngle": doc(f"SendAngle({A}, angle: list[float] = {ZERO}) -> None", "Send angles to the device"),
    "RequestCurrent": doc(f"RequestCurrent({A}) -> None", "request current"),
    "ReceiveCurrent": doc(
        f"ReceiveCurrent({A}, current: list[float] = {ZERO}) -> list[float]", "receive current and return current"
    ),
    "SendPosition": doc(f"SendPosition({A}, position: list[float] = {ZERO}) -> None", "[Deprecated] Send Position to the device"),
}


@pytest.mark.parametrize("name", ARVENA)
def test_arvena_member(name):
    assert getattr(korvo.Arvena, name).__doc__ == ARVENA[name]


def test_arvena_registration_order_and_class_doc():
    assert korvo.Arvena.__doc__ == "Arvena Device Class"
    members = [name for name in vars(korvo.Arvena) if name in ARVENA]
    assert members == list(ARVENA)


@pytest.mark.parametrize(
    "member, expected",
    [
        (korvo.UUID.__init__, "__init__(self: KorvoHardwareAPI.UUID) -> None\n"),
        (korvo.UUID.bytes, "bytes(self: KorvoHardwareAPI.UUID) -> list[int]\n"),
    ],
)
def test_uuid_members(member, expected):
    assert member.__doc__ == expected


def test_classes_without_docstrings():
    assert korvo.UUID.__doc__ is None
    assert korvo.Device.__doc__ is None
    assert [name for name in vars(korvo.Device) if not name.startswith("_")] == []
