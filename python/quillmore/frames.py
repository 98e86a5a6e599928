"""The frame encoders under the name that the virtual headset still imports
them by; they live in :mod:`quillmore.encoders`."""

from .constants import SAMPLES_PER_SECOND
from .encoders import Extended, Frame, Gyro, Hrv, Raw, Standard, Value, encode

__all__ = ["SAMPLES_PER_SECOND", "Extended", "Frame", "Gyro", "Hrv", "Raw", "Standard", "Value", "encode"]
