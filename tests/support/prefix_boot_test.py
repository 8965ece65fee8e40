#!/usr/bin/env python3
"""A Wine prefix whose first boot fails is built once more from nothing; one that fails twice
is reported with the end of its log."""
import os
import stat
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts"))
import run_scenario  # noqa: E402

# Stand-ins for wine and wineserver: wineboot -i fails, as a DLL not found, while FAILS > 0.
WINE = """#!/bin/sh
echo "wine $*" >> "$WINEPREFIX.calls"
if [ "$2" = -i ] && [ $(cat "$FAILS") -gt 0 ]; then
    echo $(($(cat "$FAILS") - 1)) > "$FAILS"; echo "could not load kernel32.dll"; exit 53
fi
"""

failed = False
with tempfile.TemporaryDirectory() as work:
    for name, body in (("wine", WINE), ("wineserver", "#!/bin/sh\n")):
        path = os.path.join(work, name)
        with open(path, "w") as tool:
            tool.write(body)
        os.chmod(path, stat.S_IRWXU)
    os.environ["PATH"] = work + os.pathsep + os.environ["PATH"]
    os.environ["FAILS"] = os.path.join(work, "fails")
    for fails, boots, error in ((1, 3, None), (2, 2, "could not load kernel32.dll")):
        with open(os.environ["FAILS"], "w") as count:
            count.write(str(fails))
        prefix = run_scenario.Prefix(os.path.join(work, "prefix%d" % fails))
        try:
            prefix.create()
            raised = None
        except RuntimeError as e:
            raised = str(e)
        with open(prefix.path + ".calls") as calls:
            wineboots = calls.read().count("wine wineboot")
        if wineboots != boots or (raised is not None if error is None else error not in (raised or "")):
            failed = True
            print("%d failing boots: %d wineboot runs, raised %r" % (fails, wineboots, raised))
sys.exit(failed)
