"""Runs the examples of the README and of docs/*.md as a new user would, against the
simulated library.

    readme_test.py SOURCE_DIR WORK_DIR [demo|install|python|all]

Each example is a fenced block under a marker line "<!-- readme-test: NAME -->". Every C, C++,
Python and CMake block must carry one, so that no program reaches the documentation untried.
In a copy of the source tree, with a home of its own and nothing set for the libraries, the
steps run (each a CTest test of its own, so that each reports as it ends; each needs the ones
before it):
  demo     a fresh copy, make demo, the C quick start against its build, the tool quick start
  install  the install section (its /usr/local becomes a prefix under WORK_DIR), and the CMake
           consumer with the C++ quick start as its main.cpp
  python   the Python install section, and the Python examples with the interpreter of the
           virtual environment it made; then once more after pip installs the source tree
           itself, and with the package that the install section put into the prefix
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

EXAMPLES = {"c-quickstart", "c-build", "tool-quickstart", "install", "cmake-consumer",
            "cmake-build", "cpp-quickstart", "python-install", "python-quickstart",
            "python-timeouts", "python-asyncio"}
PROGRAM_LANGUAGES = {"c", "cpp", "c++", "python", "cmake"}
# What each example prints, checked as well as its exit status.
EXPECTED = {
    "c-build": r"QX-SIM-0001: words 0 to 262143, status 0\n",
    "tool-quickstart": r"(?s)QX-SIM-0001.*[|]hello[|].*Commands:",
    "cmake-build": r"words 0 to 262143, then 100000 and 100000 bytes",
    "python-quickstart": r"1 QX-SIM-0001\nb'hello'\n\(165, 0, 0\)\n",
    "python-timeouts": r"100 bytes arrived, none lost\nb'more'\n",
    "python-asyncio": r"timed out, nothing lost\nb'hello, world'\narrived QX-SIM-0001 True\n"
                      r"left QX-SIM-0001 True\n",
}
PYTHON_EXAMPLES = ("python-quickstart", "python-timeouts", "python-asyncio")
# The README's Debian commands: Debian's python3 and nothing of this machine's own on PATH.
PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
VENV = "quorix-env"  # the virtual environment of the Python install section, under ~
# The Debian package each module that an example imports comes from, beyond quorix and Python's own.
MODULE_PACKAGES = {"numpy": "python3-numpy"}


def blocks(text: str, where: str, found: dict[str, str]) -> None:
    """Adds the marked blocks of one page to found; fails on an unmarked program block, an
    unknown marker or a name used twice."""
    lines = text.splitlines()
    index = 0
    while index < len(lines):
        fence = re.match(r"^```(\S*)\s*$", lines[index])
        if not fence:
            index += 1
            continue
        if "```" not in lines[index + 1:]:
            raise SystemExit("%s line %d: a code block that never ends" % (where, index + 1))
        end = lines.index("```", index + 1)
        before = next((line for line in reversed(lines[:index]) if line.strip()), "")
        marker = re.match(r"^<!-- readme-test: (\S+) -->$", before)
        language = fence.group(1).lower()
        if marker:
            name = marker.group(1)
            if name not in EXAMPLES:
                raise SystemExit("%s line %d: unknown example %r" % (where, index + 1, name))
            if name in found:
                raise SystemExit("%s line %d: the example %r is there twice" % (where, index + 1, name))
            found[name] = "\n".join(lines[index + 1:end]) + "\n"
        elif language in PROGRAM_LANGUAGES:
            raise SystemExit("%s line %d: a %s block without a readme-test marker"
                             % (where, index + 1, language))
        index = end + 1


def examples(source: Path) -> dict[str, str]:
    """The marked blocks of the README and of docs/*.md, by name."""
    found: dict[str, str] = {}
    for page in [source / "README.md"] + sorted((source / "docs").glob("*.md")):
        blocks(page.read_text(encoding="utf-8"), str(page.relative_to(source)), found)
    missing = EXAMPLES - set(found)
    if missing:
        raise SystemExit("the documentation lacks the examples %s" % ", ".join(sorted(missing)))
    return found


def packages(tree: Path, target: str) -> set[str]:
    """The Debian packages that make TARGET installs on a fresh machine."""
    listed = subprocess.run(["make", "-s", "packages", "TARGET=" + target], cwd=tree,
                            capture_output=True, text=True, check=True).stdout
    return set(listed.split())


def copy_source(source: Path, target: Path) -> None:
    """The files a clone has (also new ones not yet committed), without any build."""
    # Root running make test in a user's clone: git only lists what the tree holds.
    listed = subprocess.run(["git", "-c", "safe.directory=" + str(source), "-C", str(source),
                             "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            capture_output=True, check=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        if (source / name).is_file():
            (target / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source / name, target / name)


class Runner:
    def __init__(self, work: Path) -> None:
        self.work = work
        self.prefix = work / "prefix"
        self.home = work / "home"
        self.home.mkdir(exist_ok=True)
        self.env = {key: value for key, value in os.environ.items()
                    if not key.startswith(("QUORIX_", "PYTHON", "MAKE", "MFLAGS", "VIRTUAL_ENV",
                                           "CMAKE_", "LD_LIBRARY_PATH"))}
        self.env.update(HOME=str(self.home), PATH=PATH)

    def run(self, title: str, command: list[str], cwd: Path, expected: str = "",
            **extra: str) -> str:
        start = time.monotonic()
        result = subprocess.run(command, cwd=cwd, env={**self.env, **extra}, capture_output=True,
                                text=True, timeout=2400)
        output = result.stdout + result.stderr
        log = self.work / ("%s.log" % re.sub(r"\W+", "-", title))
        log.write_text("$ %s\n%s" % (" ".join(command), output))
        print("%-58s exit %d, %5.1f s" % (title, result.returncode, time.monotonic() - start))
        if result.returncode != 0 or not re.search(expected, result.stdout):
            print(output[-6000:])
            raise SystemExit("%s failed%s; the whole output is in %s"
                             % (title, "" if result.returncode else ": expected " + repr(expected), log))
        return result.stdout

    def shell(self, title: str, block: str, cwd: Path, expected: str = "") -> str:
        # The README's prefix becomes the test's own: nothing is installed into the system.
        script = block.replace("/usr/local", str(self.prefix))
        return self.run(title, ["bash", "-euo", "pipefail", "-c", script], cwd, expected)


def step_demo(source: Path, work: Path, found: dict[str, str]) -> None:
    """A fresh copy, make demo, then the C and the tool quick starts in it."""
    shutil.rmtree(work, ignore_errors=True)
    tree = work / "src"
    tree.mkdir(parents=True)
    copy_source(source, tree)
    runner = Runner(work)
    demo = runner.run("make demo", ["make", "demo"], tree)
    # Its next steps use only what make demo installs on a fresh machine.
    if "python3" in demo and "python3" not in packages(tree, "demo"):
        raise SystemExit("make demo's next steps use python3, which make demo does not install")
    (tree / "first.c").write_text(found["c-quickstart"])
    print(runner.shell("C quick start", found["c-build"], tree, EXPECTED["c-build"]), end="")
    runner.shell("the tool's quick start", found["tool-quickstart"], tree,
                 EXPECTED["tool-quickstart"])


def step_install(work: Path, found: dict[str, str]) -> None:
    """make install into a prefix after make demo, and another CMake project built against it."""
    tree = work / "src"
    runner = Runner(work)
    shutil.rmtree(runner.prefix, ignore_errors=True)
    runner.shell("install", found["install"], tree)
    app = work / "app"
    shutil.rmtree(app, ignore_errors=True)
    app.mkdir()
    (app / "CMakeLists.txt").write_text(found["cmake-consumer"])
    (app / "main.cpp").write_text(found["cpp-quickstart"])
    built = runner.shell("CMake consumer with the C++ quick start", found["cmake-build"],
                         work, EXPECTED["cmake-build"])
    print(built.splitlines()[-1])


def step_python(work: Path, found: dict[str, str]) -> None:
    """The Python package installed as the README says, then its examples, run from elsewhere."""
    tree = work / "src"
    runner = Runner(work)
    shutil.rmtree(runner.home / VENV, ignore_errors=True)
    # What the examples import comes with make wheel's packages on a fresh machine.
    wheel_packages = packages(tree, "wheel")
    for name in PYTHON_EXAMPLES:
        for module in re.findall(r"^(?:import|from) (\w+)", found[name], re.MULTILINE):
            if module in MODULE_PACKAGES and MODULE_PACKAGES[module] not in wheel_packages:
                raise SystemExit("the example %s imports %s, and make wheel does not install %s"
                                 % (name, module, MODULE_PACKAGES[module]))
    runner.shell("Python install (make wheel, venv, pip)", found["python-install"], tree)
    elsewhere = work / "elsewhere"
    shutil.rmtree(elsewhere, ignore_errors=True)
    elsewhere.mkdir()
    interpreters: list[tuple[str, list[str], dict[str, str]]] = [
        ("the README's venv", [str(runner.home / VENV / "bin" / "python")], {})]

    # pip install of the source tree into a fresh virtual environment.
    shutil.rmtree(work / "venv-src", ignore_errors=True)
    runner.run("python3 -m venv --system-site-packages venv-src",
               ["python3", "-m", "venv", "--system-site-packages", str(work / "venv-src")], work)
    print(runner.run("pip install --no-build-isolation SOURCE_TREE",
                     [str(work / "venv-src" / "bin" / "pip"), "install", "--no-build-isolation",
                      str(tree)], work).splitlines()[-1])
    interpreters.append(("the source tree's venv", [str(work / "venv-src" / "bin" / "python")], {}))

    # The package that make install put where Debian's python3 looks under the prefix.
    installed = sorted(runner.prefix.glob("lib/python3*/*-packages/quorix"))
    if not installed:
        raise SystemExit("make install put no Python package under %s" % runner.prefix)
    interpreters.append(("make install's package", ["/usr/bin/python3", "-B"],
                         {"PYTHONPATH": str(installed[0].parent)}))

    for label, interpreter, extra in interpreters:
        for name in PYTHON_EXAMPLES:
            script = work / (name + ".py")
            script.write_text(found[name])
            print(runner.run("%s, with %s" % (name, label), interpreter + [str(script)],
                             elsewhere, EXPECTED[name], **extra), end="")


def main() -> None:
    source, work = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    step = sys.argv[3] if len(sys.argv) > 3 else "all"
    if step not in ("demo", "install", "python", "all"):
        raise SystemExit("usage: readme_test.py SOURCE_DIR WORK_DIR [demo|install|python|all]")
    found = examples(source)
    if step in ("demo", "all"):
        step_demo(source, work, found)
    if not (work / "src" / "build" / "demo").is_dir():
        raise SystemExit("%s has no make demo: run the demo step first" % work)
    if step in ("install", "all"):
        step_install(work, found)
    if step in ("python", "all"):
        step_python(work, found)
    print("the %s step of the documentation's %d examples passed" % (step, len(found)))


if __name__ == "__main__":
    main()
