"""Device discovery: get_device_list, get_efa_device_list and Device.open."""

from __future__ import annotations

import errno
import json

import pytest

import vantor.sim as vsim
from conftest import run_python
from vantor import _vantor as v


@pytest.fixture
def balanced(sim):
    """Checks after the test that every device list handed out was freed;
    the test records in it how many ibv_get_device_list calls failed."""
    failed = {"lists": 0}
    yield failed
    handed_out = sim.call_count("ibv_get_device_list") - failed["lists"]
    assert handed_out == sim.call_count("ibv_free_device_list")


def fake_device(is_efa=True, open_error=None, close_error=None, log=None):
    """A Device stand-in for the Python-level protocol of get_efa_device_list."""

    class Ctx:
        def is_efa(self):
            if isinstance(is_efa, Exception):
                raise is_efa
            return is_efa

        def close(self):
            if log is not None:
                log.append("close")
            if close_error is not None:
                raise close_error

    class Dev:
        def open(self):
            if open_error is not None:
                raise open_error
            return Ctx()

    return Dev()


def test_get_device_list(sim, balanced):
    sim.set_devices(["efa_b", vsim.Device("mlx5_0", efa=False), "efa_a"])
    first, second = v.get_device_list(), v.get_device_list()
    assert [d.name for d in first] == ["efa_b", "mlx5_0", "efa_a"]
    assert first[0] is not second[0]
    # The GUID as the library returns it, not byte-swapped.
    assert [d.guid for d in first] == [sim.device_field(i, "device.node_guid") for i in range(3)]


def test_no_devices(sim, balanced):
    sim.set_devices([])
    assert v.get_device_list() == [] and v.get_efa_device_list() == []


@pytest.mark.parametrize("err, expected", [(errno.ENOMEM, errno.ENOMEM), (0, errno.EIO)])
def test_get_device_list_failure(sim, err, expected):
    sim.fail("ibv_get_device_list", err)
    with pytest.raises(v.EfaError) as info:
        v.get_device_list()
    assert (info.value.operation, info.value.errno) == ("ibv_get_device_list", expected)


def test_undecodable_name_frees_the_list(sim, balanced):
    api = sim._api()  # device names are bytes at the C level; the Python helper takes str
    api.vsim_clear_devices()
    assert api.vsim_add_device(b"bad\xff", 1) >= 0
    with pytest.raises(UnicodeDecodeError):
        v.get_device_list()


def test_efa_list_filters_other_providers(sim, monkeypatch):
    sim.set_devices(["efa_0", vsim.Device("mlx5_0", efa=False), "efa_1"])
    produced = []
    real = v.get_device_list
    monkeypatch.setattr(v, "get_device_list", lambda: produced.extend(real()) or list(produced))
    sim.reset_counts()
    efa = v.get_efa_device_list()
    assert efa == [produced[0], produced[2]]  # the very same objects
    assert sim.call_count("ibv_open_device") == 3 == sim.call_count("ibv_close_device")


def test_efa_list_skips_devices_that_fail_to_open(sim, balanced):
    sim.set_devices(["efa_0", "efa_1"])
    sim.fail("ibv_open_device", errno.EACCES)
    assert [d.name for d in v.get_efa_device_list()] == ["efa_1"]


def test_efa_list_uses_the_namespace(monkeypatch):
    log = []
    devices = [fake_device(1, log=log), fake_device(0, log=log), fake_device([], log=log)]
    monkeypatch.setattr(v, "get_device_list", lambda: iter(devices))
    assert v.get_efa_device_list() == [devices[0]]
    assert log == ["close"] * 3

    class MyError(v.EfaError):
        pass

    monkeypatch.setattr(v, "get_device_list", lambda: [fake_device(open_error=MyError("x", 1))])
    assert v.get_efa_device_list() == []
    monkeypatch.setattr(v, "EfaError", KeyError)  # matched against the namespace's EfaError
    with pytest.raises(MyError):
        v.get_efa_device_list()


