"""Data really moves: two devices, SRD (and UD) queue pairs in one process,
every opcode, on classic and extended completion queues."""

from __future__ import annotations

import errno

import pytest
from qp_helpers import Node, poll_one

import vantor._vantor as v
from conftest import QKEY
from vantor.enums import QPType, SendFlags, WCFlags, WCOpcode, WCStatus, WROpcode

PATTERN = bytes(range(256)) * 40  # 10 KiB: more than one SEND may carry

pytestmark = pytest.mark.usefixtures("settled")


def open_on(device, cq_ex: bool, **cq_kwargs) -> Node:
    ctx = device.open()
    pd = ctx.alloc_pd()
    create = ctx.create_cq_ex if cq_ex else ctx.create_cq
    return Node(ctx, pd, create(64, **cq_kwargs), create(64, **cq_kwargs))


class Fabric:
    """Sender `a` on efa_0 and receiver `b` on efa_1, with registered buffers."""

    def __init__(self, sim, cq_ex=False, qp_type=None, a_qp=None, b_qp=None, **cq_kwargs):
        sim.set_devices(["efa_0", "efa_1"])
        first, second = v.get_efa_device_list()
        self.a = open_on(first, cq_ex, **cq_kwargs)
        self.b = open_on(second, cq_ex, **cq_kwargs)
        self.qa = self.a.qp(qp_type=qp_type, **(a_qp or {}))
        self.qb = self.b.qp(qp_type=qp_type, **(b_qp or {}))
        self.ah = self.a.pd.create_ah(self.b.gid())
        self.src, self.src_mr = self.a.reg(len(PATTERN), PATTERN)
        self.dst, self.dst_mr = self.b.reg(len(PATTERN))

    def send(self, wr_id, sg_list, opcode=WROpcode.SEND, **kwargs):
        kwargs.setdefault("send_flags", SendFlags.SIGNALED)
        self.qa.post_send(v.SendWR(wr_id, sg_list, opcode, ah=self.ah, remote_qpn=self.qb.qp_num,
                                   remote_qkey=QKEY, **kwargs))  # fmt: skip

    def expect_send_completion(self, wr_id, opcode=WCOpcode.SEND):
        wc = poll_one(self.a.send_cq)
        assert (wc.wr_id, wc.status, wc.opcode, wc.qp_num, wc.byte_len) == (
            wr_id, WCStatus.SUCCESS, opcode, self.qa.qp_num, 0,
        )  # fmt: skip
        return wc


@pytest.fixture(params=["CQ", "CQEx"])
def fabric(sim, request):
    if request.param == "CQ":
        return Fabric(sim)
    return Fabric(sim, cq_ex=True, sgid=True)


def test_send(fabric):
    f = fabric
    f.qb.post_recv(v.RecvWR(70, [f.dst_mr.sge(256)]))
    f.send(1, [f.src_mr.sge(100, 10)])
    f.expect_send_completion(1)
    wc = poll_one(f.b.recv_cq)
    assert (wc.wr_id, wc.status, wc.opcode, wc.byte_len) == (
        70,
        WCStatus.SUCCESS,
        WCOpcode.RECV,
        100,
    )
    assert (wc.qp_num, wc.src_qp, wc.wc_flags & WCFlags.WITH_IMM) == (f.qb.qp_num, f.qa.qp_num, 0)
    assert f.dst.read(0, 100) == PATTERN[10:110] and f.dst.read(100, 156) == bytes(156)
    # The receiver's PD knows no address handle for the sender: the extended
    # queue reports the sender's GID.
    assert wc.sgid == (bytes(f.a.gid()) if isinstance(f.b.recv_cq, v.CQEx) else None)


@pytest.mark.parametrize("imm", [1, 0xDEADBEEF, 2**32 - 1])
def test_send_with_immediate(fabric, imm):
    f = fabric
    f.qb.post_recv(v.RecvWR(71, [f.dst_mr.sge(64)]))
    f.send(2, [f.src_mr.sge(64)], WROpcode.SEND_WITH_IMM, imm_data=imm)
    f.expect_send_completion(2)
    wc = poll_one(f.b.recv_cq)
    assert (wc.wr_id, wc.opcode, wc.byte_len, wc.imm_data) == (71, WCOpcode.RECV, 64, imm)
    assert wc.wc_flags & WCFlags.WITH_IMM and wc.src_qp == f.qa.qp_num
    assert f.dst.read(0, 64) == PATTERN[:64]


