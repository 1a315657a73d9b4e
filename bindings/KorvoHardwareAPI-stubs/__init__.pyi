"""Python Implementation of the Korvo Hardware API"""

# Type information for editors and type checkers. The runtime signatures are
# pybind11's (see help()); these say a little more where Python allows it:
# what the tuples and dicts hold, and which arguments any sequence may fill.
# Parameters whose runtime names contain spaces are positional-only here.
# Names with a leading underscore are for typing only: they do not exist in
# the module.

import uuid
from collections.abc import Sequence
from typing import Any, TypedDict, overload

__version__: str

class SerialStream:
    def __init__(self, arg0: str | bytes | bytearray, /) -> None:
        """Initialize the serial stream"""

class UUID:
    def __init__(self) -> None: ...
    def bytes(self) -> list[int]: ...

class Device:
    # Known to the module, but without a constructor: calling it raises
    # TypeError ("No constructor defined!").
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...

def get_cpp_version() -> str:
    """Get the version of the CPP library"""

def print_cpp_version() -> None:
    """Print the version of the CPP library"""

def detect_arvenas() -> list[str]:
    """detect available arvena devices"""

def detect_handles() -> list[str]:
    """detect available handles"""

def detect_wired_handles() -> list[str]:
    """detect available wired handles"""

def detect_wireless_handles() -> list[str]:
    """detect available wireless handles"""

class _DeviceInfoDict(TypedDict):
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    device_id_ext: uuid.UUID

class _StylarStatusDict(TypedDict):
    device_id: int
    quaternion: list[float]
    error_flag: int
    hall_effect_sensor_level: int
    buttons: int
    battery_level: float

_Vector = Sequence[float]
_State = tuple[list[float], list[float]]

