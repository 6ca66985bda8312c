// CompChannel: the event source of completion queues. Events are counted on
// the queue they name (CQBaseObject::_unacked), never on the channel.
#include "completions.hpp"
#include "errors.hpp"
#include "lifecycle.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "py/args.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"

#include <cerrno>
#include <cstddef>
#include <new>
#include <structmember.h>
#include <unordered_map>
#include <vector>

namespace vantor {
namespace {

// Open channels by native handle, so a queue being destroyed finds the
// channel object its events go to, even after the collector cleared the
// queue's own reference to it.
std::unordered_map<ibv_comp_channel *, CompChannelObject *> &open_channels()
{
    static auto *table = new std::unordered_map<ibv_comp_channel *, CompChannelObject *>();
    return *table;
}

// Native queues of dropped CQ objects, destroyed once no thread waits on
// their channel: a waiting thread may already hold one of their events.
struct DeferredQueue {
    ibv_cq *cq;
    unsigned int unacked;
};

std::unordered_map<CompChannelObject *, std::vector<DeferredQueue>> &deferred_queues()
{
    static auto *table = new std::unordered_map<CompChannelObject *, std::vector<DeferredQueue>>();
    return *table;
}

bool is_deferred(CompChannelObject *chan, ibv_cq *cq)
{
    auto &table = deferred_queues();
    auto found = table.find(chan);
    if (found == table.end()) {
        return false;
    }
    for (const DeferredQueue &queue : found->second) {
        if (queue.cq == cq) {
            return true;
        }
    }
    return false;
}

// Destroys the deferred queues of a channel nobody uses any more; each
// one destroyed is no longer counted in the context.
void destroy_deferred(CompChannelObject *chan)
{
    auto &table = deferred_queues();
    if (chan->_in_use > 0 || table.empty()) {
        return;
    }
    auto found = table.find(chan);
    if (found == table.end()) {
        return;
    }
    std::vector<DeferredQueue> queues = std::move(found->second);
    table.erase(found);
    ContextObject *context = chan->context == nullptr ? nullptr : as_context(chan->context);
    for (const DeferredQueue &queue : queues) {
        if (queue.unacked > 0) {
            _v_ack_cq_events(queue.cq, queue.unacked);
        }
        // A failure leaves the queue counted for ever, as any failed
        // destroy of a dropped queue does.
        if (_v_destroy_cq(queue.cq) == 0 && context != nullptr) {
            context_release_child(context);
        }
    }
}

struct CompChannelTraits {
    using Object = CompChannelObject;
    static constexpr const char *closed_message = "completion channel is closed";
    static constexpr const char *destroy_call = "ibv_destroy_comp_channel";
    static constexpr const char *dealloc_context = "vantor._vantor.CompChannel.__dealloc__";
    static constexpr bool gc = true;
    static constexpr bool counted = true;
    static constexpr PyObject *Object::*refs[] = {&CompChannelObject::context};

