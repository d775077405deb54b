"""The includes of src/ and the imports of python/ follow ARCHITECTURE.md.

The allowed arrows are read from the document's tables, so the picture and
the code cannot drift apart silently.
"""
from __future__ import annotations

import ast
import shutil
import subprocess
import sys
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
DOC = ROOT / "ARCHITECTURE.md"
TOOLS = ROOT / "python" / "skarvo_tools"

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
PYTHON_HEADERS = ("Python.h", "pybind11/", "numpy/")


def _table(heading: str) -> list[list[str]]:
    """Rows (cells stripped) of the first table under `heading` in the document."""
    text = DOC.read_text(encoding="utf-8")
    section = text.split(f"## {heading}\n", 1)[1].split("\n## ", 1)[0]
    rows = [line for line in section.splitlines() if line.startswith("|")]
    return [[c.strip() for c in row.strip("|").split("|")] for row in rows[2:]]


def _names(cell: str) -> list[str]:
    return re.findall(r"`([^`]+)`", cell)


def allowed_includes() -> dict[str, set[str]]:
    return {_names(row[0])[0]: set(_names(row[-1])) for row in _table("Rooms of the core")}


def tool_rooms() -> dict[str, int]:
    return {name: int(row[0]) for row in _table("Rooms of the tools") for name in _names(row[1])}


def include_violations(files: dict[str, str], allowed: dict[str, set[str]]) -> list[str]:
    """Arrows the rooms forbid, for files given as {path under src/: text}."""
    out = []
    for path, text in sorted(files.items()):
        room = path.split("/", 1)[0]
        if room not in allowed:
            out.append(f"{path}: in no room of the document")
            continue
        for bracket, target in INCLUDE.findall(text):
            if bracket == "<":
                if room != "python" and target.startswith(PYTHON_HEADERS):
                    out.append(f"{path}: includes <{target}> outside the binding")
                continue
            to = target.split("/", 1)[0]
            if to != room and to not in allowed[room]:
                out.append(f"{path}: {room} -> {to} ({target})")
    return out


def _imported(node: ast.AST, package_parts: int) -> list[str]:
    """Tools modules a node imports (first component under skarvo_tools)."""
    if isinstance(node, ast.ImportFrom):
        if node.level == 0:
            mod = node.module or ""
            if not mod.startswith("skarvo_tools"):
                return []
            parts = mod.split(".")[1:]
        else:
            # Relative to the importing module's package.
            if node.level > package_parts:
                return []
            parts = (node.module or "").split(".") if node.module else []
            if node.level < package_parts:
                return ["<inside>"]
        if parts and parts[0]:
            return [parts[0]]
        return [alias.name.split(".")[0] for alias in node.names]
    if isinstance(node, ast.Import):
        return [a.name.split(".")[1] for a in node.names if a.name.startswith("skarvo_tools.")]
    return []


def import_violations(files: dict[str, str], rooms: dict[str, int]) -> list[str]:
    """Imports the rooms forbid, for files given as {path under skarvo_tools/: text}."""
    out = []
    for path, text in sorted(files.items()):
        parts = path.split("/")
        me = parts[0].removesuffix(".py")
        if me not in rooms and me != "__init__":
            out.append(f"{path}: in no room of the document")
            continue
        for node in ast.walk(ast.parse(text, filename=path)):
            for other in _imported(node, len(parts)):
                if other in ("<inside>", me, "__init__", "__version__"):
                    continue
                if other not in rooms:
                    out.append(f"{path}: imports {other}, in no room of the document")
                elif me == "__init__" or rooms[other] > rooms[me]:
                    out.append(f"{path}: room {rooms.get(me, 0)} imports {other} (room {rooms[other]})")
    return out


def _sources() -> dict[str, str]:
    src = ROOT / "src"
    return {p.relative_to(src).as_posix(): p.read_text(encoding="utf-8")
            for p in sorted(src.rglob("*")) if p.suffix in (".cpp", ".hpp")}


def _tools() -> dict[str, str]:
    return {p.relative_to(TOOLS).as_posix(): p.read_text(encoding="utf-8") for p in sorted(TOOLS.rglob("*.py"))}


def test_core_includes_follow_the_rooms():
    assert include_violations(_sources(), allowed_includes()) == []


def test_tools_imports_follow_the_rooms():
    assert import_violations(_tools(), tool_rooms()) == []


def test_the_module_never_reaches_the_tools():
    assert [p for p, text in _sources().items() if "skarvo_tools" in text] == []


def _core_check(files):
    return include_violations(files, allowed_includes())


def _tools_check(files):
    return import_violations(files, tool_rooms())


PLANTED = [
    (_sources, _core_check, "navigation/sky.cpp", '#include "rinex/types.hpp"', "navigation -> rinex"),
    (_sources, _core_check, "navigation/sp3.hpp", '#include "analysis/multipath.hpp"', "navigation -> analysis"),
    (_sources, _core_check, "utils/time.cpp", '#include "io/input.hpp"', "utils -> io"),
    (_sources, _core_check, "analysis/fft.cpp", "#include <pybind11/numpy.h>", "outside the binding"),
    (_sources, _core_check, "rinex/obs_reader.cpp", '#include "python/common.hpp"', "rinex -> python"),
    (_tools, _tools_check, "report.py", "from . import cli", "imports cli"),
    (_tools, _tools_check, "errors.py", "import skarvo_tools.report", "imports report"),
    (_tools, _tools_check, "tables.py", "def f():\n    from .archive import run", "imports archive"),
    (_tools, _tools_check, "sp3files.py", "from skarvo_tools.plots import _figure", "imports plots"),
]


@pytest.mark.parametrize("files, check, path, line, expected", PLANTED, ids=[p[-1] for p in PLANTED])
def test_a_planted_wrong_arrow_is_caught(files, check, path, line, expected):
    tree = files()
    before = set(check(tree))
    tree[path] = line + "\n" + tree[path]
    found = [v for v in check(tree) if v not in before]
    assert len(found) == 1 and expected in found[0] and found[0].startswith(path)


def test_every_room_of_the_document_exists():
    rooms = {p.name for p in (ROOT / "src").iterdir() if p.is_dir()}
    assert set(allowed_includes()) == rooms
    modules = {p.stem if p.is_file() else p.name for p in TOOLS.iterdir()
               if (p.suffix == ".py" or (p / "__init__.py").exists()) and p.stem != "__init__"}
    assert set(tool_rooms()) == modules


def test_another_pybind11_fails_the_build_clearly(tmp_path):
    # The binding patches pybind11 internals; configuring against another
    # series must stop with a message saying which one to install.
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    fake = tmp_path / "pybind11"
    fake.mkdir()
    (fake / "pybind11Config.cmake").write_text("set(pybind11_FOUND TRUE)\nset(pybind11_VERSION 2.13.6)\n")
    run = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path / "build"), f"-Dpybind11_DIR={fake}",
                          f"-DPython_EXECUTABLE={sys.executable}"], capture_output=True, text=True)
    assert run.returncode != 0
    assert "tested with pybind11 3.1.x" in run.stderr and "found pybind11 2.13.6" in run.stderr
    assert "pip install 'pybind11>=3.1,<3.2'" in run.stderr.replace("\n", " ")
