"""Registering NumPy arrays and GPU tensors, and moving data between them.

    python examples/register_numpy_gpu.py --sim

`vantor.helpers.reg_buffer` takes the object itself: anything with the
buffer protocol (NumPy arrays, bytearray, mmap), `__cuda_array_interface__`
(CuPy, Numba, PyTorch CUDA tensors) or DLPack. The memory region keeps the
object alive until it is closed.

GPU memory needs EFA hardware and one of the two GPUDirect paths:

* peer memory (the nvidia_peermem module): `reg_buffer(pd, tensor)` registers
  the tensor's device address, which is what this example does;
* dma-buf (rdma-core 34 or newer): export a dma-buf for the allocation, e.g.
  with CUDA's `cuMemGetHandleForAddressRange`, and pass it:
  `reg_buffer(pd, tensor, dmabuf_fd=fd, dmabuf_offset=offset_in_dmabuf)`.
"""

from __future__ import annotations

import importlib
import sys
from typing import Any

if "--sim" in sys.argv[1:]:
    import vantor.sim

    vantor.sim.activate()

import numpy as np

import vantor
from vantor.completions import wait_completions
from vantor.helpers import PeerAddress, describe_buffer, reg_buffer

QKEY = 0x1EFA
SIMULATOR = "--sim" in sys.argv[1:]


def write(qp: Any, peer: Any, source_mr: Any, target_mr: Any, cq: Any) -> None:
    """RDMA-write all of source_mr into target_mr and wait for it."""
    qp.post_send(peer.write_request(1, source_mr, target_mr))
    wait_completions(cq, 1, timeout=5.0, check=True)


def cuda_tensor(n: int) -> Any | None:
    """A float32 CUDA tensor of n zeros, or None without PyTorch and a GPU."""
    try:
        torch = importlib.import_module("torch")
    except ImportError:
        return None
    if not torch.cuda.is_available():
        return None
    return torch.zeros(n, dtype=torch.float32, device="cuda")


def main() -> None:
    devices = vantor.get_efa_device_list()
    if not devices:
        sys.exit("no EFA device here: run with --sim")
    with devices[0].open() as ctx, ctx.alloc_pd() as pd, ctx.create_cq(16) as cq:
        qp = pd.create_qp(vantor.QPInitAttr(cq, cq)).prepare(QKEY)
        with qp, PeerAddress.of(qp).connect(pd) as self_peer:
            source = np.arange(1024, dtype=np.float32)
            target = np.zeros_like(source)
            with reg_buffer(pd, source) as source_mr, reg_buffer(pd, target) as target_mr:
                print(f"source: {source_mr}")
                write(qp, self_peer, source_mr, target_mr, cq)
                assert np.array_equal(source, target)
                print(f"NumPy -> NumPy: {target[:4]} ... {target[-1]} arrived")

                if SIMULATOR:
                    print("GPU -> needs EFA hardware (the software device registers host memory)")
                    return
                tensor = cuda_tensor(source.size)
                if tensor is None:
                    print("GPU -> skipped: no PyTorch with CUDA here")
                    return
                info = describe_buffer(tensor)
                print(f"GPU tensor: {info.device} memory at 0x{info.addr:x}, {info.nbytes} bytes")
                with reg_buffer(pd, tensor) as gpu_mr:  # peer memory (nvidia_peermem)
                    write(qp, self_peer, source_mr, gpu_mr, cq)
                    assert np.array_equal(tensor.cpu().numpy(), source)
                    print("NumPy -> GPU: arrived")


if __name__ == "__main__":
    main()
