"""HardwareProfile and profile_hardware(), with the GPU tools replaced by
fakes on PATH."""

from __future__ import annotations

import inspect
import json
import os

import pytest

from ferrolune import _ferrolune as native

from conftest import FakeTools

ROCM_HEADER = "device,Card series,Card model,VRAM Total Memory (B),VRAM Total Used Memory (B)\n"


def meminfo_total_mb() -> int:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) // 1024
    raise AssertionError("no MemTotal line")


@pytest.mark.parametrize("detect", [native.profile_hardware, native.HardwareProfile.detect])
def test_profile_without_gpu(detect, fake_tools: FakeTools) -> None:  # type: ignore[no-untyped-def]
    profile = detect()
    assert type(profile) is native.HardwareProfile
    assert profile.gpu_model is None
    assert profile.gpu_vram_mb is None
    assert 1 <= profile.cpu_cores <= len(os.sched_getaffinity(0))
    assert profile.ram_total_mb == meminfo_total_mb()
    assert repr(profile) == str(profile) == f"HardwareProfile(cpu_cores={profile.cpu_cores}, gpu=None)"
    text = profile.to_json()
    assert " " not in text.replace(json.loads(text)["cpu"]["brand"], "")
    data = json.loads(text)
    assert list(data) == ["cpu", "gpu", "ram"]
    assert list(data["cpu"]) == ["core_count", "brand", "simd_level"]
    assert data["cpu"]["core_count"] == profile.cpu_cores
    assert data["cpu"]["simd_level"] in {"None", "AVX", "AVX2", "AVX512"}
    assert data["gpu"] is None
    assert list(data["ram"]) == ["total_mb", "available_mb"]
    assert data["ram"]["total_mb"] == profile.ram_total_mb
    # The GPU member is null and the RAM object follows it directly.
    assert '"gpu":null,"ram":{' in text


def test_nvidia_card_from_nvidia_smi(fake_tools: FakeTools) -> None:
    fake_tools.add("nvidia-smi", "NVIDIA GeForce RTX 4090, 24564, 8.9\nNVIDIA GeForce RTX 3090, 24576, 8.6\n")
    fake_tools.add("rocm-smi", ROCM_HEADER + "card0,W7900,0x1,49152,0\n")
    profile = native.profile_hardware()
    assert profile.gpu_model == "NVIDIA GeForce RTX 4090"
    assert profile.gpu_vram_mb == 24564
    assert repr(profile) == f"HardwareProfile(cpu_cores={profile.cpu_cores}, gpu=NVIDIA GeForce RTX 4090)"
    assert json.loads(profile.to_json())["gpu"] == {
        "name": "NVIDIA GeForce RTX 4090",
        "vram_mb": 24564,
        "compute_capability": [8, 9],
        "vendor": "Nvidia",
    }
    assert fake_tools.args("nvidia-smi") == ["--query-gpu=name,memory.total,compute_cap", "--format=csv,noheader,nounits"]
    assert fake_tools.args("rocm-smi") is None


def test_unreadable_capability_keeps_the_card(fake_tools: FakeTools) -> None:
    fake_tools.add("nvidia-smi", "Tesla T4, 15360, [N/A]\n")
    gpu = json.loads(native.HardwareProfile.detect().to_json())["gpu"]
    assert gpu["name"] == "Tesla T4"
    assert gpu["compute_capability"] is None


@pytest.mark.parametrize(
    ("nvidia", "status"),
    [("", 9), ("NVIDIA GeForce RTX 4090, 24564, 8.9\n", 6), ("NVIDIA GeForce RTX 4090, [N/A], 8.9\n", 0)],
)
def test_amd_card_when_nvidia_gives_none(fake_tools: FakeTools, nvidia: str, status: int) -> None:
    fake_tools.add("nvidia-smi", nvidia, status)
    fake_tools.add("rocm-smi", ROCM_HEADER + "card0,Radeon RX 7900 XTX,0x744c,25753026560,0\n")
    profile = native.profile_hardware()
    assert profile.gpu_model == "Radeon RX 7900 XTX"
    assert profile.gpu_vram_mb == 24560
    gpu = json.loads(profile.to_json())["gpu"]
    assert gpu["compute_capability"] is None
    assert gpu["vendor"] == "Amd"


def test_brand_escaping_survives_json(fake_tools: FakeTools) -> None:
    fake_tools.add("nvidia-smi", 'Card "quoted" \\ back, 1024, 8.0\n')
    profile = native.profile_hardware()
    assert profile.gpu_model == 'Card "quoted" \\ back'
    assert json.loads(profile.to_json())["gpu"]["name"] == 'Card "quoted" \\ back'


@pytest.mark.parametrize("prop", ["cpu_cores", "gpu_model", "gpu_vram_mb", "ram_total_mb"])
def test_properties_are_read_only(prop: str, fake_tools: FakeTools) -> None:
    profile = native.profile_hardware()
    before = getattr(profile, prop)
    with pytest.raises(AttributeError):
        setattr(profile, prop, 1)
    with pytest.raises(AttributeError):
        delattr(profile, prop)
    assert getattr(profile, prop) == before


def test_no_other_attributes_can_be_added(fake_tools: FakeTools) -> None:
    with pytest.raises(AttributeError):
        native.profile_hardware().brand = "x"  # type: ignore[attr-defined]


def test_class_docs_and_member_order() -> None:
    cls = native.HardwareProfile
    assert cls.__doc__ == (
        "Python-facing wrapper around [`HardwareProfile`].\n\n"
        "Obtained via `PyHardwareProfile.detect()` or `profile_hardware()`."
    )
    assert [n for n in vars(cls) if not n.startswith("__")] == [
        "detect", "to_json", "cpu_cores", "gpu_model", "gpu_vram_mb", "ram_total_mb"
    ]
    assert cls.detect.__doc__ == "Detect the current machine's hardware and return a profile."
    assert cls.to_json.__doc__ == "Serialize the profile to a JSON string."
    assert str(inspect.signature(cls.detect)) == "()"
    assert cls.cpu_cores.__doc__ == "Number of logical CPU cores detected."
    assert cls.gpu_model.__doc__ == "GPU model name, or `None` if no GPU was detected."
    assert cls.gpu_vram_mb.__doc__ == "GPU VRAM in megabytes, or `None` if no GPU was detected."
    assert cls.ram_total_mb.__doc__ == "Total system RAM in megabytes."
    assert native.profile_hardware.__doc__ == (
        "Detect and return the current machine's hardware profile.\n\nEquivalent to `HardwareProfile.detect()`."
    )


@pytest.mark.parametrize("call", [lambda: native.HardwareProfile.detect(1), lambda: native.profile_hardware(gpu=1)])
def test_detect_takes_no_arguments(call) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(TypeError):
        call()
