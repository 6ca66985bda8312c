#include "config.hpp"

#include <arpa/inet.h>
#include <endian.h>

#include <cstddef>
#include <cstring>

namespace vsim {

namespace {

struct Field {
    const char *name;
    int block;  // 0 device attr, 1 efa attr, 2 port attr, 3 context
    std::size_t offset;
    std::size_t size;
};

#define DEV(f) {"device." #f, 0, offsetof(ibv_device_attr, f), sizeof(ibv_device_attr::f)}
#define EFA(f) {"efa." #f, 1, offsetof(efadv_device_attr, f), sizeof(efadv_device_attr::f)}
#define PORT(f) {"port." #f, 2, offsetof(ibv_port_attr, f), sizeof(ibv_port_attr::f)}

const Field kFields[] = {
    DEV(node_guid),
    DEV(sys_image_guid),
    DEV(max_mr_size),
    DEV(page_size_cap),
    DEV(vendor_id),
    DEV(vendor_part_id),
    DEV(hw_ver),
    DEV(max_qp),
    DEV(max_qp_wr),
    DEV(device_cap_flags),
    DEV(max_sge),
    DEV(max_sge_rd),
    DEV(max_cq),
    DEV(max_cqe),
    DEV(max_mr),
    DEV(max_pd),
    DEV(max_qp_rd_atom),
    DEV(max_ee_rd_atom),
    DEV(max_res_rd_atom),
    DEV(max_qp_init_rd_atom),
    DEV(max_ee_init_rd_atom),
    DEV(atomic_cap),
    DEV(max_ee),
    DEV(max_rdd),
    DEV(max_mw),
    DEV(max_raw_ipv6_qp),
    DEV(max_raw_ethy_qp),
    DEV(max_mcast_grp),
    DEV(max_mcast_qp_attach),
    DEV(max_total_mcast_qp_attach),
    DEV(max_ah),
    DEV(max_fmr),
    DEV(max_map_per_fmr),
    DEV(max_srq),
    DEV(max_srq_wr),
    DEV(max_srq_sge),
    DEV(max_pkeys),
    DEV(local_ca_ack_delay),
    DEV(phys_port_cnt),
    EFA(comp_mask),
    EFA(max_sq_wr),
    EFA(max_rq_wr),
    EFA(max_sq_sge),
    EFA(max_rq_sge),
    EFA(inline_buf_size),
    EFA(device_caps),
    EFA(max_rdma_size),
    PORT(state),
    PORT(max_mtu),
    PORT(active_mtu),
    PORT(gid_tbl_len),
    PORT(port_cap_flags),
    PORT(max_msg_sz),
    PORT(bad_pkey_cntr),
    PORT(qkey_viol_cntr),
    PORT(pkey_tbl_len),
    PORT(lid),
    PORT(sm_lid),
    PORT(lmc),
    PORT(max_vl_num),
    PORT(sm_sl),
    PORT(subnet_timeout),
    PORT(init_type_reply),
    PORT(active_width),
    PORT(active_speed),
    PORT(phys_state),
    PORT(link_layer),
    PORT(flags),
    PORT(port_cap_flags2),
    {"num_comp_vectors", 3, 0, sizeof(int)},
};

#undef DEV
#undef EFA
#undef PORT

unsigned char *block_of(DeviceConfig &cfg, int block)
{
    switch (block) {
    case 0:
        return reinterpret_cast<unsigned char *>(&cfg.dattr);
    case 1:
        return reinterpret_cast<unsigned char *>(&cfg.eattr);
    case 2:
        return reinterpret_cast<unsigned char *>(&cfg.pattr);
    default:
        return reinterpret_cast<unsigned char *>(&cfg.num_comp_vectors);
    }
}

const Field *find(const std::string &key)
{
    for (const Field &f : kFields) {
        if (key == f.name) {
            return &f;
        }
    }
    return nullptr;
}

}  // namespace

namespace {

// 24 bits that follow from the name (FNV-1a, folded), never 0.
uint32_t name_id(const std::string &name, uint32_t salt)
{
    uint64_t h = 0xcbf29ce484222325ULL ^ salt;
    for (const unsigned char ch : name) {
        h ^= ch;
        h *= 0x100000001b3ULL;
    }
    const uint32_t id = static_cast<uint32_t>((h ^ (h >> 24) ^ (h >> 48)) & 0xffffff);
    return id ? id : 1;
}

}  // namespace

void derive_addresses(DeviceConfig &c, const std::string &host, const std::vector<ibv_gid> &taken)
{
    // Link-local GID: fe80::, then an interface id from the names.
    const std::string key = host + "/" + c.name;
    uint32_t id = 0;
    for (uint32_t salt = 0;; ++salt) {
        id = name_id(key, salt);
        c.gid = ibv_gid{};
        c.gid.raw[0] = 0xfe;
        c.gid.raw[1] = 0x80;
        const uint64_t iid = 0x0a1b2c0000000000ULL | (static_cast<uint64_t>(id) << 8) | 0x5e;
        for (int k = 0; k < 8; ++k) {
            c.gid.raw[8 + k] = static_cast<uint8_t>(iid >> (56 - 8 * k));
        }
        bool clash = false;
        for (const ibv_gid &g : taken) {
            clash |= std::memcmp(g.raw, c.gid.raw, 16) == 0;
        }
        if (!clash) {
            break;
        }
    }
    c.dattr.node_guid = htobe64(0x0a1b2cfffe000000ULL + id);
    c.dattr.sys_image_guid = c.dattr.node_guid;
}

DeviceConfig default_device(const std::string &name, bool efa, const std::string &host,
                            const std::vector<ibv_gid> &taken)
{
    DeviceConfig c;
    c.name = name;
    c.efa = efa;
    derive_addresses(c, host, taken);

    ibv_device_attr &d = c.dattr;
    std::strcpy(d.fw_ver, "0.0.0.0");
    d.max_mr_size = 1ULL << 40;
    d.page_size_cap = 0xfffffffffffff000ULL;
    d.vendor_id = 0x1d0f;
    d.vendor_part_id = 0xefa1;
    d.hw_ver = 0;
    d.max_qp = 256;
    d.max_qp_wr = 4096;
    d.max_sge = 2;
    d.max_cq = 512;
    d.max_cqe = 32768;
    d.max_mr = 262144;
    d.max_pd = 256;
    d.max_ah = 1024;
    d.max_pkeys = 1;
    d.phys_port_cnt = 1;

    efadv_device_attr &e = c.eattr;
    e.max_sq_wr = 4096;
    e.max_rq_wr = 32768;
    e.max_sq_sge = 2;
    e.max_rq_sge = 3;
    e.inline_buf_size = 32;
    e.device_caps = EFADV_DEVICE_ATTR_CAPS_RDMA_READ | EFADV_DEVICE_ATTR_CAPS_RNR_RETRY |
                    EFADV_DEVICE_ATTR_CAPS_CQ_WITH_SGID | EFADV_DEVICE_ATTR_CAPS_RDMA_WRITE |
                    EFADV_DEVICE_ATTR_CAPS_UNSOLICITED_WRITE_RECV;
    e.max_rdma_size = 1073741824;

    ibv_port_attr &p = c.pattr;
    p.state = IBV_PORT_ACTIVE;
    p.max_mtu = IBV_MTU_4096;
    p.active_mtu = IBV_MTU_4096;
    p.gid_tbl_len = 1;
    p.max_msg_sz = 8928;
    p.pkey_tbl_len = 1;
    p.lid = 0;
    p.lmc = 1;  // as the EFA kernel driver reports its port
    p.max_vl_num = 1;
    p.active_width = 2;
    p.active_speed = 32;
    p.phys_state = 5;  // link up
    p.link_layer = IBV_LINK_LAYER_UNSPECIFIED;
    c.num_comp_vectors = 4;
    return c;
}

bool set_field(DeviceConfig &cfg, const std::string &key, uint64_t value)
{
    const Field *f = find(key);
    if (!f) {
        return false;
    }
    if (f->size < 8 && value >> (8 * f->size)) {
        return false;
    }
    if (f->block == 3 && value > 0x7fffffff) {
        return false;
    }
    unsigned char *dst = block_of(cfg, f->block) + f->offset;
    switch (f->size) {
    case 1: {
        uint8_t v = static_cast<uint8_t>(value);
        std::memcpy(dst, &v, 1);
        break;
    }
    case 2: {
        uint16_t v = static_cast<uint16_t>(value);
        std::memcpy(dst, &v, 2);
        break;
    }
    case 4: {
        uint32_t v = static_cast<uint32_t>(value);
        std::memcpy(dst, &v, 4);
        break;
    }
    default:
        std::memcpy(dst, &value, 8);
        break;
    }
    return true;
}

bool get_field(const DeviceConfig &cfg, const std::string &key, uint64_t &value)
{
    const Field *f = find(key);
    if (!f) {
        return false;
    }
    const unsigned char *src = block_of(const_cast<DeviceConfig &>(cfg), f->block) + f->offset;
    value = 0;
    switch (f->size) {
    case 1: {
        uint8_t v;
        std::memcpy(&v, src, 1);
        value = v;
        break;
    }
    case 2: {
        uint16_t v;
        std::memcpy(&v, src, 2);
        value = v;
        break;
    }
    case 4: {
        uint32_t v;
        std::memcpy(&v, src, 4);
        value = v;
        break;
    }
    default:
        std::memcpy(&value, src, 8);
        break;
    }
    return true;
}

std::vector<std::string> field_names()
{
    std::vector<std::string> out;
    for (const Field &f : kFields) {
        out.emplace_back(f.name);
    }
    return out;
}

}  // namespace vsim
