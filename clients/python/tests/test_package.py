"""The package installs offline with Debian's setuptools (pip --no-index
--no-build-isolation), imports from where it is installed, and carries the
project's version."""

import os
import re
import shutil
import subprocess

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
