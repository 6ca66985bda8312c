// libibverbs entry points that programs written against the full rdma-core
// library link to (pyverbs and librdmacm among them) but that an EFA device
// either does not offer or that the rest of the simulator never needs. They
// exist so that such programs load against the software device; the few an
// EFA program really calls answer like the provider, the others fail with
// EOPNOTSUPP. They sit outside the call log and fault injection.
#include "extra.hpp"
#include "fork.hpp"
#include "provider_abi.h"

#include <infiniband/verbs.h>

#include <cerrno>
#include <cstdint>
#include <sys/types.h>

namespace {

int fail_rc() { return EOPNOTSUPP; }

int fail_neg1()
{
    errno = EOPNOTSUPP;
    return -1;
}

template <class T>
T *fail_null()
{
    errno = EOPNOTSUPP;
    return nullptr;
}

// EFA has one partition key, the default full-membership one, at index 0.
constexpr uint16_t kDefaultPkey = 0xffff;

bool pkey_in_range(ibv_context *context, uint8_t port_num, int index)
{
    ibv_port_attr attr{};
    if (ibv_query_port(context, port_num, &attr) != 0) {
        return false;
    }
    return index >= 0 && index < attr.pkey_tbl_len;
}

}  // namespace

// Memory registration without an iova: the iova is the address.
VSIM_EXTRA(ibv_mr *, ibv_reg_mr, "IBVERBS_1.1",
           (ibv_pd * pd, void *addr, size_t length, int access))
{
    return ibv_reg_mr_iova2(pd, addr, length, reinterpret_cast<uintptr_t>(addr),
                            static_cast<unsigned>(access));
}

VSIM_EXTRA(int, ibv_query_pkey, "IBVERBS_1.1",
           (ibv_context * context, uint8_t port_num, int index, __be16 *pkey))
{
    if (pkey == nullptr || !pkey_in_range(context, port_num, index)) {
        errno = EINVAL;
        return -1;
    }
    *pkey = htobe16(kDefaultPkey);
    return 0;
}