class Arvena:
    """Arvena Device Class"""

    @overload
    def __init__(self, arg0: SerialStream, /) -> None: ...
    @overload
    def __init__(self, stream: SerialStream, timeout: float = 5.0) -> None:
        """Construct an Arvena with a custom serial timeout (seconds)."""
    def send_raw(self, payload: bytes) -> None:
        """Send raw bytes directly to the serial stream (no framing)."""
    def read_raw(self, n: int, timeout: float = 1.0) -> bytes:
        """Read up to n bytes with a per-call timeout (seconds). Returns whatever was received (may be shorter than n on timeout)."""
    def set_read_timeout(self, t: float) -> None:
        """Set the device-level read timeout (seconds)."""
    def flush_input(self) -> None:
        """Drain any currently buffered input bytes from the serial stream."""
    def device_wakeup(self) -> tuple[int, int, int, int, list[int]]:
        """Wakeup the device and return the device info as a tuple."""
    def device_wakeup_dict(self) -> _DeviceInfoDict:
        """Wakeup the device and return the device info as a dict."""
    def get_firmware_version(self) -> uuid.UUID:
        """Receive the firmware version of the device."""
    def get_device_id(self) -> uuid.UUID:
        """Receive the UUID of the device."""
    def get_motor_currents(self) -> list[float]:
        """Receive the motor currents of the device."""
    def get_device_orientation(self) -> list[float]:
        """Receive the orientation of the base of the device."""
    def get_power_status(self) -> bool:
        """Receive the power status of the device."""
    def get_temperature(self) -> float:
        """Receive the temperature of the device."""
    def end_effector_force(self, force_request_vector: _Vector = [0.0, 0.0, 0.0], /) -> _State:
        """Send forces to the device and receive device states"""
    def get_end_effector_position(self, onboard: bool = True) -> _State:
        """Get the end-effector position and velocity"""
    def adjust_angles(self, angles: _Vector = [0.0, 0.0, 0.0]) -> None:
        """Adjust the angles of the device"""
    def adjust_lengths(
        self,
        inner_arm_1: float = 0.14000000059604645,
        outer_arm_1: float = 0.14000000059604645,
        inner_arm_2: float = 0.16500000655651093,
        outer_arm_2: float = 0.16500000655651093,
        extension: float = 0.07649999856948853,
    ) -> None:
        """Adjust the lengths of the linkages"""
    def adjust_gear_ratios(
        self,
        head_gear_ratio_coeff: float = 1.0,
        inner_arm_gear_ratio_coeff: float = 1.0,
        outer_arm_gear_ratio_coeff: float = 1.0,
    ) -> None:
        """Adjust the gear ratios"""
    def deactivate_orientation_sensor(self) -> None:
        """Set the base orientation of the kinematic model to the fixed quaternion (0, 0.7071, 0, 0.7071), without exchanging any bytes with the arm."""
    def joint_torques(self, joint_torque_request_vector: _Vector = [0.0, 0.0, 0.0], /) -> _State:
        """Send joint torques to the device and receive the joint states"""
    def end_effector_position(self, position_request_vector: _Vector = [0.0, 0.0, 0.0], /) -> _State:
        """Send end-effector position and receive device states"""
    def joint_angles(self, joint_angle_request_vector: _Vector = [0.0, 0.0, 0.0], /) -> _State:
        """Send joint angles to the device and receive the joint states"""
    def SendDeviceWakeup(self) -> None:
        """[DEPRECATED] Send a device wakeup command"""
    def ReceiveDeviceInfo(self) -> tuple[int, int, int, int, UUID]:
        """Receive device info and return a tuple (device_id, device_model_num, hardware_version, firmware_version, device_id_ext)."""
    @overload
    def SendForce(self, force: _Vector = [0.0, 0.0, 0.0]) -> None:
        """[Deprecated] Send force to the device"""
    @overload
    def SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None:
        """[Deprecated] Send force to the device"""
    def ReceiveState(self, position: _Vector = [0.0, 0.0, 0.0], velocity: _Vector = [0.0, 0.0, 0.0]) -> _State:
        """[Deprecated] receive state and return position and velocity"""
    def ReceiveJointState(
        self, joint_position: _Vector = [0.0, 0.0, 0.0], joint_velocity: _Vector = [0.0, 0.0, 0.0]
    ) -> _State:
        """[Deprecated] receive joint state and return position and velocity in the joint reference frame"""
    def SendJointTorques(self, joint_torque: _Vector = [0.0, 0.0, 0.0]) -> None:
        """[Deprecated] send joint torque"""
    def SendAngle(self, angle: _Vector = [0.0, 0.0, 0.0]) -> None:
        """Send angles to the device"""
    def RequestCurrent(self) -> None:
        """request current"""
    def ReceiveCurrent(self, current: _Vector = [0.0, 0.0, 0.0]) -> list[float]:
        """receive current and return current"""
    def SendPosition(self, position: _Vector = [0.0, 0.0, 0.0]) -> None:
        """[Deprecated] Send Position to the device"""

class Handle:
    """The stylar handle class"""

    def __init__(self, arg0: SerialStream, /) -> None: ...
    def SendDeviceWakeup(self) -> None: ...
    def SendHandleState(self, device_id: int = 0, data_length: int = 0, user_data: int | None = None) -> None:
        """send handle state"""
    def RequestStatus(self) -> None:
        """request handle status"""
    # Override these in a subclass to receive the handle's messages from
    # Receive(). A subclass receives `quaternion` as a list of 4 floats and
    # `user_data` as a list of user_data_length ints; a direct call passes one
    # float and one byte. Those two are Any here, so that an override typed
    # with what it receives (list[float], list[int]) is a valid override.
    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None:
        """OnReceiveHandleInfo"""
    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: Any,
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: Any,
    ) -> None:
        """OnReceiveHandleStatusMessage"""
    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        """OnReceiveHandleErrorResponse"""
    @overload
    def Receive(self) -> int:
        """Receive data from the handle"""
    @overload
    def Receive(self, obsolete: int) -> int:
        """[DEPRECATED] Receive current and return current"""
    def GetStylarStatus(self) -> _StylarStatusDict:
        """Get the most recent Stylar informations"""
