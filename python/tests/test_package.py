"""The package as a user meets it: what it exports, its documentation, where it finds the
library."""

import dataclasses
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
from typing import Any

import pytest

import quorix
from quorix import sim

PACKAGE = pathlib.Path(quorix.__file__).parent


def public_callables() -> list[tuple[str, Any]]:
    found: list[tuple[str, Any]] = []
    for module in (quorix, sim):
        for name, value in vars(module).items():
            if name.startswith("_") or not callable(value):
                continue
            if getattr(value, "__module__", "").split(".")[0] != "quorix":
                continue
            found.append((module.__name__ + "." + name, value))
            if inspect.isclass(value):
                for member, attribute in vars(value).items():
                    if member.startswith("_") and member not in ("__init__", "__enter__", "__exit__"):
                        continue
                    if member == "__init__" and dataclasses.is_dataclass(value):
                        continue  # made from the fields, which the class's docstring explains
                    if isinstance(attribute, property):
                        found += [("%s.%s.%s" % (module.__name__, name, member), f)
                                  for f in (attribute.fget, attribute.fset) if f is not None]
                    elif callable(attribute) or isinstance(attribute, staticmethod):
                        found.append(("%s.%s.%s" % (module.__name__, name, member), attribute))
    return found


def test_every_public_callable_says_what_it_does() -> None:
    callables = public_callables()
    assert len(callables) > 60
    # Their own docstrings: inspect.getdoc would take an undocumented method's from its base.
    undocumented = [name for name, value in callables
                    if not (getattr(value, "__func__", value).__doc__ or "").strip()]
    assert undocumented == []


def test_star_import_leaves_the_builtins_alone() -> None:
    namespace: dict[str, Any] = {}
    exec("from quorix import *", namespace)
    assert "open" not in namespace and "TimeoutError" not in namespace
    assert "Device" in namespace and "QuorixError" in namespace
    assert callable(quorix.open) and issubclass(quorix.TimeoutError, TimeoutError)
    assert (PACKAGE / "py.typed").is_file()


def run_python(code: str, package_root: pathlib.Path, **environment: str) -> subprocess.CompletedProcess[str]:
    env = {key: value for key, value in os.environ.items()
           if key not in ("QUORIX_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    env.update(environment, PYTHONPATH=str(package_root), PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=60)


def test_the_library_is_looked_for_in_the_documented_order(tmp_path: pathlib.Path) -> None:
    built = quorix.load(simulated=True).path  # the build's, from QUORIX_LIBRARY
    name = quorix.library_name(simulated=True)
    assert name == "libquorix-sim.so.1"
    shutil.copytree(PACKAGE, tmp_path / "site" / "quorix",
                    ignore=shutil.ignore_patterns("__pycache__", "_lib", "_library_dir.txt"))
    package = tmp_path / "site" / "quorix"
    show = "import quorix; print(quorix.load(simulated=True).path); print(quorix.count())"

    # Nothing of its own and none on the system's path: the error says what was tried.
    missing = run_python(show, tmp_path / "site")
    assert missing.returncode != 0
    assert "cannot load the Quorix library libquorix-sim.so.1" in missing.stderr
    assert "QUORIX_LIBRARY" in missing.stderr

    # The folder cmake --install names, relative to the package.
    (tmp_path / "lib").mkdir()
    shutil.copy(built, tmp_path / "lib" / name)
    (package / "_library_dir.txt").write_text("../../lib\n")
    found = run_python(show, tmp_path / "site")
    assert found.stdout.split() == [str(package / "../../lib" / name), "1"], found.stderr

    # A wheel's copy inside the package comes first.
    (package / "_lib").mkdir()
    shutil.copy(built, package / "_lib" / name)
    found = run_python(show, tmp_path / "site")
    assert found.stdout.split()[0] == str(package / "_lib" / name)

    # QUORIX_LIBRARY over both, and a path given over everything.
    assert run_python(show, tmp_path / "site", QUORIX_LIBRARY=built).stdout.split()[0] == built
    given = "import pathlib, quorix; print(quorix.load(pathlib.Path(%r)).path)" % built
    assert run_python(given, tmp_path / "site", QUORIX_LIBRARY="/nowhere.so").stdout.split() == [built]