    static ContextObject *counted_in(Object *self)
    {
        return self->context == nullptr ? nullptr : as_context(self->context);
    }
    static bool is_open(const Object *self) { return self->_chan != nullptr; }
    static bool destroy(Object *self, bool report)
    {
        int rc = _v_destroy_comp_channel(self->_chan);
        if (rc != 0) {
            if (report) {
                raise_rc("ibv_destroy_comp_channel", rc);
            }
            return false;
        }
        return true;
    }
    static void after_destroy(Object *self)
    {
        open_channels().erase(self->_chan);
        self->_chan = nullptr;
    }
};

using Life = Lifecycle<CompChannelTraits>;

CompChannelObject *as_channel(PyObject *self)
{
    return reinterpret_cast<CompChannelObject *>(self);
}

PyObject *CompChannel_get_cq_event(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                                   PyObject *kwnames)
{
    CompChannelObject *chan = as_channel(self);
    if (!py::no_args("get_cq_event", nargs, kwnames)) {
        return nullptr;
    }
    ibv_cq *cq = nullptr;
    void *cq_context = nullptr;
    int rc;
    int err;
    for (;;) {
        // Released at the end of each round: the last user destroys the
        // queues dropped meanwhile (comp_channel_idle).
        InUse waiting(chan);
        if (!Life::ensure(chan)) {
            return nullptr;
        }
        Py_BEGIN_ALLOW_THREADS rc = _v_get_cq_event(chan->_chan, &cq, &cq_context);
        err = errno;
        Py_END_ALLOW_THREADS
            // An event of a queue dropped meanwhile: its object is gone (so its
            // cq_context must not be followed), and had it been destroyed at
            // once the event would never have come. Acknowledge it, wait on.
            if (rc == 0 && is_deferred(chan, cq))
        {
            _v_ack_cq_events(cq, 1);
            continue;
        }
        break;
    }
    if (rc != 0) {
        return raise_errno("ibv_get_cq_event", err);
    }
    // Every queue created on a channel stores its own object as cq_context;
    // an event without one did not come from this module.
    if (cq_context == nullptr) {
        _v_ack_cq_events(cq, 1);
        return raise_efa_error("ibv_get_cq_event", EIO);
    }
    PyObject *queue = static_cast<PyObject *>(cq_context);
    ++reinterpret_cast<CQBaseObject *>(queue)->_unacked;
    Py_INCREF(queue);
    return queue;
}

PyObject *CompChannel_get_fd(PyObject *self, void *)
{
    CompChannelObject *chan = as_channel(self);
    if (!Life::ensure(chan)) {
        return nullptr;
    }
    return PyLong_FromLong(chan->_chan->fd);
}

}  // namespace

PyObject *comp_channel_create(ContextObject *context)
{
    PyObject *self = reinterpret_cast<PyObject *>(context);
    ibv_comp_channel *native = _v_create_comp_channel(context->_ctx);
    if (native == nullptr) {
        return raise_errno("ibv_create_comp_channel");
    }
    CompChannelObject *chan = py::alloc_bare<CompChannelObject>(types::CompChannel);
    if (chan == nullptr) {
        // Nothing owns the native channel yet; give it back.
        py::SavedError saved;
        _v_destroy_comp_channel(native);
        return nullptr;
    }
    chan->_chan = native;
    Py_INCREF(self);
    chan->context = self;
    try {
        open_channels().emplace(native, chan);
    } catch (const std::bad_alloc &) {
        // Without its entry, queues could not find the channel's waiters.
        Py_DECREF(chan);
        return PyErr_NoMemory();
    }
    Life::register_child(chan);
    return reinterpret_cast<PyObject *>(chan);
}

namespace {

PyMemberDef channel_members[] = {
    {"context", T_OBJECT, offsetof(CompChannelObject, context), READONLY,
     "CompChannel.context: Context\n\nThe context the channel was created from."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef channel_getset[] = {
    {"fd", CompChannel_get_fd, nullptr,
     "CompChannel.fd: int\n\nReturn the completion channel's pollable file descriptor.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char *>("A completion event channel (``ibv_comp_channel``).")},
    {Py_tp_new, reinterpret_cast<void *>(Life::tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Life::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(Life::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(Life::clear)},
    {Py_tp_members, channel_members},
    {Py_tp_getset, channel_getset},
    {0, nullptr},
};

PyType_Spec channel_spec = {"vantor._vantor.CompChannel", sizeof(CompChannelObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                            channel_slots};

const py::FunctionDef kChannelMethods[] = {
    {"get_cq_event", CompChannel_get_cq_event,
     "CompChannel.get_cq_event(self)\n\n"
     "Block until a CQ event arrives; return the associated CQ object.\n\n"
     "The event must later be acknowledged with ``ack_events()`` on the returned\n"
     "CQ or CQEx."},
    {"close", Life::close_method,
     "CompChannel.close(self)\n\nDestroy the completion channel after its CQs are closed."},
    {"__enter__", Life::enter_method, "CompChannel.__enter__(self)\n\nReturn the channel itself."},
    {"__exit__", Life::exit_method,
     "CompChannel.__exit__(self, *exc)\n\nClose the channel; exceptions propagate."},
};

}  // namespace

PyTypeObject *create_CompChannel_type(PyObject *module)
{
    return py::add_type(module, &channel_spec);
}

bool comp_channel_ensure(CompChannelObject *self) { return Life::ensure(self); }

void comp_channel_idle(CompChannelObject *chan) { destroy_deferred(chan); }

CompChannelObject *comp_channel_waited(ibv_comp_channel *native)
{
    if (native == nullptr) {
        return nullptr;
    }
    auto &table = open_channels();
    auto found = table.find(native);
    if (found == table.end() || found->second->_in_use <= 0) {
        return nullptr;
    }
    return found->second;
}

bool comp_channel_defer_destroy(CompChannelObject *chan, ibv_cq *cq, int32_t unacked)
{
    // Nothing may follow it back to the object about to be freed (without
    // an entry, a later event of it is refused as foreign).
    cq->cq_context = nullptr;
    try {
        deferred_queues()[chan].push_back(
            DeferredQueue{cq, unacked > 0 ? static_cast<unsigned int>(unacked) : 0u});
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

const py::MethodTable CompChannel_methods = py::method_table(types::CompChannel, kChannelMethods);

}  // namespace vantor
