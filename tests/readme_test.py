"""Runs the README's examples as a new user would, against the simulated library.

    readme_test.py SOURCE_DIR WORK_DIR

Each example is a fenced block under a marker line "<!-- readme-test: NAME -->". Every C++,
Python and CMake block must carry one, so that no program reaches the README untried. In a
copy of the source tree, with a home of its own and nothing set for the libraries, it runs:
make demo, then the install section (its /usr/local becomes a prefix under WORK_DIR), the
CMake consumer with the C++ quick start as its main.cpp, the Python install section, and the
Python examples with the interpreter of the virtual environment that section made; then the
same examples once more after pip installs the source tree itself, and with the package that
the install section put into the prefix.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

EXAMPLES = {"install", "cmake-consumer", "cmake-build", "cpp-quickstart", "python-install",
            "python-quickstart", "python-timeouts"}
PROGRAM_LANGUAGES = {"cpp", "c++", "python", "cmake"}
# What each example prints, checked as well as its exit status.
EXPECTED = {
    "cmake-build": r"words 0 to 262143, then 100000 and 100000 bytes",
    "python-quickstart": r"1 QX-SIM-0001\nb'hello'\n\(165, 0, 0\)\n",
    "python-timeouts": r"100 bytes arrived, none lost\nb'more'\n",
}
# The README's Debian commands: Debian's python3 and nothing of this machine's own on PATH.
PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
VENV = "quorix-env"  # the virtual environment of the Python install section, under ~


def examples(readme: str) -> dict[str, str]:
    """The marked blocks by name; fails on an unmarked program block or an unknown marker."""
    found: dict[str, str] = {}
    lines = readme.splitlines()
    index = 0
    while index < len(lines):
        fence = re.match(r"^```(\S*)\s*$", lines[index])
        if not fence:
            index += 1
            continue
        end = lines.index("```", index + 1)
        before = next((line for line in reversed(lines[:index]) if line.strip()), "")
        marker = re.match(r"^<!-- readme-test: (\S+) -->$", before)
        language = fence.group(1).lower()
        if marker:
            name = marker.group(1)
            if name not in EXAMPLES:
                raise SystemExit("README line %d: unknown example %r" % (index, name))
            found[name] = "\n".join(lines[index + 1:end]) + "\n"
        elif language in PROGRAM_LANGUAGES:
            raise SystemExit("README line %d: a %s block without a readme-test marker"
                             % (index + 1, language))
        index = end + 1
    missing = EXAMPLES - set(found)
    if missing:
        raise SystemExit("README lacks the examples %s" % ", ".join(sorted(missing)))
    return found


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
        self.home.mkdir()
        self.env = {key: value for key, value in os.environ.items()
                    if not key.startswith(("QUORIX_", "PYTHON", "MAKE", "MFLAGS", "VIRTUAL_ENV",
                                           "CMAKE_", "LD_LIBRARY_PATH"))}
        self.env.update(HOME=str(self.home), PATH=PATH)

    def run(self, title: str, command: list[str], cwd: Path, expected: str = "",
            **extra: str) -> str:
        start = time.monotonic()
        result = subprocess.run(command, cwd=cwd, env={**self.env, **extra}, capture_output=True,
                                text=True, timeout=1200)
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


def main() -> None:
    source, work = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    found = examples((source / "README.md").read_text(encoding="utf-8"))
    shutil.rmtree(work, ignore_errors=True)
    tree = work / "src"
    tree.mkdir(parents=True)
    copy_source(source, tree)
    runner = Runner(work)

    # The install section after make demo alone, and another CMake project built against it.
    runner.run("make demo", ["make", "demo"], tree)
    runner.shell("README: install", found["install"], tree)
    app = work / "app"
    app.mkdir()
    (app / "CMakeLists.txt").write_text(found["cmake-consumer"])
    (app / "main.cpp").write_text(found["cpp-quickstart"])
    built = runner.shell("README: CMake consumer with the C++ quick start", found["cmake-build"],
                         work, EXPECTED["cmake-build"])
    print(built.splitlines()[-1])

    # The Python package installed as the README says, then its examples, run from elsewhere.
    runner.shell("README: Python install (make wheel, venv, pip)", found["python-install"], tree)
    elsewhere = work / "elsewhere"
    elsewhere.mkdir()
    interpreters: list[tuple[str, list[str], dict[str, str]]] = [
        ("the README's venv", [str(runner.home / VENV / "bin" / "python")], {})]

    # pip install of the source tree into a fresh virtual environment.
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
        for name in ("python-quickstart", "python-timeouts"):
            script = work / (name + ".py")
            script.write_text(found[name])
            print(runner.run("README: %s, with %s" % (name, label), interpreter + [str(script)],
                             elsewhere, EXPECTED[name], **extra), end="")
    print("%d examples of the README ran" % len(found))


if __name__ == "__main__":
    main()
