"""Named constants of libibverbs and libefa.

Every value equals the one in ``infiniband/verbs.h`` (or libefa's header), and
every member is an ``int``, so these are accepted wherever vantor takes a
plain integer: ``qp.post_send([SendWR(opcode=WROpcode.SEND, ...)])``.
"""

from __future__ import annotations

from enum import IntEnum, IntFlag

__all__ = [
    "AccessFlags", "AsyncEventType", "CreateCQWCFlags", "EfaDeviceCaps", "EfaQPFlags",
    "EfaWCFlags", "MTU", "PortState", "QPAttrMask", "QPExSendOpsFlags", "QPState", "QPType",
    "SendFlags", "WCFlags", "WCOpcode", "WCStatus", "WROpcode",
]  # fmt: skip


class QPType(IntEnum):
    """Queue-pair transport types EFA offers."""

    UD = 4
    #: Scalable Reliable Datagram: libibverbs' driver type with libefa's SRD.
    SRD = 0xFF
    DRIVER = 0xFF


class QPState(IntEnum):
    """``ibv_qp_state``."""

    RESET = 0
    INIT = 1
    RTR = 2
    RTS = 3
    SQD = 4
    SQE = 5
    ERR = 6
    UNKNOWN = 7


class WROpcode(IntEnum):
    """``ibv_wr_opcode``: what a ``SendWR`` asks for."""

    RDMA_WRITE = 0
    RDMA_WRITE_WITH_IMM = 1
    SEND = 2
    SEND_WITH_IMM = 3
    RDMA_READ = 4
    ATOMIC_CMP_AND_SWP = 5
    ATOMIC_FETCH_AND_ADD = 6
    LOCAL_INV = 7
    BIND_MW = 8
    SEND_WITH_INV = 9
    TSO = 10
    DRIVER1 = 11
    ATOMIC_WRITE = 15


class SendFlags(IntFlag):
    """``ibv_send_flags``. EFA accepts ``SIGNALED`` and ``INLINE``."""

    FENCE = 1 << 0
    SIGNALED = 1 << 1
    SOLICITED = 1 << 2
    INLINE = 1 << 3
    IP_CSUM = 1 << 4


class QPAttrMask(IntFlag):
    """``ibv_qp_attr_mask``: which ``ibv_qp_attr`` fields a modify sets."""

    STATE = 1 << 0
    CUR_STATE = 1 << 1
    EN_SQD_ASYNC_NOTIFY = 1 << 2
    ACCESS_FLAGS = 1 << 3
    PKEY_INDEX = 1 << 4
    PORT = 1 << 5
    QKEY = 1 << 6
    AV = 1 << 7
    PATH_MTU = 1 << 8
    TIMEOUT = 1 << 9
    RETRY_CNT = 1 << 10
    RNR_RETRY = 1 << 11
    RQ_PSN = 1 << 12
    MAX_QP_RD_ATOMIC = 1 << 13
    ALT_PATH = 1 << 14
    MIN_RNR_TIMER = 1 << 15
    SQ_PSN = 1 << 16
    MAX_DEST_RD_ATOMIC = 1 << 17
    PATH_MIG_STATE = 1 << 18
    CAP = 1 << 19
    DEST_QPN = 1 << 20
    RATE_LIMIT = 1 << 25


class QPExSendOpsFlags(IntFlag):
    """``ibv_qp_create_send_ops_flags``: the operations a queue pair may post."""

    RDMA_WRITE = 1 << 0
    RDMA_WRITE_WITH_IMM = 1 << 1
    SEND = 1 << 2
    SEND_WITH_IMM = 1 << 3
    RDMA_READ = 1 << 4
    ATOMIC_CMP_AND_SWP = 1 << 5
    ATOMIC_FETCH_AND_ADD = 1 << 6
    LOCAL_INV = 1 << 7
    BIND_MW = 1 << 8
    SEND_WITH_INV = 1 << 9
    TSO = 1 << 10
    ATOMIC_WRITE = 1 << 12


class CreateCQWCFlags(IntFlag):
    """``ibv_create_cq_wc_flags``: the fields an extended CQ reports."""

    BYTE_LEN = 1 << 0
    IMM = 1 << 1
    QP_NUM = 1 << 2
    SRC_QP = 1 << 3
    SLID = 1 << 4
    SL = 1 << 5
    DLID_PATH_BITS = 1 << 6
    COMPLETION_TIMESTAMP = 1 << 7
    CVLAN = 1 << 8
    FLOW_TAG = 1 << 9
    TM_INFO = 1 << 10
    COMPLETION_TIMESTAMP_WALLCLOCK = 1 << 11
    #: The set every extended CQ gets by default.
    STANDARD = 0x7F


