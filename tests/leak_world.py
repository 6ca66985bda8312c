"""What the leak tests share: one of every object ready to use (World), the
shape of a case, and the parametrization of a table of cases."""

from __future__ import annotations

import os
import types
from collections.abc import Iterator
from contextlib import contextmanager

import pytest
from completion_helpers import OneOfEach

import vantor._vantor as v
from conftest import QKEY
from vantor.enums import SendFlags

WC_CHECKSUM = 0x4180B13


class World(OneOfEach):
    """One of everything, ready to use, on the simulator's default device."""

    def __init__(self, sim):
        super().__init__(sim, v.get_efa_device_list()[0].open(), 64, sgid=True, unsolicited=True)
        self.qp.prepare(QKEY)
        self.inline_qp = self.pd.create_qp(
            v.QPInitAttr(self.send_cq, self.send_cq, max_inline_data=32)
        )
        self.inline_qp.prepare(QKEY)
        self.peer = types.SimpleNamespace(ah=self.ah, qp_num=self.link.receiver.qp_num, qkey=QKEY)
        self.device = v.get_device_list()[0]
        self.other = self.device.open()
        self.wc_fail = v._unpickle_WC(v.WC, WC_CHECKSUM, (0, 0, 0, 0, None, 0, 12, 0, 0x1F, 0, 7))
        self.wr_id = 0
        self.wcs = [v.WC() for _ in range(4)]

    def drain(self):
        for cq in (self.send_cq, self.cq, self.cqx):
            while cq.poll(16):
                pass

    def send(self, link):
        """One SEND with its receive; both completions are polled."""
        self.wr_id += 1
        link.send(self.wr_id)
        return self.send_cq.poll(4), link.receiver.recv_cq.poll(4)

    def send_into(self, link, wcs=None):
        """``send`` with both completions polled into WC objects: the
        world's own, or ``wcs``."""
        self.wr_id += 1
        link.send(self.wr_id)
        wcs = self.wcs if wcs is None else wcs
        return self.send_cq.poll_into(wcs), link.receiver.recv_cq.poll_into(wcs)

    def send_wr(self, **fields):
        base = dict(
            wr_id=1, sg_list=[self.mr.sge(8)], send_flags=SendFlags.SIGNALED,
            ah=self.ah, remote_qpn=self.link.receiver.qp_num, remote_qkey=QKEY,
        )  # fmt: skip
        base.update(fields)
        return v.SendWR(**base)

    def close(self):
        os.close(self.memfd)


@contextmanager
def open_world(sim) -> Iterator[World]:
    """A World for one test; afterwards faults are cleared and queues emptied."""
    w = World(sim)
    yield w
    sim.clear_faults()
    w.drain()
    w.close()


# Each case: (id, build, ...). `build(w)` returns the operation (a callable
# without arguments) and the objects whose reference counts are watched.
def op(fn, *watch):
    return fn, watch


def cases(table):
    return pytest.mark.parametrize("case, build", table, ids=[c[0] for c in table])


def raises(fn, kinds):
    try:
        fn()
    except kinds:
        return
    raise AssertionError(f"{fn} did not raise {kinds}")
