#!/usr/bin/env bash
# Proves the package installs and works as a user gets it, offline: installs it
# with pip into a fresh venv (system site packages, no build isolation, no
# index), then, from outside the source tree, runs a publish/subscribe round
# trip between two processes and the README's example, type-checks both against
# the installed stubs and compares the stubs with the module.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"${PYTHON:-/usr/bin/python3}" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-build-isolation --no-index "$source_dir"

# Nothing of the source tree may be importable from here on.
cd "$work"
unset PYTHONPATH
python=$work/venv/bin/python

cat >round_trip.py <<'PY'
"""Publisher here, subscriber in a child process, over the installed package."""

import subprocess
import sys
from pathlib import Path

import qorva

SUBSCRIBER = """
import sys
import qorva
bus = qorva._RustBus("check", base_dir=sys.argv[1])
with bus.subscribe("round_trip", timeout_secs=30.0) as sub:
    for _ in range(int(sys.argv[2])):
        print(sub.recv_timeout(30.0))
"""


def main(base_dir: str) -> None:
    installed = Path(qorva.__file__).resolve()
    assert installed.is_relative_to(Path(sys.prefix).resolve()), f"not the installed package: {installed}"
    for typing_file in ("py.typed", "_qorva.pyi"):
        assert (installed.parent / typing_file).is_file(), f"{typing_file} not installed"
    assert not list(installed.parent.glob("_qorva_testing*")), "the test-only module was installed"
    messages = [b"message %d" % i for i in range(100)]
    bus = qorva._RustBus("check", base_dir=base_dir)
    publisher = bus.topic("round_trip")
    child = subprocess.Popen(
        [sys.executable, "-c", SUBSCRIBER, base_dir, str(len(messages))], stdout=subprocess.PIPE, text=True
    )
    try:
        publisher.wait_for_subscribers(1, timeout_secs=30.0)
        assert publisher.publish_many(messages) == len(messages)
        received, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, f"subscriber failed with {child.returncode}"
    assert received.splitlines() == [repr(m) for m in messages], received
    print(f"round trip: {len(messages)} messages through {installed.parent}")


main(sys.argv[1])
PY
"$python" round_trip.py "$work/bus"

# The README's first Python block is its publish/subscribe example; it uses
# the default base directory, so the topic is removed before and after.
awk '/^```python$/ {inside = 1; next} /^```$/ && inside {exit} inside' "$source_dir/README.md" >readme_example.py
clean_readme_topic() { "$python" -c 'import qorva; qorva._RustBus("readme").clean_topic("greetings")'; }
clean_readme_topic
output=$("$python" readme_example.py)
clean_readme_topic
[[ $output == "b'hello'" ]] || { echo "README example printed: $output" >&2; exit 1; }
echo "README example: $output"

"$python" -m mypy --strict --cache-dir "$work/mypy-cache" round_trip.py readme_example.py
"$python" -m mypy.stubtest qorva._qorva
