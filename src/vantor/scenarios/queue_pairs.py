"""Queue pairs: creation limits, operations per type, the state machine."""

from __future__ import annotations

from typing import Any

import vantor._vantor as v
from vantor.enums import QPAttrMask as M, QPExSendOpsFlags as Ops
from vantor.scenarios.harness import QKEY, SRD, UD, Env, Obs, outcome
from vantor.scenarios.registry import scenario


@scenario("qp.creation_limits")
def creation_limits(env: Env) -> Obs:
    node = env.node()
    e = node.ctx.query_efa_device()

    def create(**attrs: Any) -> str:
        return outcome(
            lambda: node.pd.create_qp(v.QPInitAttr(node.send_cq, node.recv_cq, **attrs)).close()
        )

    return {
        "max_send_wr_at_limit": create(max_send_wr=e.max_sq_wr),
        "max_send_wr_over": create(max_send_wr=e.max_sq_wr + 1),
        "max_recv_wr_over": create(max_recv_wr=e.max_rq_wr + 1),
        "max_send_sge_over": create(max_send_sge=e.max_sq_sge + 1),
        "max_recv_sge_over": create(max_recv_sge=e.max_rq_sge + 1),
        "max_inline_at_limit": create(max_inline_data=e.inline_buf_size),
        "max_inline_over": create(max_inline_data=e.inline_buf_size + 1),
        "ud_with_rdma_write": create(qp_type=UD, send_ops_flags=int(Ops.SEND | Ops.RDMA_WRITE)),
        "srd_with_atomics": create(send_ops_flags=int(Ops.SEND | Ops.ATOMIC_FETCH_AND_ADD)),
    }


@scenario("qp.types_and_numbers")
def types_and_numbers(env: Env) -> Obs:
    node = env.node()
    srd = node.qp("srd", prepare=False)
    ud = node.qp("ud", qp_type=UD, prepare=False)
    other = node.qp("srd2", prepare=False)
    return {
        "srd_type": srd.qp_type,
        "ud_type": ud.qp_type,
        "srd_default_ops": srd.send_ops_flags,
        "ud_default_ops": ud.qp_type == UD and ud.send_ops_flags,
        "numbers_unique": len({srd.qp_num, ud.qp_num, other.qp_num}) == 3,
        "initial_state": srd.state,
    }


_ALL_STEPS: list[tuple[str, int, dict[str, int]]] = [
    ("reset_to_rtr", M.STATE, {"qp_state": 2}),
    ("reset_to_init_missing_qkey", M.STATE | M.PKEY_INDEX | M.PORT, {"qp_state": 1, "port_num": 1}),
    (
        "reset_to_init",
        M.STATE | M.PKEY_INDEX | M.PORT | M.QKEY,
        {"qp_state": 1, "port_num": 1, "qkey": QKEY},
    ),
    ("init_to_rts", M.STATE | M.SQ_PSN, {"qp_state": 3}),
    ("init_to_rtr", M.STATE, {"qp_state": 2}),
    ("rtr_to_rts_missing_psn", M.STATE, {"qp_state": 3}),
    (
        "rtr_to_rts_with_rnr_retry",
        M.STATE | M.SQ_PSN | M.RNR_RETRY,
        {"qp_state": 3, "rnr_retry": 7},
    ),
    ("rts_to_init", M.STATE, {"qp_state": 1}),
    ("rts_to_err", M.STATE, {"qp_state": 6}),
    ("err_to_rts", M.STATE, {"qp_state": 3}),
    ("err_to_reset", M.STATE, {"qp_state": 0}),
]


def _modify(qp: v.QP, mask: int, fields: dict[str, int]) -> str:
    return outcome(lambda: qp.modify(mask, **fields))


@scenario("qp.state_machine")
def state_machine(env: Env) -> Obs:
    node = env.node()
    obs: Obs = {}
    for kind, qp_type in (("srd", SRD), ("ud", UD)):
        qp = node.qp(kind, qp_type=qp_type, prepare=False)
        steps = {}
        for name, mask, fields in _ALL_STEPS:
            steps[name] = [_modify(qp, int(mask), fields), qp.state]
        obs[kind] = steps
    return obs


@scenario("qp.query")
def query(env: Env) -> Obs:
    node = env.node()
    qp = node.qp(
        "a",
        max_send_wr=10,
        max_recv_wr=20,
        max_send_sge=1,
        max_recv_sge=2,
        max_inline_data=16,
        rnr_retry=3,
    )
    attrs, cap = qp.query()
    sq, rq = qp.query_wqs()
    return {
        "wqs_max_batch": [sq.max_batch, rq.max_batch],
        "state": attrs["qp_state"],
        "qkey_matches": attrs["qkey"] == QKEY,
        "port_num": attrs["port_num"],
        "rnr_retry": attrs["rnr_retry"],
        "cap_at_least_requested": cap.max_send_wr >= 10
        and cap.max_recv_wr >= 20
        and cap.max_send_sge >= 1
        and cap.max_recv_sge >= 2
        and cap.max_inline_data >= 16,
    }
