"""Every Python snippet of the README and of the documentation runs as
shown: in a private /dev with a simulated arm linked at /dev/ttyACM0 and a
simulated handle at /dev/ttyUSB0, as the documentation's own instructions
make them (see private_dev.py)."""

from __future__ import annotations

import json

import pytest

from private_dev import run
from snippets import snippets

# Its tests start interpreters and simulators, or draw with Matplotlib: far
# slower on a loaded machine than the default bound allows for.
pytestmark = [pytest.mark.timeout(60), pytest.mark.python_output]

SNIPPETS = snippets()


@pytest.mark.parametrize("title, files", SNIPPETS, ids=[t for t, _ in SNIPPETS])
def test_snippet_runs_as_shown(title, files):
    r = run(
        f"""
        import tempfile
        sim("arm", "--link", "/dev/ttyACM0")
        sim("handle", "--link", "/dev/ttyUSB0")
        files = json.loads({json.dumps(json.dumps(files))})
        work = tempfile.mkdtemp()
        for name, source in files.items():
            with open(os.path.join(work, name), "w") as f:
                f.write(source)
        if "conftest.py" in files:
            command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", work]
        else:
            command = [sys.executable, os.path.join(work, "snippet.py")]
        done = subprocess.run(command, capture_output=True, text=True, timeout=60, cwd=work)
        report(code=done.returncode, out=done.stdout, err=done.stderr)
        """
    )
    assert r["code"] == 0, f"{title}:\n{r['out']}\n{r['err']}"
    assert "Traceback" not in r["err"]
