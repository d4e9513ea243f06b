"""Shared set-up of the Python tests.

The module registers its internal test hooks (``_test_*`` functions and the
``_Probe`` class, never in ``__all__``) only when QORVA_TEST_HOOKS is set at
import, so it is set here, before any test module imports qorva.
"""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

os.environ["QORVA_TEST_HOOKS"] = "1"

import qorva._qorva  # noqa: E402

PACKAGE_ROOT = Path(qorva._qorva.__file__).resolve().parent.parent


def run_python(code, *, hooks=True, env=None, timeout=60):
    """Runs code in a fresh interpreter that imports this build of qorva; returns its stdout."""
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_ROOT), child_env.get("PYTHONPATH")]))
    if not hooks:
        child_env.pop("QORVA_TEST_HOOKS", None)
    for name, value in (env or {}).items():  # None removes a variable
        if value is None:
            child_env.pop(name, None)
        else:
            child_env[name] = value
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=child_env,
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )
    assert done.returncode == 0, f"child failed ({done.returncode}):\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture
def module():
    return qorva._qorva
