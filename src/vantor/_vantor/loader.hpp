// The process-wide table of libibverbs and libefa entry points, filled once
// at import by dlopen/dlsym and only read afterwards. Every exported native
// function is called through these pointers; the libraries are never linked.
#pragma once

#include "efadv.hpp"

#include <Python.h>
#include <infiniband/verbs.h>

// X(symbol, pointer) in resolution order.
#define VANTOR_VERBS_REQUIRED(X)                                                                   \
    X(ibv_get_device_list, _v_get_device_list)                                                     \
    X(ibv_free_device_list, _v_free_device_list)                                                   \
    X(ibv_get_device_name, _v_get_device_name)                                                     \
    X(ibv_get_device_guid, _v_get_device_guid)                                                     \
    X(ibv_open_device, _v_open_device)                                                             \
    X(ibv_close_device, _v_close_device)                                                           \
    X(ibv_query_device, _v_query_device)                                                           \
    X(ibv_query_port, _v_query_port)                                                               \
    X(ibv_query_gid, _v_query_gid)                                                                 \
    X(ibv_alloc_pd, _v_alloc_pd)                                                                   \
    X(ibv_dealloc_pd, _v_dealloc_pd)                                                               \
    X(ibv_reg_mr_iova2, _v_reg_mr_iova2)                                                           \
    X(ibv_dereg_mr, _v_dereg_mr)                                                                   \
    X(ibv_create_comp_channel, _v_create_comp_channel)                                             \
    X(ibv_destroy_comp_channel, _v_destroy_comp_channel)                                           \
    X(ibv_create_cq, _v_create_cq)                                                                 \
    X(ibv_destroy_cq, _v_destroy_cq)                                                               \
    X(ibv_get_cq_event, _v_get_cq_event)                                                           \
    X(ibv_ack_cq_events, _v_ack_cq_events)                                                         \
    X(ibv_destroy_qp, _v_destroy_qp)                                                               \
    X(ibv_modify_qp, _v_modify_qp)                                                                 \
    X(ibv_query_qp, _v_query_qp)                                                                   \
    X(ibv_qp_to_qp_ex, _v_qp_to_qp_ex)                                                             \
    X(ibv_create_ah, _v_create_ah)                                                                 \
    X(ibv_destroy_ah, _v_destroy_ah)                                                               \
    X(ibv_get_async_event, _v_get_async_event)                                                     \
    X(ibv_ack_async_event, _v_ack_async_event)                                                     \
    X(ibv_event_type_str, _v_event_type_str)                                                       \
    X(ibv_wc_status_str, _v_wc_status_str)

#define VANTOR_VERBS_OPTIONAL(X) X(ibv_reg_dmabuf_mr, _v_reg_dmabuf_mr)

#define VANTOR_EFA_REQUIRED(X)                                                                     \
    X(efadv_query_device, _e_query_device)                                                         \
    X(efadv_query_ah, _e_query_ah)                                                                 \
    X(efadv_create_qp_ex, _e_create_qp_ex)                                                         \
    X(efadv_create_cq, _e_create_cq)                                                               \
    X(efadv_cq_from_ibv_cq_ex, _e_cq_from_cq_ex)

#define VANTOR_EFA_OPTIONAL(X)                                                                     \
    X(efadv_query_mr, _e_query_mr)                                                                 \
    X(efadv_query_cq, _e_query_cq)                                                                 \
    X(efadv_query_qp_wqs, _e_query_qp_wqs)

#define VANTOR_ALL_ENTRY_POINTS(X)                                                                 \
    VANTOR_VERBS_REQUIRED(X) VANTOR_VERBS_OPTIONAL(X) VANTOR_EFA_REQUIRED(X) VANTOR_EFA_OPTIONAL(X)

namespace vantor {

// The pointer types are the exported functions' own prototypes.
#define VANTOR_DECLARE_POINTER(symbol, pointer) extern decltype(&::symbol) pointer;
VANTOR_ALL_ENTRY_POINTS(VANTOR_DECLARE_POINTER)
#undef VANTOR_DECLARE_POINTER

extern void *_libverbs_handle;
extern void *_libefa_handle;

// Nulls both handles and every pointer.
void reset_loader();
// Opens both libraries and resolves the table; -1 with ImportError set.
int _load_libraries();

}  // namespace vantor
