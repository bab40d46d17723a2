"""The installable package: scripts/wheel gives an abi3 manylinux2014 x86_64
wheel (built with zig for glibc 2.17) carrying the stubs, the simulator and
the command-line tool and no library, which installs and imports in a fresh
virtual environment of every CPython >= 3.8 on the machine and scans from
there; the sdist carries what a build from source needs.

scripts/wheel runs once per session, into a cached build directory
($PLENKO_TQ_WHEEL_CACHE, default build/wheel-test), so later runs only
recompile what changed."""

import glob
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from test_interpreters import INTERPRETERS
from tqpaths import HERE, NETNS, REPO, SIM

CACHE = Path(os.environ.get("PLENKO_TQ_WHEEL_CACHE", REPO / "build" / "wheel-test")).resolve()

# The programs pip puts on PATH; never the build's own helpers.
PROGRAMS = ["plenko-tq", "plenko-tq-sim"]
SCRIPTS = "plenko_tq_api-0.2.1.data/scripts/"

# What the extension and the programs may load from the system: the C
# library. Never libpython (the interpreter provides the API symbols), nor a
# C++ runtime (zig's libc++ is linked in), nothing else.
ALLOWED_NEEDED = {
    "libm.so.6",
    "libc.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "ld-linux-x86-64.so.2",
}

IMPORT_CHECK = """
import sys, pathlib
import plenko_tq_api as tq
here = pathlib.Path(tq.__file__).resolve().parent
assert here == pathlib.Path(sys.argv[1]).resolve(), (here, sys.argv[1])
assert tq.get_api_version() == (0, 2, 1), tq.get_api_version()
assert tq.get_api_version_string() == "0.2.1"
assert tq.format_ean(0x7330130012345) == "73-30130-01234-5"
assert (here / "plenko_tq_api.pyi").is_file() and (here / "py.typed").is_file()
import plenko_tq_aio
assert pathlib.Path(plenko_tq_aio.__file__).resolve().parent == here / "plenko_tq_aio"
assert (here / "plenko_tq_aio" / "py.typed").is_file()
import plenko_tq_testing
assert pathlib.Path(plenko_tq_testing.__file__).resolve().parent == here / "plenko_tq_testing"
assert (here / "plenko_tq_testing" / "py.typed").is_file()
print("ok", *sys.version_info[:2])
"""


def run(cmd, **kwargs):
    kwargs.setdefault("timeout", 900)
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kwargs)
    assert proc.returncode == 0, f"{cmd} failed:\n{proc.stdout[-5000:]}\n{proc.stderr[-5000:]}"
    return proc


@pytest.fixture(scope="session")
def dist():
    """What scripts/wheel writes: the repaired wheel and the sdist."""
    out = CACHE / "dist"
    run([REPO / "scripts" / "wheel", "--platform", "manylinux2014_x86_64", "--out", out, "--build-dir", CACHE])
    return out


@pytest.fixture(scope="session")
def wheel(dist):
    wheels = list(dist.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="session")
def sdist(dist):
    archives = list(dist.glob("*.tar.gz"))
    assert len(archives) == 1, archives
    return archives[0]


def wheel_platform(wheel):
    name, version, python, abi, platform = wheel.stem.split("-")
    assert (name, version) == ("plenko_tq_api", "0.2.1")
    assert (python, abi) == ("cp38", "abi3")
    return platform


def test_wheel_is_one_abi3_manylinux2014_build_for_cpython_3_8_and_later(wheel):
    # A plain linux_x86_64 tag is refused by package indexes; pip before 20.3
    # knows only the legacy name.
    assert set(wheel_platform(wheel).split(".")) == {"manylinux2014_x86_64", "manylinux_2_17_x86_64"}, wheel.name


