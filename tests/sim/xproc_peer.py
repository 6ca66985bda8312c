"""One process of a multi-process test on the software EFA device.

Run as a script (``python xproc_peer.py``) with ``VANTOR_SIM_HOST`` naming
the test's host. It opens ``efa_0``, makes an SRD and a UD queue pair and a
registered buffer, prints its address as one JSON line, then obeys JSON
commands on stdin, answering each with one JSON line on stdout. The test
that drives several of them is the out-of-band channel between them.

Commands (``{"op": ...}``): ``peers`` (address handles for the others),
``recv``, ``send``, ``stream`` (many requests kept in flight), ``poll``,
``write``, ``read``, ``fill`` and ``digest`` (large regions), ``arm`` and
``wait`` (completion channel), ``idle``
(stay away from the device for a while), ``dereg`` (the buffer's
registration ends), ``state``, ``modify``, ``connections`` and ``exit``.
``send`` takes ``sges`` (``[length, offset]`` pairs) for several entries,
and ``then`` (``"stop"``: the process stops itself with SIGSTOP once the
request is posted; ``"dereg"``: the registration ends at once). Options (a JSON object as the one argument):
``size``, ``rnr_retry``, ``unsolicited``, ``channel`` and ``cpu`` (run on
that CPU alone).
"""

from __future__ import annotations

import hashlib
import json
import os
import select
import signal
import sys
import time

# Pinned to one CPU (option "cpu") before any thread of the device starts:
# every thread of the process then shares it.
_OPTS = json.loads(sys.argv[1]) if len(sys.argv) > 1 else {}
if "cpu" in _OPTS:
    os.sched_setaffinity(0, {_OPTS["cpu"]})

# The parent test puts the vantor under test on PYTHONPATH.
import vantor.sim as sim  # noqa: E402

sim.activate()
import vantor._vantor as v  # noqa: E402

QKEY = 0x1234567
UD_QPT = 4
ACCESS_ALL = 1 | 2 | 4  # LOCAL_WRITE | REMOTE_WRITE | REMOTE_READ
OPCODES = {"write": 0, "write_imm": 1, "send": 2, "send_imm": 3, "read": 4}
SIGNALED, INLINE = 2, 8


def wc_dict(wc) -> dict:
    out = {
        "wr_id": wc.wr_id,
        "status": wc.status,
        "opcode": wc.opcode,
        "vendor_err": wc.vendor_err,
        "byte_len": wc.byte_len,
        "qp_num": wc.qp_num,
        "src_qp": wc.src_qp,
        "wc_flags": wc.wc_flags,
        "imm_data": wc.imm_data,
    }
    sgid = getattr(wc, "sgid", None)
    out["sgid"] = bytes(sgid).hex() if sgid is not None else None
    return out