def test_rdma_write(fabric):
    f = fabric
    f.send(3, [f.src_mr.sge(300, 1000)], WROpcode.RDMA_WRITE, remote_addr=f.dst.addr + 50,
           rkey=f.dst_mr.rkey)  # fmt: skip
    f.expect_send_completion(3, WCOpcode.RDMA_WRITE)
    assert f.dst.read(50, 300) == PATTERN[1000:1300]
    assert f.dst.read(0, 50) == bytes(50) and f.b.recv_cq.poll(4) == []


def test_rdma_write_with_immediate_consumes_a_receive(fabric):
    f = fabric
    f.qb.post_recv([v.RecvWR(80), v.RecvWR(81)])
    f.send(4, [f.src_mr.sge(64)], WROpcode.RDMA_WRITE_WITH_IMM, remote_addr=f.dst.addr,
           rkey=f.dst_mr.rkey, imm_data=0x0A0B0C0D)  # fmt: skip
    f.expect_send_completion(4, WCOpcode.RDMA_WRITE)
    wc = poll_one(f.b.recv_cq)
    assert (wc.wr_id, wc.opcode, wc.imm_data, wc.byte_len) == (80, WCOpcode.RECV_RDMA_WITH_IMM,
                                                               0x0A0B0C0D, 64)  # fmt: skip
    assert wc.src_qp == f.qa.qp_num and wc.wc_flags & WCFlags.WITH_IMM
    assert f.dst.read(0, 64) == PATTERN[:64]


def test_unsolicited_rdma_write_with_immediate(sim):
    f = Fabric(sim, cq_ex=True, unsolicited=True, b_qp={"unsolicited_write_recv": True})
    f.qb.post_recv(v.RecvWR(90, [f.dst_mr.sge(32, 4096)]))
    f.send(5, [f.src_mr.sge(16)], WROpcode.RDMA_WRITE_WITH_IMM, remote_addr=f.dst.addr,
           rkey=f.dst_mr.rkey, imm_data=5)  # fmt: skip
    f.expect_send_completion(5, WCOpcode.RDMA_WRITE)
    wc = poll_one(f.b.recv_cq)
    assert (wc.wr_id, wc.opcode, wc.imm_data, wc.unsolicited) == (
        0,
        WCOpcode.RECV_RDMA_WITH_IMM,
        5,
        True,
    )
    # The posted receive was not consumed: the next SEND lands in it.
    f.send(6, [f.src_mr.sge(32, 64)])
    f.expect_send_completion(6)
    wc = poll_one(f.b.recv_cq)
    assert (wc.wr_id, wc.unsolicited) == (90, False)
    assert f.dst.read(4096, 32) == PATTERN[64:96]


def test_rdma_read(fabric):
    f = fabric
    f.dst.write(b"remote bytes!")
    landing, landing_mr = f.a.reg(64)
    f.send(
        7, [landing_mr.sge(13, 3)], WROpcode.RDMA_READ, remote_addr=f.dst.addr, rkey=f.dst_mr.rkey
    )
    # The provider reports reads as IBV_WC_SEND.
    f.expect_send_completion(7, WCOpcode.SEND)
    assert landing.read(3, 13) == b"remote bytes!" and landing.read(0, 3) == bytes(3)


def test_known_sender_has_no_sgid(sim):
    f = Fabric(sim, cq_ex=True, sgid=True)
    known = f.b.pd.create_ah(f.a.gid())
    f.qb.post_recv(v.RecvWR(1, [f.dst_mr.sge(8)]))
    f.send(1, [f.src_mr.sge(8)])
    assert poll_one(f.b.recv_cq).sgid is None
    known.close()


def test_inline_send_copies_at_posting(sim):
    f = Fabric(sim, a_qp={"max_inline_data": 32})
    f.qb.post_recv(v.RecvWR(1, [f.dst_mr.sge(64)]))
    scratch = f.a.reg(32, b"inline payload, then reused")[0]
    # Inline data needs no registration: a raw address with lkey 0 will do.
    f.send(
        8,
        [v.SGE(scratch.addr, 14), v.SGE(scratch.addr + 14, 13)],
        send_flags=SendFlags.SIGNALED | SendFlags.INLINE,
    )
    scratch.write(b"X" * 32)
    f.expect_send_completion(8)
    wc = poll_one(f.b.recv_cq)
    assert wc.byte_len == 27 and f.dst.read(0, 27) == b"inline payload, then reused"