def test_wheel_holds_the_module_its_stubs_and_the_typed_marker(wheel):
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        metadata = z.read("plenko_tq_api-0.2.1.dist-info/METADATA").decode()
        stub = z.read("plenko_tq_api.pyi").decode()
        stub_package = z.read("plenko_tq_api-stubs/__init__.pyi").decode()
        entry_points = z.read("plenko_tq_api-0.2.1.dist-info/entry_points.txt").decode()
    assert {"plenko_tq_api.abi3.so", "plenko_tq_api.pyi", "py.typed", "plenko_tq_aio/py.typed",
            "plenko_tq_api-0.2.1.data/data/share/plenko-tq/wireshark/plenko_tq.lua"} <= names
    # The only Python code is the asyncio and testing packages, as in the source tree.
    assert sorted(n for n in names if n.endswith(".py")) == [
        "plenko_tq_aio/__init__.py", "plenko_tq_testing/__init__.py", "plenko_tq_testing/pytest_plugin.py"]
    assert "plenko_tq_testing/py.typed" in names
    assert sorted(n for n in names if n.startswith(SCRIPTS) and n != SCRIPTS) == [SCRIPTS + p for p in PROGRAMS]
    assert "[pytest11]\nplenko_tq = plenko_tq_testing.pytest_plugin" in entry_points
    assert stub == stub_package == (REPO / "src" / "python" / "plenko_tq_api.pyi").read_text()
    assert "Requires-Dist" not in metadata, "no Python packages are needed at run time"
    assert "Requires-Python: >=3.8" in metadata


@pytest.fixture(scope="session")
def unpacked(wheel, tmp_path_factory):
    folder = tmp_path_factory.mktemp("wheel")
    with zipfile.ZipFile(wheel) as z:
        z.extractall(folder)
    return folder


@pytest.fixture(scope="session")
def extension(unpacked):
    return unpacked / "plenko_tq_api.abi3.so"


@pytest.fixture(scope="session")
def programs(unpacked):
    return [unpacked / SCRIPTS / p for p in PROGRAMS]


def needed_libraries(elf):
    dynamic = run(["readelf", "-d", elf]).stdout
    return {line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line}


def test_wheel_carries_no_library_and_needs_only_the_c_library(wheel, extension, programs):
    with zipfile.ZipFile(wheel) as z:
        assert not [n for n in z.namelist() if ".libs/" in n]
    for elf in [extension, *programs]:
        assert needed_libraries(elf) <= ALLOWED_NEEDED, elf
    symbols = run(["nm", "-D", "--defined-only", extension]).stdout.split()
    assert [s for s in symbols if s.startswith("Py")] == ["PyInit_plenko_tq_api"]


def symbol_versions(elf, prefix):
    text = run(["objdump", "-T", elf]).stdout
    return [tuple(int(x) for x in v.split(".")) for v in set(re.findall(prefix + r"_([0-9.]+[0-9])", text))]


def test_wheel_runs_on_the_systems_the_install_guide_names(wheel, extension, programs):
    """pip takes the wheel wherever glibc is at least the tag's, the version
    the guide names; no libstdc++ is needed."""
    major, minor = re.search(r"manylinux_([0-9]+)_([0-9]+)_", wheel_platform(wheel)).groups()
    guide = (REPO / "docs" / "install.md").read_text()
    assert f"glibc {major}.{minor} or newer" in guide
    for elf in [extension, *programs]:
        assert max(symbol_versions(elf, "GLIBC")) <= (int(major), int(minor)), elf
        assert not symbol_versions(elf, "GLIBCXX"), elf


@pytest.fixture(scope="session")
def venvs(tmp_path_factory):
    """One fresh venv per interpreter, made on first use."""
    made = {}

    def venv(path):
        if path not in made:
            target = tmp_path_factory.mktemp("venv")
            run([path, "-m", "venv", target], timeout=300)
            made[path] = target
        return made[path]

    return venv


def site_packages(venv_python):
    return run([venv_python, "-I", "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"]).stdout.strip()


@pytest.mark.parametrize("major, minor, path", INTERPRETERS, ids=[f"{a}.{b}-{p}" for a, b, p in INTERPRETERS])
def test_wheel_installs_and_imports_in_a_fresh_venv(wheel, venvs, major, minor, path, tmp_path):
    python = venvs(path) / "bin" / "python"
    run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel], timeout=300)
    # Isolated mode from an unrelated directory: only the installed copy can be found.
    out = run([python, "-I", "-c", IMPORT_CHECK, site_packages(python)], cwd=tmp_path).stdout
    assert out.split() == ["ok", str(major), str(minor)]