class EfaDeviceCaps(IntFlag):
    """``EfaDeviceAttr.device_caps`` bits."""

    RDMA_READ = 1 << 0
    RNR_RETRY = 1 << 1
    CQ_WITH_SGID = 1 << 2
    RDMA_WRITE = 1 << 3
    UNSOLICITED_WRITE_RECV = 1 << 4
    CQ_WITH_EXT_MEM_DMABUF = 1 << 5
    COMP_CNTR = 1 << 6


class EfaWCFlags(IntFlag):
    """libefa's extra completion fields for ``efadv_create_cq``."""

    WITH_SGID = 1 << 0
    WITH_IS_UNSOLICITED = 1 << 1


class EfaQPFlags(IntFlag):
    """libefa's queue-pair creation flags."""

    UNSOLICITED_WRITE_RECV = 1 << 0


class WCStatus(IntEnum):
    """``ibv_wc_status``: ``WC.status``."""

    SUCCESS = 0
    LOC_LEN_ERR = 1
    LOC_QP_OP_ERR = 2
    LOC_EEC_OP_ERR = 3
    LOC_PROT_ERR = 4
    WR_FLUSH_ERR = 5
    MW_BIND_ERR = 6
    BAD_RESP_ERR = 7
    LOC_ACCESS_ERR = 8
    REM_INV_REQ_ERR = 9
    REM_ACCESS_ERR = 10
    REM_OP_ERR = 11
    RETRY_EXC_ERR = 12
    RNR_RETRY_EXC_ERR = 13
    LOC_RDD_VIOL_ERR = 14
    REM_INV_RD_REQ_ERR = 15
    REM_ABORT_ERR = 16
    INV_EECN_ERR = 17
    INV_EEC_STATE_ERR = 18
    FATAL_ERR = 19
    RESP_TIMEOUT_ERR = 20
    GENERAL_ERR = 21
    TM_ERR = 22
    TM_RNDV_INCOMPLETE = 23


class WCOpcode(IntEnum):
    """``ibv_wc_opcode``: ``WC.opcode``.

    EFA reports RDMA_WRITE for writes but SEND for every other send-side
    completion, RDMA reads included.
    """

    SEND = 0
    RDMA_WRITE = 1
    RDMA_READ = 2
    COMP_SWAP = 3
    FETCH_ADD = 4
    BIND_MW = 5
    LOCAL_INV = 6
    TSO = 7
    ATOMIC_WRITE = 9
    RECV = 128
    RECV_RDMA_WITH_IMM = 129
    TM_ADD = 130
    TM_DEL = 131
    TM_SYNC = 132
    TM_RECV = 133
    TM_NO_TAG = 134
    DRIVER1 = 135
    DRIVER2 = 136
    DRIVER3 = 137


class WCFlags(IntFlag):
    """``ibv_wc_flags``: ``WC.wc_flags``."""

    GRH = 1 << 0
    WITH_IMM = 1 << 1
    IP_CSUM_OK = 1 << 2
    WITH_INV = 1 << 3
    TM_SYNC_REQ = 1 << 4
    TM_MATCH = 1 << 5
    TM_DATA_VALID = 1 << 6


class AccessFlags(IntFlag):
    """``ibv_access_flags`` for memory registration."""

    LOCAL_WRITE = 1 << 0
    REMOTE_WRITE = 1 << 1
    REMOTE_READ = 1 << 2
    REMOTE_ATOMIC = 1 << 3
    MW_BIND = 1 << 4
    ZERO_BASED = 1 << 5
    ON_DEMAND = 1 << 6
    HUGETLB = 1 << 7
    RELAXED_ORDERING = 1 << 20


class PortState(IntEnum):
    """``ibv_port_state``: ``PortAttr.state``."""

    NOP = 0
    DOWN = 1
    INIT = 2
    ARMED = 3
    ACTIVE = 4
    ACTIVE_DEFER = 5


class MTU(IntEnum):
    """``ibv_mtu``: ``PortAttr.max_mtu`` and ``active_mtu``."""

    MTU_256 = 1
    MTU_512 = 2
    MTU_1024 = 3
    MTU_2048 = 4
    MTU_4096 = 5

    @property
    def bytes(self) -> int:
        return 128 << self.value


class AsyncEventType(IntEnum):
    """``ibv_event_type``: ``AsyncEvent.event_type``."""

    CQ_ERR = 0
    QP_FATAL = 1
    QP_REQ_ERR = 2
    QP_ACCESS_ERR = 3
    COMM_EST = 4
    SQ_DRAINED = 5
    PATH_MIG = 6
    PATH_MIG_ERR = 7
    DEVICE_FATAL = 8
    PORT_ACTIVE = 9
    PORT_ERR = 10
    LID_CHANGE = 11
    PKEY_CHANGE = 12
    SM_CHANGE = 13
    SRQ_ERR = 14
    SRQ_LIMIT_REACHED = 15
    QP_LAST_WQE_REACHED = 16
    CLIENT_REREGISTER = 17
    GID_CHANGE = 18
    WQ_FATAL = 19