@pytest.mark.parametrize(
    "device, raised, context",
    [
        (fake_device(open_error=ValueError("open")), ValueError, None),
        (fake_device(RuntimeError("probe")), RuntimeError, None),
        (fake_device(close_error=OSError("close")), OSError, None),
        (fake_device(RuntimeError("probe"), close_error=OSError("close")), OSError, RuntimeError),
    ],
)
def test_efa_list_failures_propagate(monkeypatch, device, raised, context):
    monkeypatch.setattr(v, "get_device_list", lambda: [device, device])
    with pytest.raises(raised) as info:
        v.get_efa_device_list()
    if context is not None:
        assert isinstance(info.value.__context__, context)


def test_efa_list_probe_error_after_close(monkeypatch):
    log = []
    monkeypatch.setattr(v, "get_device_list", lambda: [fake_device(KeyError("probe"), log=log)])
    with pytest.raises(KeyError):
        v.get_efa_device_list()
    assert log == ["close"]


def test_open(sim, balanced):
    sim.set_devices(["a", "b"])
    with sim.recording() as log:
        ctx = v.Device("b", 12345).open()  # matched by name only
    assert type(ctx) is v.Context and ctx.name == "b"
    assert log.calls("ibv_open_device")[0]["device"] == "b"
    assert ctx.query_gid().raw == sim.device_gid(1)
    ctx.close()


@pytest.mark.parametrize(
    "fault, name, operation, expected",
    [
        (None, "nope", "ibv_open_device(nope)", None),
        (("ibv_open_device", errno.EPERM), "efa_0", "ibv_open_device(efa_0)", errno.EPERM),
        (("ibv_open_device", 0), "efa_0", "ibv_open_device(efa_0)", 0),  # no EIO substitute
        (("ibv_get_device_list", errno.ENOSYS), "efa_0", "ibv_get_device_list", errno.ENOSYS),
    ],
)
def test_open_failures(sim, balanced, fault, name, operation, expected):
    if fault is not None:
        sim.fail(*fault)
        balanced["lists"] = fault[0] == "ibv_get_device_list"
    with pytest.raises(v.EfaError) as info:
        v.Device(name, 0).open()
    assert info.value.operation == operation
    if expected is not None:
        assert info.value.errno == expected


@pytest.mark.parametrize(
    "device, exc",
    [(v.Device.__new__(v.Device), AttributeError), (v.Device("\ud800", 0), UnicodeEncodeError)],
)
def test_open_name_errors_free_the_list(sim, device, exc):
    sim.fail("ibv_get_device_list", errno.ENOMEM)  # the name is checked first
    with pytest.raises(exc):
        device.open()
    with pytest.raises(exc):
        device.open()
    assert sim.call_count("ibv_get_device_list") == 2
    assert sim.call_count("ibv_free_device_list") == 1


def test_real_libraries_without_devices():
    """Against the system rdma-core, on a host without RDMA devices."""
    result = run_python(
        """
        import json
        import vantor._vantor as v

        def outcome(fn):
            try:
                return {"value": [repr(d) for d in fn()]}
            except v.EfaError as e:
                return {"operation": e.operation, "errno": e.errno}

        libs = [line.split()[-1] for line in open("/proc/self/maps") if "libibverbs" in line]
        print(json.dumps({"list": outcome(v.get_device_list),
                          "efa": outcome(v.get_efa_device_list),
                          "libs": sorted(set(libs))}))
        """
    )
    if result.returncode != 0 and "could not load" in result.stderr:
        pytest.skip("rdma-core is not installed: " + result.stderr.strip().splitlines()[-1])
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["libs"] and not any("_sim" in lib for lib in report["libs"])
    listed = report["list"]
    if "value" in listed:
        assert listed["value"] == [] and report["efa"] == {"value": []}
    else:
        # Without the uverbs kernel interface libibverbs reports a failure
        # rather than an empty list; the EFA list fails the same way.
        assert listed["operation"] == "ibv_get_device_list" and listed["errno"] > 0
        assert report["efa"] == listed