# Runs in the venv of the installed wheel: the simulator it installed, and
# the command-line tool reaching it by address.
SIMULATOR_AND_CLI = """
import json, pathlib, subprocess, sys, sysconfig
import plenko_tq_testing
scripts = pathlib.Path(sysconfig.get_path("scripts"))
assert plenko_tq_testing.simulator_path() == scripts / "plenko-tq-sim", plenko_tq_testing.simulator_path()
with plenko_tq_testing.Simulator(devices=[{"serial_number": 4711}]) as sim:
    host, port = sim.address
    info = subprocess.run([str(scripts / "plenko-tq"), "info", "--address", f"{host}:{port}", "--json"],
                          capture_output=True, text=True, timeout=60)
assert info.returncode == 0, info.stderr
print("serial", json.loads(info.stdout)["serial"])
"""

# A user's test file, collected by pytest with the plugin the wheel registers.
PLUGIN_USER_TEST = """
import pathlib, plenko_tq_api, plenko_tq_testing
def test_device(tq_device):
    assert tq_device.get_serial_number() == 1001
    assert pathlib.Path(plenko_tq_api.__file__).parent == pathlib.Path({site!r})
    assert plenko_tq_testing.simulator_path() == pathlib.Path({bin!r}) / "plenko-tq-sim"
"""


def installed_env():
    """The environment without the build tree's module and simulator."""
    return {k: v for k, v in os.environ.items() if k not in ("PLENKO_TQ_SIM", "PLENKO_TQ_MODULE_DIR", "PYTHONPATH")}


def test_installed_wheel_runs_its_simulator_and_command_line_tool(wheel, venvs, tmp_path):
    venv = venvs(INTERPRETERS[-1][2])
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--force-reinstall", wheel], timeout=300)
    assert all(os.access(venv / "bin" / p, os.X_OK) for p in PROGRAMS), sorted(os.listdir(venv / "bin"))
    out = run([python, "-I", "-c", SIMULATOR_AND_CLI], cwd=tmp_path, env=installed_env()).stdout
    assert out.split() == ["serial", "4711"]


def test_installed_pytest_plugin_gives_the_fixtures(wheel, venvs, tmp_path):
    """pytest finds the plugin by the wheel's entry point alone (no -p); the
    fixtures run the venv's simulator. pytest comes from this interpreter:
    the fresh venv has no index to install it from."""
    venv = venvs(INTERPRETERS[-1][2])
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--force-reinstall", wheel], timeout=300)
    site = site_packages(python)
    (tmp_path / "test_user.py").write_text(PLUGIN_USER_TEST.format(site=site, bin=str(venv / "bin")))
    env = installed_env()
    env["PYTHONPATH"] = site
    env["PATH"] = f"{venv / 'bin'}{os.pathsep}{env.get('PATH', '')}"
    proc = run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--strict-markers", "test_user.py"],
               cwd=tmp_path, env=env)
    assert "1 passed" in proc.stdout


def test_installed_stubs_are_found_by_a_type_checker(wheel, venvs, tmp_path):
    """PEP 561: mypy, pointed at the venv's interpreter, takes the types from
    what the wheel installed (the stub-only package; no MYPYPATH)."""
    newest = INTERPRETERS[-1][2]
    python = venvs(newest) / "bin" / "python"
    run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--force-reinstall", wheel], timeout=300)
    script = tmp_path / "use.py"
    script.write_text("import plenko_tq_api as tq\nreveal_type(tq.create_client().scan_for_devices())\n")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--python-executable", str(python),
                           "--python-version", f"{sys.version_info[0]}.{sys.version_info[1]}",
                           "--cache-dir", str(tmp_path / "cache"), str(script)],
                          capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert re.search(r'Revealed type is "(builtins\.)?list\[plenko_tq_api\.Device\]"', proc.stdout), proc.stdout


