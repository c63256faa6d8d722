"""Every --json document of the quorix tool, on success and on failure, against its schema.

    json_schema_test.py TOOL SCHEMA FIRMWARE_DIR

Runs the tool on the simulated board in a folder of its own and validates each document with
Debian's python3-jsonschema against the definition the command's documents must follow.
"""

import json
import queue
import re
import signal
import subprocess
import sys
import tempfile
import threading
from pathlib import Path
from typing import Any

import jsonschema

TOOL, SCHEMA, FIRMWARE = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3])
schema = json.loads(SCHEMA.read_text())
jsonschema.Draft202012Validator.check_schema(schema)
failures: list[str] = []
covered: set[str] = set()


def run(folder: Path, words: str, exit_status: int, kind: str) -> Any:
    """The one document the command prints, checked against $defs/kind."""
    arguments = [TOOL, "--sim", "--sim-state", "board.state", "--json", *words.split()]
    done = subprocess.run(arguments, cwd=folder, capture_output=True, text=True, timeout=60)
    lines = done.stdout.splitlines()
    what = f"quorix --json {words}"
    if done.returncode != exit_status:
        failures.append(f"{what}: exit status {done.returncode}, not {exit_status}: {done.stderr}")
    if len(lines) != 1:
        failures.append(f"{what}: {len(lines)} lines on stdout, not one document: {done.stdout!r}")
        return None
    document = json.loads(lines[0])
    validator = jsonschema.Draft202012Validator({"$defs": schema["$defs"],
                                                 "$ref": f"#/$defs/{kind}"})
    for error in validator.iter_errors(document):
        failures.append(f"{what}: not a {kind} document: {error.message} at "
                        f"{'/'.join(map(str, error.absolute_path))}")
    # The document as a whole also passes the published schema.
    if not jsonschema.Draft202012Validator(schema).is_valid(document):
        failures.append(f"{what}: not valid against the whole schema")
    if exit_status != 0 and "error" not in document:
        failures.append(f"{what}: failed without an error object")
    return document


with tempfile.TemporaryDirectory() as name:
    folder = Path(name)
    blink = FIRMWARE / "blink.hex"

    covered.add("list")
    run(folder, "list", 0, "list")
    run(folder, "list --probe", 0, "list")
    run(folder, "--sim-boards 0 list", 0, "list")
    failed = run(folder, "--sim-boards 65 list", 2, "failure")
    if failed and (failed["error"]["status"], failed["error"]["name"]) != (None, "bad_arguments"):
        failures.append(f"bad arguments reported as {failed['error']}")

    covered.add("info")
    info = run(folder, "info", 0, "info")
    run(folder, "-d 3 info", 1, "failure")

    covered.add("eeprom read")
    run(folder, "eeprom read 0x1ff8 8", 0, "eeprom_read")
    run(folder, "eeprom read 0 4 -o four.bin", 0, "eeprom_read")
    stalled = run(folder, "eeprom read 0 4 --select 9", 1, "failure")
    if stalled and (stalled["error"]["status"], stalled["error"]["name"]) != (31, "ERROR_GEN_FAILURE"):
        failures.append(f"a stalled request reported as {stalled['error']}")

    covered.add("firmware check")
    run(folder, f"firmware check {blink}", 0, "firmware_check")
    run(folder, f"firmware check {FIRMWARE / 'blink.c'}", 1, "firmware_check")
    run(folder, "firmware check missing.hex", 1, "failure")

    covered.add("startup get")
    run(folder, "startup get", 0, "startup_get")
    subprocess.run([TOOL, "--sim", "--sim-state", "board.state", "startup", "set", "mode 1"],
                   cwd=folder, check=True, capture_output=True)
    stored = run(folder, "startup get", 0, "startup_get")
    info = run(folder, "info", 0, "info")
    if stored and info and stored["startup_area"] != info["startup_area"]:
        failures.append(f"startup_area differs: {stored['startup_area']} and {info['startup_area']}")
    if stored and stored["command"] != {"hex": "6d6f64652031", "text": "mode 1"}:
        failures.append(f"startup get: command {stored['command']}")
    run(folder, "--sim-boards 0 startup get", 1, "failure")
    # A stored length that runs past the area.
    subprocess.run([TOOL, "--sim", "--sim-state", "board.state", "eeprom", "write", "0x1000",
                    "ffff"], cwd=folder, check=True, capture_output=True)
    run(folder, "startup get", 1, "startup_get")
    # Without the area (its flag at 0x1ffd cleared), in both.
    subprocess.run([TOOL, "--sim", "--sim-state", "board.state", "eeprom", "write", "--force",
                    "0x1ffd", "00"], cwd=folder, check=True, capture_output=True)
    none = run(folder, "startup get", 0, "startup_get")
    if none and (none["startup_area"], none["command"]) != (None, None):
        failures.append(f"startup get without an area: {none}")
    run(folder, "info", 0, "info")

    covered.add("stream")
    run(folder, "stream -n 1MiB -o one.bin --check-counter", 0, "stream")
    timed_out = run(folder, "--sim-rate 0 --timeout 20 stream -n 1000 -o never.bin", 1, "stream")
    if timed_out and timed_out.get("error", {}).get("name") != "QUORIX_ERR_TIMEOUT":
        failures.append(f"a stream that timed out: {timed_out}")

    # watch: a document per event, a line each, as the simulated bus changes through stdin;
    # each line is awaited before the next change.
    covered.add("watch")
    watch = subprocess.Popen([TOOL, "--sim", "--sim-boards", "2", "--json", "watch",
                              "--enumerate"], cwd=folder, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert watch.stdin is not None and watch.stdout is not None
    lines: "queue.Queue[str]" = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in watch.stdout], daemon=True).start()
    events: list[Any] = []
    validator = jsonschema.Draft202012Validator({"$defs": schema["$defs"],
                                                 "$ref": "#/$defs/watch_event"})
    for change in ["", "", "unplug QX-SIM-0001\n", "plug QX-SIM-0003\n"]:
        watch.stdin.write(change)
        watch.stdin.flush()
        try:
            document = json.loads(lines.get(timeout=60))
        except queue.Empty:
            failures.append(f"watch: no event after {change!r}")
            break
        events.append((document["event"], document["serial"]))
        failures.extend(f"watch: not a watch_event document: {error.message}"
                        for error in validator.iter_errors(document))
    watch.send_signal(signal.SIGINT)
    if watch.wait(timeout=60) != 0:
        failures.append(f"watch: exit status {watch.returncode} at Ctrl-C")
    if events != [("arrived", "QX-SIM-0001"), ("arrived", "QX-SIM-0002"),
                  ("left", "QX-SIM-0001"), ("arrived", "QX-SIM-0003")]:
        failures.append(f"watch: events {events}")

    # Refused command lines are documents too.
    run(folder, "list --bogus", 2, "failure")
    run(folder, "portd get", 2, "failure")

# The commands that offer --json, as the help names them, are the ones checked above.
help_text = " ".join(subprocess.run([TOOL, "--help"], capture_output=True, text=True,
                                    check=True).stdout.split())
offered = re.search(r"--json JSON on stdout: one document \(([^)]*)\), or one document per "
                    r"event, a line each \(([^)]*)\)", help_text)
if offered is None:
    failures.append("--help does not name the commands that offer --json")
elif set(", ".join(offered.groups()).split(", ")) != covered:
    failures.append(f"--json is offered by {offered.groups()}; checked: {sorted(covered)}")

for failure in failures:
    print(failure)
print(f"{len(failures)} documents or commands off the schema")
sys.exit(1 if failures else 0)
