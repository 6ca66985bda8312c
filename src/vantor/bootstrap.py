"""Rank bootstrap: every rank of a job learns every other rank's queue pair and memory.

EFA has no connections: what a rank needs of a peer is its queue pair's
:class:`~vantor.helpers.PeerAddress` and, for one-sided operations, the
address and rkey of the region it exposes. Jobs already run on a launcher
that carries small messages between ranks; these helpers use it:

* under ``torchrun`` (or any ``torch.distributed`` job), the job's key-value
  store::

      ranks = exchange_torch(RankInfo.of(qp, mr))      # list indexed by rank

* under ``mpirun``, an MPI allgather (mpi4py)::

      ranks = exchange_mpi(RankInfo.of(qp, mr))

A :class:`RankInfo` travels as 48 bytes (:meth:`RankInfo.encode`); any other
channel (a file, a socket, a cluster scheduler's store) can carry that.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass
from datetime import timedelta
from typing import TYPE_CHECKING, Any

from vantor.helpers import PeerAddress, PeerAddressError

if TYPE_CHECKING:
    from vantor._vantor import MR, QP

__all__ = ["RankInfo", "exchange_mpi", "exchange_torch", "torch_store"]

# magic "VR", version, flags (0); then a PeerAddress and the region.
_HEAD = struct.Struct(">2sBB")
_REGION = struct.Struct(">QIQ")
_VERSION = 1


@dataclass(frozen=True)
class RankInfo:
    """What one rank tells the others: where its queue pair is, and the
    region (address, rkey, length) they may read or write; a rank that
    exposes no memory sends zeros."""

    address: PeerAddress
    addr: int = 0
    rkey: int = 0
    length: int = 0

    SIZE = _HEAD.size + PeerAddress.ENCODED_SIZE + _REGION.size

    @classmethod
    def of(cls, qp: QP, mr: MR | None = None, **peer_kwargs: Any) -> RankInfo:
        """This rank's queue pair (see :meth:`PeerAddress.of`) and region ``mr``."""
        address = PeerAddress.of(qp, **peer_kwargs)
        if mr is None:
            return cls(address)
        return cls(address, mr.addr, mr.rkey, mr.length)

    def encode(self) -> bytes:
        return (
            _HEAD.pack(b"VR", _VERSION, 0)
            + self.address.encode()
            + _REGION.pack(self.addr, self.rkey, self.length)
        )

    @classmethod
    def decode(cls, data: bytes | bytearray | memoryview) -> RankInfo:
        raw = bytes(data)
        if len(raw) != cls.SIZE or raw[:2] != b"VR":
            raise PeerAddressError(f"not a vantor rank record ({len(raw)} bytes)")
        if raw[2] != _VERSION or raw[3]:
            raise PeerAddressError(
                f"rank record version {raw[2]} (flags 0x{raw[3]:02x}): this vantor reads "
                f"version {_VERSION}; run the same vantor on every rank"
            )
        cut = _HEAD.size + PeerAddress.ENCODED_SIZE
        address = PeerAddress.decode(raw[_HEAD.size : cut])
        addr, rkey, length = _REGION.unpack(raw[cut:])
        return cls(address, addr, rkey, length)


# --- torch.distributed ---------------------------------------------------------------


def torch_store(timeout: float = 300.0) -> Any:
    """The job's ``torch.distributed`` store.

    The default process group's store when one is initialized; otherwise a
    client of the store that ``torchrun`` set up (``MASTER_ADDR``,
    ``MASTER_PORT``), the way ``init_process_group("env://")`` finds it.
    """
    import torch.distributed as dist

    if dist.is_available() and dist.is_initialized():
        from torch.distributed import distributed_c10d

        return distributed_c10d._get_default_store()
    try:
        host, port = os.environ["MASTER_ADDR"], int(os.environ["MASTER_PORT"])
        rank, world = int(os.environ["RANK"]), int(os.environ["WORLD_SIZE"])
    except (KeyError, ValueError) as exc:
        raise RuntimeError(
            f"no torch.distributed job here ({exc} not set): start the ranks with torchrun, "
            "or pass the store yourself"
        ) from None
    # torchrun serves the store from its agent; otherwise rank 0 serves it.
    agent = os.environ.get("TORCHELASTIC_USE_AGENT_STORE", "").lower() == "true"
    return dist.TCPStore(  # type: ignore[attr-defined]
        host,
        port,
        world,
        is_master=(rank == 0 and not agent),
        timeout=timedelta(seconds=timeout),
        wait_for_workers=False,
    )


def _env_int(name: str, given: int | None) -> int:
    if given is not None:
        return given
    try:
        return int(os.environ[name])
    except (KeyError, ValueError):
        raise RuntimeError(
            f"{name} is not set: pass it, or start the ranks with torchrun"
        ) from None


def exchange_torch(
    mine: RankInfo,
    store: Any = None,
    *,
    rank: int | None = None,
    world_size: int | None = None,
    key: str = "vantor",
) -> list[RankInfo]:
    """Publish this rank's record in the store and read every rank's, in rank order.

    ``rank`` and ``world_size`` default to torchrun's ``RANK`` and
    ``WORLD_SIZE``; ``store`` to :func:`torch_store`. Every rank must call
    it with the same ``key``; use a new key for each exchange of one job.
    Waits (up to the store's timeout) until every rank has published.
    """
    rank = _env_int("RANK", rank)
    world_size = _env_int("WORLD_SIZE", world_size)
    if not 0 <= rank < world_size:
        raise ValueError(f"rank {rank} is not in 0..{world_size - 1}")
    if store is None:
        store = torch_store()
    store.set(f"{key}/{rank}", mine.encode())
    return [
        mine if r == rank else RankInfo.decode(store.get(f"{key}/{r}")) for r in range(world_size)
    ]


# --- MPI -------------------------------------------------------------------------------


def exchange_mpi(mine: RankInfo, comm: Any = None) -> list[RankInfo]:
    """Every rank's record, in rank order, through an allgather on ``comm``
    (mpi4py; ``MPI.COMM_WORLD`` by default)."""
    if comm is None:
        from mpi4py import MPI  # type: ignore[import-not-found,unused-ignore]

        comm = MPI.COMM_WORLD
    return [RankInfo.decode(raw) for raw in comm.allgather(mine.encode())]
