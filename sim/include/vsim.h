/* Control interface of the vantor software EFA device.
 *
 * Exported by the simulator's libibverbs.so.1 with plain C types, so that
 * ctypes (vantor.sim) and C/C++ test programs can drive it. Functions
 * returning int give 0 on success and a negative errno value on failure.
 */
#ifndef VANTOR_VSIM_H
#define VANTOR_VSIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Build identification: 1 for the full build, 0 for the legacy build. */
int vsim_has_optional_symbols(void);

/* Everything back to defaults: faults, log, counters, delivery control,
 * destroy timeout and the device set (one EFA device "efa_0"). Objects still
 * open keep working on the device they were opened on. */
void vsim_reset(void);

/* Device set. vsim_clear_devices empties it; vsim_add_device appends a
 * device with default attributes and returns its index (or -EINVAL). */
void vsim_clear_devices(void);
int vsim_add_device(const char *name, int is_efa);
int vsim_device_count(void);
int vsim_set_device_field(int index, const char *field, uint64_t value);
int vsim_get_device_field(int index, const char *field, uint64_t *value);
int vsim_set_device_gid(int index, const uint8_t gid[16]);
int vsim_get_device_gid(int index, uint8_t gid[16]);
int vsim_set_device_fw_ver(int index, const char *fw_ver);
/* Newline-separated list of field names accepted above. */
const char *vsim_device_fields(void);

/* Fault injection: the next `count` calls of `fn`, after `skip` successful
 * ones, fail. errno is set to `err`; the return value is `rc` when has_rc
 * is non-zero, otherwise what the call returns for that errno (NULL, -1, the
 * code, or its negation). Returns -EINVAL for an unknown name. */
int vsim_fail(const char *fn, int count, int skip, int err, long long rc, int has_rc);
int vsim_fault_pending(const char *fn);
void vsim_clear_faults(void);

/* Pausing: while `fn` is paused, each of its calls waits, at entry (`at` 1:
 * before it does anything, holding none of the simulator's locks) or at
 * exit (`at` 2: after its work, still holding what the call leaves held,
 * such as an open poll batch), until `fn` is resumed (`at` 0), vsim_reset
 * runs, or `limit_ms` milliseconds pass (negative: no limit). vsim_paused
 * counts the calls waiting now. Both return -EINVAL for an unknown name. */
int vsim_pause(const char *fn, int at, int limit_ms);
int vsim_paused(const char *fn);

/* Call counters and the call log (JSON objects, one per line). */
long long vsim_call_count(const char *fn);
void vsim_reset_counts(void);
const char *vsim_function_names(void);
void vsim_log_enable(int on);
/* Returns the log so far (malloc'd, free with vsim_free) and empties it. */
char *vsim_log_take(void);
void vsim_free(void *p);

/* Asynchronous events. Exactly one target: a QP (by number), a CQ (by its
 * handle), or a device port (every open context of `device`, or the one
 * context whose async fd is `async_fd`). */
int vsim_post_qp_event(uint32_t qp_num, int event_type);
int vsim_post_cq_event(uint32_t cq_handle, int event_type);
int vsim_post_port_event(const char *device, int async_fd, int port, int event_type);
int vsim_post_device_event(const char *device, int async_fd, int event_type);

/* Delivery order: hold requests until released, release them (in order
 * or reversed; returns how many), or reverse the next n requests. */
void vsim_hold(int on);
int vsim_release(int reverse);
void vsim_reverse_next(int n);
int vsim_held(void);

/* How long ibv_destroy_cq/ibv_destroy_qp wait for unacknowledged events. */
void vsim_set_destroy_timeout_ms(int ms);

/* Live objects by kind: "context", "pd", "mr", "cq", "qp", "ah", "channel". */
int vsim_live(const char *kind);

/* Handles of the live CQs in creation order; returns how many exist
 * (writes at most `cap`). */
int vsim_cq_handles(uint32_t *out, int cap);

/* State of a QP by number, or -ENOENT. */
int vsim_qp_state(uint32_t qp_num);

/* Processes of one user on one host reach each other's queue pairs when
 * they use the same host name: vsim_set_host's, else the environment
 * variable VANTOR_SIM_HOST. A process with a host name joins its host (takes
 * one of 64 process slots, starts a progress thread) at its first QP or AH,
 * or at vsim_join; the name is fixed from then on. QP and AH numbers carry
 * the slot. A process without a host name keeps to itself and runs no
 * thread of the simulator's.
 *
 * vsim_set_host: 0, -EINVAL for a name that is not 1-64 characters of
 * A-Z a-z 0-9 . _ -, -EBUSY once joined under another name; NULL goes back
 * to the environment's name. vsim_get_host writes the name in effect
 * (NUL-terminated, empty for none) and returns its length, or -ERANGE when
 * `cap` is too small. vsim_join joins now and returns the slot (0 also
 * when there is no host name or joining failed, which stderr explains);
 * vsim_slot returns it, or -1 while the process has not joined.
 * vsim_connections counts the open connections with other processes. */
int vsim_set_host(const char *name);
int vsim_get_host(char *buf, int cap);
int vsim_join(void);
int vsim_slot(void);
int vsim_connections(void);

#ifdef __cplusplus
}
#endif

#endif
