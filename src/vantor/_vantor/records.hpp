// Value records filled from the device queries: the layouts, so that the
// context's queries (and later the pickling helpers) can fill them directly.
#pragma once

#include <Python.h>
#include <infiniband/verbs.h>

#include <cstdint>

namespace vantor {

struct GidObject {
    PyObject_HEAD PyObject *raw;  // bytes in network order; None (null) on a bare instance
};

struct DeviceObject {
    PyObject_HEAD PyObject *name;  // str or None
    uint64_t guid;                 // as ibv_get_device_guid returns it (network order)
};

struct DeviceAttrObject {
    PyObject_HEAD PyObject *fw_ver;
    uint64_t node_guid;
    uint64_t sys_image_guid;
    uint64_t max_mr_size;
    uint32_t vendor_id;
    uint32_t vendor_part_id;
    uint32_t hw_ver;
    int32_t max_qp;
    int32_t max_qp_wr;
    int32_t max_sge;
    int32_t max_cq;
    int32_t max_cqe;
    int32_t max_mr;
    int32_t max_pd;
    int32_t max_ah;
    int32_t max_pkeys;
    int32_t phys_port_cnt;
};

struct EfaDeviceAttrObject {
    PyObject_HEAD uint32_t max_sq_wr;
    uint32_t max_rq_wr;
    int32_t max_sq_sge;
    int32_t max_rq_sge;
    int32_t inline_buf_size;
    uint32_t device_caps;
    uint32_t max_rdma_size;
};

struct PortAttrObject {
    PyObject_HEAD int32_t state;
    int32_t max_mtu;
    int32_t active_mtu;
    int32_t gid_tbl_len;
    uint32_t port_cap_flags;
    uint32_t max_msg_sz;
    int32_t pkey_tbl_len;
    int32_t lid;
    int32_t active_width;
    int32_t active_speed;
    int32_t link_layer;
};

struct MRAttrObject {
    PyObject_HEAD int32_t ic_id_validity;
    int32_t recv_ic_id;
    int32_t rdma_read_ic_id;
    int32_t rdma_recv_ic_id;
};

struct AHAttrObject {
    PyObject_HEAD PyObject *dgid;  // bytes or None (null reads as None)
    uint32_t flow_label;
    uint8_t sgid_index;
    uint8_t hop_limit;
    uint8_t traffic_class;
    uint8_t is_global;
    uint8_t port_num;
};

struct AsyncEventObject {
    PyObject_HEAD ibv_async_event _ev;
    int _acked;
    int32_t event_type;
};

}  // namespace vantor