def test_batch_completes_in_order(fabric):
    f = fabric
    f.qb.post_recv([v.RecvWR(100 + i, [f.dst_mr.sge(16, 16 * i)]) for i in range(2)])
    f.qa.post_send([
        v.SendWR(1, [f.src_mr.sge(16)], WROpcode.SEND, SendFlags.SIGNALED, dest=Peer(f)),
        v.SendWR(2, [f.src_mr.sge(16, 16)], WROpcode.RDMA_WRITE, SendFlags.SIGNALED, f.dst.addr + 512,
                 f.dst_mr.rkey, dest=Peer(f)),
        v.SendWR(3, [f.src_mr.sge(16, 32)], WROpcode.SEND_WITH_IMM, SendFlags.SIGNALED, imm_data=9, dest=Peer(f)),
    ])  # fmt: skip
    assert [poll_one(f.a.send_cq).wr_id for _ in range(3)] == [1, 2, 3]
    received = [poll_one(f.b.recv_cq) for _ in range(2)]
    assert [(wc.wr_id, wc.imm_data) for wc in received] == [(100, 0), (101, 9)]
    assert f.dst.read(0, 32) == PATTERN[0:16] + PATTERN[32:48]
    assert f.dst.read(512, 16) == PATTERN[16:32]


class Peer:
    """A destination object, as vantor.helpers.Peer is one."""

    def __init__(self, f):
        self.ah, self.qp_num, self.qkey = f.ah, f.qb.qp_num, QKEY


def test_aborted_batch_moves_nothing(fabric):
    f = fabric
    f.qb.post_recv(v.RecvWR(1, [f.dst_mr.sge(64)]))
    with pytest.raises(ValueError, match="connectionless"):
        f.qa.post_send([
            v.SendWR(1, [f.src_mr.sge(8)], send_flags=SendFlags.SIGNALED, dest=Peer(f)),
            v.SendWR(2, [f.src_mr.sge(8)], WROpcode.RDMA_WRITE, SendFlags.SIGNALED, f.dst.addr, f.dst_mr.rkey,
                     dest=Peer(f)),
            v.SendWR(3, [f.src_mr.sge(8)], send_flags=SendFlags.SIGNALED),
        ])  # fmt: skip
    assert f.a.send_cq.poll(8) == [] and f.b.recv_cq.poll(8) == []
    assert f.dst.read() == bytes(len(PATTERN))


def test_oversized_send_fails_as_a_completion(fabric):
    f = fabric
    f.qb.post_recv(v.RecvWR(1, [f.dst_mr.sge()]))
    assert len(PATTERN) > 8928  # the port's max_msg_sz
    f.send(9, [f.src_mr.sge()])
    wc = poll_one(f.a.send_cq)
    assert (wc.wr_id, wc.status, wc.is_success) == (9, WCStatus.LOC_LEN_ERR, False)
    with pytest.raises(v.CompletionError) as info:
        wc.raise_for_status()
    assert isinstance(info.value, v.EfaError)
    assert (info.value.operation, info.value.errno) == ("work completion", errno.EIO)
    assert f.b.recv_cq.poll(4) == [] and f.dst.read() == bytes(len(PATTERN))


def test_write_with_wrong_rkey_fails_remotely(fabric):
    f = fabric
    f.send(
        10, [f.src_mr.sge(8)], WROpcode.RDMA_WRITE, remote_addr=f.dst.addr, rkey=f.dst_mr.rkey ^ 1
    )
    wc = poll_one(f.a.send_cq)
    assert (wc.wr_id, wc.status) == (10, WCStatus.REM_ACCESS_ERR)
    assert f.dst.read(0, 8) == bytes(8)


def test_error_state_flushes_posted_receives(fabric):
    f = fabric
    f.qb.post_recv([v.RecvWR(1, [f.dst_mr.sge(8)]), v.RecvWR(2)])
    f.qb.modify(1, qp_state=6)
    assert [(wc.wr_id, wc.status) for wc in f.b.recv_cq.poll(4)] == [
        (1, WCStatus.WR_FLUSH_ERR),
        (2, WCStatus.WR_FLUSH_ERR),
    ]


