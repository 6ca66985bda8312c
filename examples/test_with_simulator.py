"""Testing your own EFA code on the software EFA device, with pytest.

    python -m pytest examples/test_with_simulator.py

In a real project the two activation lines go at the top of `conftest.py`,
so they run before any test module imports `vantor`; this file keeps
everything in one place. The simulator behaves like an EFA NIC (SRD, RDMA,
completions, limits) and lets a test inject failures into any native call
and read the exact arguments that reached the library.
"""

from __future__ import annotations

import errno
from collections.abc import Iterator
from typing import Any

import vantor.sim as sim

if not sim.is_active():
    sim.activate()  # before anything imports vantor._vantor

import pytest

import vantor
from vantor.enums import SendFlags
from vantor.helpers import PeerAddress, reg_buffer

QKEY = 0x1EFA


# --- the application code under test ------------------------------------------------


class Mailbox:
    """Receives fixed-size messages on one SRD queue pair."""

    def __init__(self, pd: Any, cq: Any, slots: int = 4, size: int = 256) -> None:
        self.qp = pd.create_qp(vantor.QPInitAttr(cq, cq)).prepare(QKEY)
        self.memory = bytearray(slots * size)
        self.mr = reg_buffer(pd, self.memory)
        self.size = size
        for slot in range(slots):
            self.qp.post_recv(vantor.RecvWR(slot, [self.mr.sge(size, slot * size)]))

    @property
    def address(self) -> bytes:
        return PeerAddress.of(self.qp).encode()

    def take(self, wc: Any) -> bytes:
        start = wc.wr_id * self.size
        return bytes(self.memory[start : start + wc.byte_len])

    def close(self) -> None:
        self.qp.close()
        self.mr.close()


def send_message(
    qp: Any, pd: Any, address: bytes, payload: bytes, wr_id: int = 0
) -> tuple[Any, Any]:
    """Sends `payload` to the mailbox at `address`; returns the memory region
    and the peer, which must live until the send has completed."""
    mr = reg_buffer(pd, payload, access=0)
    peer = PeerAddress.decode(address).connect(pd)
    qp.post_send(vantor.SendWR(wr_id, [mr.sge()], send_flags=SendFlags.SIGNALED, dest=peer))
    return mr, peer


# --- fixtures -------------------------------------------------------------------------


@pytest.fixture
def device() -> Iterator[Any]:
    sim.reset()  # default device set, no faults, empty log
    ctx = vantor.get_efa_device_list()[0].open()
    pd = ctx.alloc_pd()
    cq = ctx.create_cq(64)
    yield ctx, pd, cq
    cq.close()
    pd.close()
    ctx.close()
    sim.reset()


@pytest.fixture
def pair(device: Any) -> Iterator[Any]:
    _ctx, pd, cq = device
    box = Mailbox(pd, cq)
    sender = pd.create_qp(vantor.QPInitAttr(cq, cq)).prepare(QKEY)
    keep: list[Any] = []
    yield pd, cq, box, sender, keep
    sender.close()
    box.close()
    for mr, peer in keep:
        peer.close()
        mr.close()


def poll(cq: Any, n: int) -> list[Any]:
    wcs: list[Any] = cq.poll(n)
    assert len(wcs) == n
    return wcs


# --- tests -----------------------------------------------------------------------------


def test_message_arrives(pair: Any) -> None:
    pd, cq, box, sender, keep = pair
    keep.append(send_message(sender, pd, box.address, b"ping"))
    received = [wc for wc in poll(cq, 2) if wc.qp_num == box.qp.qp_num]
    assert [box.take(wc) for wc in received] == [b"ping"]


def test_the_destination_reaches_the_library(pair: Any) -> None:
    pd, cq, box, sender, keep = pair
    with sim.recording() as log:
        keep.append(send_message(sender, pd, box.address, b"ping"))
    (dest,) = log.calls("wr_set_ud_addr")
    assert dest["remote_qpn"] == box.qp.qp_num
    assert dest["remote_qkey"] == hex(QKEY)
    poll(cq, 2)


def test_registration_failure_surfaces(pair: Any) -> None:
    pd, _cq, box, sender, _keep = pair
    sim.fail("ibv_reg_mr_iova2", errno.ENOMEM)
    with pytest.raises(vantor.EfaError) as info:
        send_message(sender, pd, box.address, b"ping")
    assert info.value.errno == errno.ENOMEM


def test_srd_may_reorder(pair: Any) -> None:
    # SRD is reliable but unordered: code must not assume send order.
    pd, cq, box, sender, keep = pair
    with sim.holding(reverse=True):
        keep.append(send_message(sender, pd, box.address, b"first", wr_id=1))
        keep.append(send_message(sender, pd, box.address, b"second", wr_id=2))
    received = [box.take(wc) for wc in poll(cq, 4) if wc.qp_num == box.qp.qp_num]
    assert received == [b"second", b"first"]
