"""GPU memory for `vantor perf --use-cuda`: a CUDA buffer from PyTorch or CuPy."""

from __future__ import annotations

import importlib
from typing import Any


class GpuUnavailable(Exception):
    """No library here can hand out CUDA memory; the text says why."""


def _torch_buffer(nbytes: int) -> Any:
    torch = importlib.import_module("torch")
    if not torch.cuda.is_available():
        raise GpuUnavailable(f"PyTorch {torch.__version__} sees no CUDA device")
    return torch.zeros(nbytes, dtype=torch.uint8, device="cuda")


def _cupy_buffer(nbytes: int) -> Any:
    cupy = importlib.import_module("cupy")
    try:
        count = cupy.cuda.runtime.getDeviceCount()
    except Exception as exc:  # CuPy raises its own runtime errors without a driver
        raise GpuUnavailable(f"CuPy sees no CUDA device ({exc})") from None
    if count < 1:
        raise GpuUnavailable("CuPy sees no CUDA device")
    return cupy.zeros(nbytes, dtype=cupy.uint8)


def cuda_buffer(nbytes: int) -> Any:
    """A zeroed CUDA buffer of `nbytes`, from PyTorch if it has a device, else CuPy.

    It offers ``__cuda_array_interface__``, which is how `reg_buffer` finds
    its device address.
    """
    reasons = []
    for name, make in (("torch", _torch_buffer), ("cupy", _cupy_buffer)):
        try:
            return make(nbytes)
        except ImportError:
            reasons.append(f"{name} is not installed")
        except GpuUnavailable as exc:
            reasons.append(str(exc))
    raise GpuUnavailable(
        "--use-cuda needs PyTorch or CuPy with a CUDA device (" + "; ".join(reasons) + ")"
    )


def synchronize(buffer: Any) -> None:
    """Wait for the GPU work on `buffer` (its zeroing) before the NIC touches it."""
    module = type(buffer).__module__.split(".")[0]
    if module == "torch":
        importlib.import_module("torch").cuda.synchronize()
    else:
        importlib.import_module("cupy").cuda.runtime.deviceSynchronize()