def test_stubtest_passes_on_the_installed_copy(wheel, tmp_path):
    """The stubs the wheel installs match the module it installs (the one
    auditwheel rewrote), not only the build tree's."""
    target = tmp_path / "site"
    run([sys.executable, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--target", target, wheel])
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    env["PYTHONPATH"] = str(target)
    proc = run([sys.executable, "-m", "mypy.stubtest", "--allowlist", HERE / "test_stubs_allowlist.txt",
                "--mypy-config-file", tmp_path / "none.ini", "plenko_tq_api"], env=env, cwd=tmp_path)
    assert "Success: no issues found in 1 module" in proc.stdout


# Runs inside the private network namespace: the installed wheel finds the
# simulated device.
ADVERTISE_AND_SCAN = """
import datetime, subprocess, sys
from simulator import Simulator
python = sys.argv[1]
scan = '''
import datetime, plenko_tq_api as tq
client = tq.create_client()
for wait_ms in (300, 1000, 2000, 3000):
    found = [d.get_serial_number() for d in client.scan_for_devices_with_timeout(datetime.timedelta(milliseconds=wait_ms))]
    if 4711 in found:
        break
print("found", *found)
'''
with Simulator(devices=[{"serial_number": 4711}]):
    proc = subprocess.run([python, "-I", "-c", scan], capture_output=True, text=True, timeout=120)
sys.stdout.write(proc.stdout)
sys.stderr.write(proc.stderr)
sys.exit(proc.returncode)
"""


def test_installed_wheel_scans_for_a_simulated_device(wheel, venvs, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("network namespaces need root")
    if not SIM.exists():
        pytest.skip(f"simulator not built: {SIM}")
    python = venvs(INTERPRETERS[-1][2]) / "bin" / "python"
    run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--force-reinstall", wheel], timeout=300)
    proc = subprocess.run([str(NETNS), "--", sys.executable, "-c", ADVERTISE_AND_SCAN, str(python)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    if proc.returncode == 77:
        pytest.skip("scripts/netns could not create a namespace")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.split() == ["found", "4711"]


def older_interpreters():
    """The newest CPython 3 older than 3.8 that pyenv has, if any."""
    return sorted(glob.glob("/root/.pyenv/versions/3.[0-7].*/bin/python3"))[-1:]


@pytest.mark.parametrize("path", older_interpreters() or [pytest.param(None, marks=pytest.mark.skip("no CPython < 3.8"))])
def test_wheel_is_refused_by_cpython_older_than_3_8(wheel, venvs, path):
    python = venvs(path) / "bin" / "python"
    proc = subprocess.run([str(python), "-m", "pip", "install", "--no-index", "--no-deps", str(wheel)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode != 0
    assert "is not a supported wheel on this platform" in proc.stderr


def test_sdist_carries_every_tracked_file_a_build_needs(sdist):
    tracked = run(["git", "-C", REPO, "ls-files", "--", "CMakeLists.txt", "pyproject.toml", "README.md", "cmake",
                   "src", "tools"]).stdout.split()
    with tarfile.open(sdist) as tar:
        top = tar.getnames()[0].split("/")[0]
        names = {n[len(top) + 1:] for n in tar.getnames() if n.startswith(top + "/")}
    missing = [f for f in tracked if f not in names]
    assert not missing, missing
    assert {"src/python/plenko_tq_api.pyi", "src/python/py.typed", "PKG-INFO"} <= names
    assert not [n for n in names if n.split("/")[0] in (".git", ".venv") or n.startswith("build")]


def test_sdist_tree_configures_as_the_wheel_build_does(sdist, tmp_path):
    """CMake finds every directory and file it refers to in the unpacked sdist."""
    with tarfile.open(sdist) as tar:
        tar.extractall(tmp_path)
    (source,) = [p for p in tmp_path.iterdir() if p.is_dir()]
    run(["cmake", "-S", source, "-B", tmp_path / "build", "-DPLENKO_BUILD_TESTS=OFF", "-DPLENKO_BUILD_TOOLS=ON",
         "-DPLENKO_BUILD_PYTHON=ON", f"-DPython3_EXECUTABLE={sys.executable}"], timeout=300)