class Peer:
    def __init__(self, size: int, rnr_retry: int, unsolicited: bool, channel: bool):
        self.ctx = v.get_efa_device_list()[0].open()
        self.pd = self.ctx.alloc_pd()
        self.channel = self.ctx.create_comp_channel() if channel else None
        self.send_cq = self.ctx.create_cq_ex(256, sgid=True, unsolicited=unsolicited)
        self.recv_cq = self.ctx.create_cq_ex(
            256, channel=self.channel, sgid=True, unsolicited=unsolicited
        )
        attr = v.QPInitAttr(
            self.send_cq, self.recv_cq, max_inline_data=32, max_send_sge=2, max_recv_sge=2,
            unsolicited_write_recv=unsolicited,
        )  # fmt: skip
        self.qp = self.pd.create_qp(attr).prepare(QKEY, rnr_retry=rnr_retry)
        self.ud = self.pd.create_qp(v.QPInitAttr(self.send_cq, self.recv_cq, qp_type=UD_QPT))
        self.ud.prepare(QKEY)
        self.buf = bytearray(size)
        self.view = memoryview(self.buf)
        import ctypes

        self.addr = ctypes.addressof((ctypes.c_char * size).from_buffer(self.buf))
        self.mr = self.pd.reg_mr(self.addr, size, ACCESS_ALL)
        self.ahs: list = []
        self.peers: list[dict] = []

    def address(self) -> dict:
        return {
            "pid": os.getpid(),
            "gid": bytes(self.ctx.query_gid()).hex(),
            "guid": self.ctx.query_device().node_guid,
            "device": self.ctx.name,
            "qpn": self.qp.qp_num,
            "ud_qpn": self.ud.qp_num,
            "rkey": self.mr.rkey,
            "addr": self.addr,
            "slot": sim.process_slot(),
        }

    def qp_of(self, cmd: dict):
        return self.ud if cmd.get("qp") == "ud" else self.qp

    def run(self, cmd: dict) -> object:
        op = cmd["op"]
        if op == "peers":
            self.peers = cmd["peers"]
            self.ahs = [self.pd.create_ah(bytes.fromhex(p["gid"])) for p in self.peers]
            return [ah.ahn for ah in self.ahs]
        if op == "recv":
            sge = self.mr.sge(cmd["length"], cmd.get("offset", 0))
            self.qp_of(cmd).post_recv(v.RecvWR(cmd["wr_id"], [sge]))
            return None
        if op == "send":
            return self.send(cmd)
        if op == "poll":
            return self.poll(cmd)
        if op == "stream":
            return self.stream(cmd)
        if op == "write":
            data = bytes.fromhex(cmd["hex"])
            self.view[cmd["offset"] : cmd["offset"] + len(data)] = data
            return None
        if op == "read":
            return bytes(self.view[cmd["offset"] : cmd["offset"] + cmd["length"]]).hex()
        if op == "fill":
            block = hashlib.sha256(cmd["seed"].encode()).digest() * 1024
            end = cmd["offset"] + cmd["length"]
            for at in range(cmd["offset"], end, len(block)):
                n = min(len(block), end - at)
                self.view[at : at + n] = block[:n]
            return None
        if op == "digest":
            region = self.view[cmd["offset"] : cmd["offset"] + cmd["length"]]
            return hashlib.sha256(region).hexdigest()
        if op == "arm":
            self.recv_cq.req_notify()
            return None
        if op == "wait":
            # Blocks in select() on the channel's descriptor, as an event loop would.
            ready, _, _ = select.select([self.channel.fd], [], [], cmd.get("timeout", 10))
            if not ready:
                return {"woke": False}
            cq = self.channel.get_cq_event()
            cq.ack_events(1)
            return {"woke": True, "same_cq": cq is self.recv_cq}
        if op == "idle":
            time.sleep(cmd["seconds"])
            return None
        if op == "dereg":
            self.mr.close()
            return None
        if op == "state":
            return self.qp.state
        if op == "connections":
            return sim.connections()
        if op == "modify":
            self.qp.modify(1, qp_state=cmd["state"])  # IBV_QP_STATE
            return None
        raise ValueError(f"unknown op {op!r}")

    def send(self, cmd: dict) -> None:
        peer = self.peers[cmd["peer"]]
        ah = self.ahs[cmd["peer"]]
        opcode = OPCODES[cmd.get("opcode", "send")]
        flags = SIGNALED | (INLINE if cmd.get("inline") else 0)
        length, offset = cmd.get("length", 0), cmd.get("offset", 0)
        sg = [self.mr.sge(length, offset)] if length or cmd.get("empty_sge") else []
        if "sges" in cmd:
            sg = [self.mr.sge(n, at) for n, at in cmd["sges"]]
        ud = cmd.get("qp") == "ud"
        wr = v.SendWR(
            cmd["wr_id"], sg, opcode, send_flags=flags,
            remote_addr=peer["addr"] + cmd.get("remote_offset", 0),
            rkey=cmd.get("rkey", peer["rkey"]), imm_data=cmd.get("imm", 0), ah=ah,
            remote_qpn=cmd.get("remote_qpn", peer["ud_qpn"] if ud else peer["qpn"]),
            remote_qkey=cmd.get("qkey", QKEY),
        )  # fmt: skip
        self.qp_of(cmd).post_send(wr)
        if cmd.get("then") == "stop":
            os.kill(os.getpid(), signal.SIGSTOP)
        elif cmd.get("then") == "dereg":
            self.mr.close()

    def stream(self, cmd: dict) -> dict:
        """Keeps "depth" requests in flight until "total" completed, as a
        bandwidth test does; request k uses both offsets + (k % depth) * length.
        Answers how many completed with each status."""
        depth, total, length = cmd["depth"], cmd["total"], cmd["length"]
        sent = [
            {**cmd, "wr_id": k, "offset": cmd.get("offset", 0) + k * length,
             "remote_offset": cmd.get("remote_offset", 0) + k * length}
            for k in range(depth)
        ]  # fmt: skip
        posted = done = 0
        statuses: dict[str, int] = {}
        deadline = time.monotonic() + cmd.get("timeout", 10)
        while done < total:
            while posted < total and posted - done < depth:
                self.send(sent[posted % depth])
                posted += 1
            batch = self.send_cq.poll(depth)
            for wc in batch:
                statuses[str(wc.status)] = statuses.get(str(wc.status), 0) + 1
            done += len(batch)
            if batch:
                deadline = time.monotonic() + cmd.get("timeout", 10)
            elif time.monotonic() > deadline:
                break
        return statuses

    def poll(self, cmd: dict) -> list[dict]:
        cq = self.send_cq if cmd["cq"] == "send" else self.recv_cq
        want, got = cmd["count"], []
        deadline = time.monotonic() + cmd.get("timeout", 10)
        while len(got) < want and time.monotonic() < deadline:
            batch = cq.poll(want - len(got))
            if batch:
                got += [wc_dict(wc) for wc in batch]
            else:
                time.sleep(0)
        # Whatever else is there shows up too: a test can check nothing extra came.
        if cmd.get("drain"):
            time.sleep(cmd["drain"])
            got += [wc_dict(wc) for wc in cq.poll(64)]
        return got


def main() -> None:
    opts = _OPTS
    peer = Peer(
        opts.get("size", 1 << 16), opts.get("rnr_retry", 7), opts.get("unsolicited", False),
        opts.get("channel", False),
    )  # fmt: skip
    out = sys.stdout
    out.write(json.dumps({"ready": peer.address()}) + "\n")
    out.flush()
    for line in sys.stdin:
        cmd = json.loads(line)
        if cmd["op"] == "exit":
            break
        try:
            reply = {"ok": peer.run(cmd)}
        except Exception as exc:  # reported to the test, which decides
            reply = {"error": f"{type(exc).__name__}: {exc}"}
        out.write(json.dumps(reply) + "\n")
        out.flush()


if __name__ == "__main__":
    main()