UD_PREFIX = 40  # the device's bytes at the start of every QPType.UD receive buffer


@pytest.mark.parametrize(
    ("buffers", "payload_at"),
    [
        ([(0, 168)], [(40, 128)]),  # exact fit: prefix + payload
        ([(0, 4000)], [(40, 128)]),
        ([(0, 30), (1000, 200)], [(1010, 128)]),  # the prefix spans two entries
        ([(0, 40), (1000, 128)], [(1000, 128)]),
        ([(0, 100), (1000, 100)], [(40, 60), (1000, 68)]),
    ],
)
def test_ud_payload_follows_the_prefix(sim, buffers, payload_at):
    f = Fabric(sim, qp_type=QPType.UD, b_qp={"max_recv_sge": 2})
    f.qb.post_recv(v.RecvWR(5, [f.dst_mr.sge(n, off) for off, n in buffers]))
    f.send(11, [f.src_mr.sge(128, 128)], WROpcode.SEND_WITH_IMM, imm_data=77)
    f.expect_send_completion(11)
    wc = poll_one(f.b.recv_cq)
    assert (wc.wr_id, wc.status, wc.byte_len, wc.src_qp, wc.imm_data) == (
        5, WCStatus.SUCCESS, UD_PREFIX + 128, f.qa.qp_num, 77,
    )  # fmt: skip
    expected = bytearray(len(PATTERN))
    at = 128
    for off, n in payload_at:
        expected[off : off + n] = PATTERN[at : at + n]
        at += n
    assert f.dst.read() == bytes(expected)  # nothing written into the prefix


@pytest.mark.parametrize("room", [127, 128, 128 + UD_PREFIX - 1])
def test_ud_buffer_without_room_for_prefix_and_payload(sim, room):
    f = Fabric(sim, qp_type=QPType.UD)
    f.qb.post_recv(v.RecvWR(5, [f.dst_mr.sge(room)]))
    f.send(11, [f.src_mr.sge(128)])
    f.expect_send_completion(11)  # a datagram's sender hears nothing of it
    wc = poll_one(f.b.recv_cq)
    assert (wc.wr_id, wc.status, wc.vendor_err) == (5, WCStatus.LOC_LEN_ERR, 6)
    assert f.dst.read() == bytes(len(PATTERN))


def test_srd_receive_has_no_prefix(sim):
    f = Fabric(sim)
    f.qb.post_recv(v.RecvWR(5, [f.dst_mr.sge(128)]))
    f.send(11, [f.src_mr.sge(128)])
    f.expect_send_completion(11)
    wc = poll_one(f.b.recv_cq)
    assert (wc.status, wc.byte_len) == (WCStatus.SUCCESS, 128)
    assert f.dst.read(0, 128) == PATTERN[:128]


@pytest.mark.parametrize("cq_ex", [False, True], ids=["CQ", "CQEx"])
def test_send_slot_returns_when_its_completion_is_polled(sim, cq_ex):
    f = Fabric(sim, cq_ex=cq_ex, a_qp={"max_send_wr": 3})
    write = v.SendWR(1, [f.src_mr.sge(8)], WROpcode.RDMA_WRITE, SendFlags.SIGNALED, remote_addr=f.dst.addr,
                     rkey=f.dst_mr.rkey, ah=f.ah, remote_qpn=f.qb.qp_num, remote_qkey=QKEY)  # fmt: skip
    f.qa.post_send([write] * 3)
    assert f.dst.read(0, 8) == PATTERN[:8]  # the transfers are done ...
    with sim.recording() as log, pytest.raises(v.EfaError) as err:
        f.qa.post_send(write)  # ... but their slots are not back
    assert err.value.errno == errno.ENOMEM
    assert [(c["fn"], c["ret"]) for c in log.calls("wr_complete")] == [
        ("wr_complete", errno.ENOMEM)
    ]
    assert len(f.a.send_cq.poll(1)) == 1
    f.qa.post_send(write)
    with pytest.raises(v.EfaError):
        f.qa.post_send(write)
    assert len(f.a.send_cq.poll(8)) == 3
    f.qa.post_send([write] * 3)