VSIM_EXTRA(int, ibv_get_pkey_index, "IBVERBS_1.5",
           (ibv_context * context, uint8_t port_num, __be16 pkey))
{
    if (!pkey_in_range(context, port_num, 0)) {
        errno = EINVAL;
        return -1;
    }
    if (be16toh(pkey) != kDefaultPkey) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

// The GID table's one entry is an IB-style address (not RoCE v2).
VSIM_EXTRA(int, ibv_query_gid_type, VSIM_PRIVATE_VERSION,
           (ibv_context * context, uint8_t port_num, unsigned index, int *type))
{
    ibv_gid gid;
    if (type == nullptr || index > INT32_MAX ||
        ibv_query_gid(context, port_num, static_cast<int>(index), &gid) != 0) {
        errno = EINVAL;
        return -1;
    }
    *type = 0;  // IBV_GID_TYPE_SYSFS_IB_ROCE_V1
    return 0;
}

// The extended GID queries over the same table; EFA's GIDs are IB-style.
VSIM_EXTRA(int, _ibv_query_gid_ex, "IBVERBS_1.11",
           (ibv_context * context, uint32_t port_num, uint32_t gid_index, ibv_gid_entry *entry,
            uint32_t flags, size_t entry_size))
{
    ibv_gid gid;
    if (entry == nullptr || flags != 0 || entry_size < sizeof(ibv_gid_entry) ||
        port_num > UINT8_MAX || gid_index > INT32_MAX) {
        return EINVAL;
    }
    if (ibv_query_gid(context, static_cast<uint8_t>(port_num), static_cast<int>(gid_index), &gid) !=
        0) {
        return errno ? errno : EINVAL;
    }
    *entry = ibv_gid_entry{};
    entry->gid = gid;
    entry->gid_index = gid_index;
    entry->port_num = port_num;
    entry->gid_type = IBV_GID_TYPE_IB;
    return 0;
}

VSIM_EXTRA(ssize_t, _ibv_query_gid_table, "IBVERBS_1.11",
           (ibv_context * context, ibv_gid_entry *entries, size_t max_entries, uint32_t flags,
            size_t entry_size))
{
    ibv_device_attr dev{};
    if (flags != 0 || entry_size < sizeof(ibv_gid_entry) || (max_entries && !entries)) {
        return -EINVAL;
    }
    if (int rc = ibv_query_device(context, &dev)) {
        return -rc;
    }
    size_t n = 0;
    for (uint32_t port = 1; port <= dev.phys_port_cnt; ++port) {
        ibv_port_attr attr{};
        if (int rc = ibv_query_port(context, static_cast<uint8_t>(port), &attr)) {
            return -rc;
        }
        for (int index = 0; index < attr.gid_tbl_len; ++index) {
            if (n == max_entries) {
                return -EINVAL;  // the table does not fit, as libibverbs reports it
            }
            auto *entry = reinterpret_cast<ibv_gid_entry *>(reinterpret_cast<char *>(entries) +
                                                            n * entry_size);
            if (int rc = sim_extra__ibv_query_gid_ex(context, port, static_cast<uint32_t>(index),
                                                     entry, 0, entry_size)) {
                return -rc;
            }
            ++n;
        }
    }
    return static_cast<ssize_t>(n);
}

// SRD may deliver out of order.
VSIM_EXTRA(int, ibv_query_qp_data_in_order, "IBVERBS_1.14",
           (ibv_qp * qp, ibv_wr_opcode op, uint32_t flags))
{
    (void)qp;
    (void)op;
    (void)flags;
    return 0;
}

// Unknown index, as for a device that sysfs does not list.
VSIM_EXTRA(int, ibv_get_device_index, "IBVERBS_1.9", (ibv_device * device))
{
    (void)device;
    return -1;
}

VSIM_EXTRA(int, ibv_fork_init, "IBVERBS_1.1", ()) { return vsim::fork_init(); }
VSIM_EXTRA(ibv_fork_status, ibv_is_fork_initialized, "IBVERBS_1.13", ())
{
    return vsim::fork_enabled() ? IBV_FORK_ENABLED : IBV_FORK_DISABLED;
}
VSIM_EXTRA(int, ibv_dontfork_range, "IBVERBS_1.1", (void *base, size_t size))
{
    return vsim::dontfork_range(base, size);
}
VSIM_EXTRA(int, ibv_dofork_range, "IBVERBS_1.1", (void *base, size_t size))
{
    return vsim::dofork_range(base, size);
}

// Resolving a RoCE peer's Ethernet address: EFA's link layer is not
// Ethernet, so there is no neighbour to resolve.
VSIM_EXTRA(int, ibv_resolve_eth_l2_from_gid, "IBVERBS_1.1",
           (ibv_context *, ibv_ah_attr *, uint8_t *, uint16_t *))
{
    errno = EOPNOTSUPP;
    return -EOPNOTSUPP;
}

VSIM_EXTRA(ibv_srq *, ibv_create_srq, "IBVERBS_1.1", (ibv_pd *, ibv_srq_init_attr *))
{
    return fail_null<ibv_srq>();
}
VSIM_EXTRA(int, ibv_modify_srq, "IBVERBS_1.1", (ibv_srq *, ibv_srq_attr *, int))
{
    return fail_rc();
}
VSIM_EXTRA(int, ibv_query_srq, "IBVERBS_1.1", (ibv_srq *, ibv_srq_attr *)) { return fail_rc(); }
VSIM_EXTRA(int, ibv_destroy_srq, "IBVERBS_1.1", (ibv_srq *)) { return fail_rc(); }
VSIM_EXTRA(int, ibv_resize_cq, "IBVERBS_1.1", (ibv_cq *, int)) { return fail_rc(); }
VSIM_EXTRA(int, ibv_rereg_mr, "IBVERBS_1.1", (ibv_mr *, int, ibv_pd *, void *, size_t, int))
{
    errno = EOPNOTSUPP;
    return IBV_REREG_MR_ERR_INPUT;
}
VSIM_EXTRA(ibv_ah *, ibv_create_ah_from_wc, "IBVERBS_1.1", (ibv_pd *, ibv_wc *, ibv_grh *, uint8_t))
{
    return fail_null<ibv_ah>();
}
VSIM_EXTRA(int, ibv_attach_mcast, "IBVERBS_1.1", (ibv_qp *, const ibv_gid *, uint16_t))
{
    return fail_rc();
}
VSIM_EXTRA(int, ibv_detach_mcast, "IBVERBS_1.1", (ibv_qp *, const ibv_gid *, uint16_t))
{
    return fail_rc();
}
VSIM_EXTRA(int, ibv_set_ece, "IBVERBS_1.10", (ibv_qp *, ibv_ece *)) { return fail_rc(); }
VSIM_EXTRA(int, ibv_query_ece, "IBVERBS_1.10", (ibv_qp *, ibv_ece *)) { return fail_rc(); }

VSIM_EXTRA(ibv_context *, ibv_import_device, "IBVERBS_1.10", (int))
{
    return fail_null<ibv_context>();
}
VSIM_EXTRA(ibv_pd *, ibv_import_pd, "IBVERBS_1.10", (ibv_context *, uint32_t))
{
    return fail_null<ibv_pd>();
}
VSIM_EXTRA(ibv_mr *, ibv_import_mr, "IBVERBS_1.10", (ibv_pd *, uint32_t))
{
    return fail_null<ibv_mr>();
}
VSIM_EXTRA(ibv_dm *, ibv_import_dm, "IBVERBS_1.13", (ibv_context *, uint32_t))
{
    return fail_null<ibv_dm>();
}
// Nothing can have been imported, so there is nothing to let go.
VSIM_EXTRA(void, ibv_unimport_pd, "IBVERBS_1.10", (ibv_pd *)) {}
VSIM_EXTRA(void, ibv_unimport_mr, "IBVERBS_1.10", (ibv_mr *)) {}
VSIM_EXTRA(void, ibv_unimport_dm, "IBVERBS_1.13", (ibv_dm *)) {}

// librdmacm's helpers for kernel records and sysfs. The simulated devices
// are not in sysfs, and no kernel record ever reaches these.
VSIM_EXTRA(const char *, ibv_get_sysfs_path, "IBVERBS_1.0", ()) { return "/sys"; }
VSIM_EXTRA(int, ibv_read_sysfs_file, "IBVERBS_1.0", (const char *, const char *, char *, size_t))
{
    return fail_neg1();
}
VSIM_EXTRA(void, ibv_copy_qp_attr_from_kern, "IBVERBS_1.0", (void *, const void *)) {}
VSIM_EXTRA(void, ibv_copy_path_rec_from_kern, "IBVERBS_1.0", (void *, const void *)) {}
VSIM_EXTRA(void, ibv_copy_ah_attr_from_kern, "IBVERBS_1.1", (void *, const void *)) {}
