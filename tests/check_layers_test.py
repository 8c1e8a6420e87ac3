#!/usr/bin/env python3
"""scripts/check-layers on small made-up trees: it passes a tree whose
includes point down and fails one with an include that points up, a circle
between two units or two folders, or a folder without a layer, naming the include."""
import os
import subprocess
import sys
import tempfile

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "check-layers")

CASES = [
    # (name, files {path: text}, exit status, text the output must hold)
    ("downward includes pass",
     {"src/base/host.h": "", "src/codec/a.h": '#include "base/host.h"\n',
      "src/server/b.cpp": '#include "codec/a.h"\n#include <vector>\n'},
     0, "every include points down"),
    ("an include up a layer fails",
     {"src/server/b.h": "", "src/codec/a.cpp": '#include "server/b.h"\n'},
     1, "src/codec/a.cpp:1: codec/ may not include src/server/b.h"),
    ("base may not include app",
     {"src/app/context.h": "", "src/base/messages.cpp": '\n#include "app/context.h"\n'},
     1, "src/base/messages.cpp:2: base/ may not include src/app/context.h"),
    ("two units of one layer including each other fail",
     {"src/server/a.h": "", "src/server/a.cpp": '#include "server/b.h"\n',
      "src/server/b.h": "", "src/server/b.cpp": '#include "server/a.h"\n'},
     1, "include circle between 2 units"),
    ("a circle through a header of the same unit is found",
     {"src/web/c.h": '#include "web/d.h"\n', "src/web/d.h": "", "src/web/d.cpp": '#include "web/c.h"\n'},
     1, "src/web/d.cpp:1 includes src/web/c"),
    ("two folders of one layer including each other fail, naming both includes",
     {"src/server/a.h": "", "src/server/a.cpp": '#include "live/b.h"\n',
      "src/live/b.h": "", "src/live/b.cpp": '#include "server/a.h"\n'},
     1, "include circle between the folders live, server:\n"
        "    src/live/b.cpp:1 (live/ includes server/)\n    src/server/a.cpp:1 (server/ includes live/)"),
    ("a folder without a layer fails",
     {"src/extra/x.cpp": ""},
     1, "folder extra/ has no layer"),
]


def run(files):
    with tempfile.TemporaryDirectory() as root:
        for path, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(text)
        result = subprocess.run([sys.executable, SCRIPT, root], capture_output=True, text=True)
        return result.returncode, result.stdout + result.stderr


def main():
    failed = 0
    for name, files, status, expected in CASES:
        code, output = run(files)
        if code != status or expected not in output:
            failed += 1
            print(f"FAILED: {name}: exit {code} (wanted {status}), output:\n{output}")
    print(f"{len(CASES) - failed} of {len(CASES)} cases passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
