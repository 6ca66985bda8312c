"""Every named constant equals the value of the C headers."""

from __future__ import annotations

import re
import subprocess
from pathlib import Path

import pytest

from vantor import enums

ROOT = Path(__file__).resolve().parent.parent
VERBS_H = Path("/usr/include/infiniband/verbs.h")
SYSTEM_EFADV_H = Path("/usr/include/infiniband/efadv.h")

# Python class -> how a member's C name is formed.
C_NAMES = {
    enums.QPState: "IBV_QPS_{}",
    enums.WROpcode: "IBV_WR_{}",
    enums.SendFlags: "IBV_SEND_{}",
    enums.QPAttrMask: "IBV_QP_{}",
    enums.QPExSendOpsFlags: "IBV_QP_EX_WITH_{}",
    enums.CreateCQWCFlags: "IBV_WC_EX_WITH_{}",
    enums.WCStatus: "IBV_WC_{}",
    enums.WCOpcode: "IBV_WC_{}",
    enums.WCFlags: "IBV_WC_{}",
    enums.AccessFlags: "IBV_ACCESS_{}",
    enums.PortState: "IBV_PORT_{}",
    enums.MTU: "IBV_{}",
    enums.AsyncEventType: "IBV_EVENT_{}",
    enums.QPType: "IBV_QPT_{}",
    enums.EfaDeviceCaps: "EFADV_DEVICE_ATTR_CAPS_{}",
    enums.EfaWCFlags: "EFADV_WC_EX_{}",
    enums.EfaQPFlags: "EFADV_QP_FLAGS_{}",
}
SPECIAL = {
    (enums.CreateCQWCFlags, "STANDARD"): "IBV_WC_STANDARD_FLAGS",
    (enums.QPType, "SRD"): "IBV_QPT_DRIVER",
}


def c_name(cls, name: str) -> str:
    return SPECIAL.get((cls, name), C_NAMES[cls].format(name))


@pytest.fixture(scope="module")
def header_values(tmp_path_factory) -> dict[str, int]:
    members = [(cls, name) for cls in C_NAMES for name in cls.__members__]
    source = ["#include <cstdio>", '#include "efadv.hpp"', "int main() {"]
    for cls, name in members:
        symbol = c_name(cls, name)
        source.append(f'  std::printf("{symbol} %lld\\n", (long long){symbol});')
    source.append("}")
    work = tmp_path_factory.mktemp("enums")
    (work / "values.cpp").write_text("\n".join(source))
    subprocess.run(
        ["c++", "-std=c++20", f"-I{ROOT / 'include'}", "-o", str(work / "values"),
         str(work / "values.cpp")],
        check=True,
    )  # fmt: skip
    output = subprocess.run([str(work / "values")], capture_output=True, text=True, check=True)
    return {line.split()[0]: int(line.split()[1]) for line in output.stdout.splitlines()}


@pytest.mark.parametrize("cls", list(C_NAMES), ids=lambda cls: cls.__name__)
def test_values_match_headers(cls, header_values):
    for name, member in cls.__members__.items():
        assert int(member) == header_values[c_name(cls, name)], name


def test_libefa_caps_agree_with_the_system_header():
    # The system's libefa header may be older; whatever it declares must agree.
    declared = dict(
        re.findall(r"EFADV_DEVICE_ATTR_CAPS_(\w+)\s*=\s*1\s*<<\s*(\d+)", SYSTEM_EFADV_H.read_text())
    )
    assert declared
    for name, shift in declared.items():
        assert enums.EfaDeviceCaps[name] == 1 << int(shift)


def test_members_are_plain_ints():
    assert enums.SendFlags.SIGNALED | enums.SendFlags.INLINE == 10
    assert isinstance(enums.QPType.SRD, int) and enums.QPType.SRD == 255
    assert enums.MTU.MTU_4096.bytes == 4096
