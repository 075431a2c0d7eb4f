"""The `velto-frame` command: runs the velto-frame program that a built package carries in
velto_tools/bin/ (it decodes frames and encodes replies with the server's own C++ code)."""
from __future__ import annotations

import os
import sys
from typing import List, Optional

PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin", "velto-frame")

MISSING = ("velto-frame: this copy of velto_tools has no velto-frame program; it comes with the "
           "package installed by pip or from a wheel, and a build of the source tree has it as "
           "build/tools/velto-frame (make build)\n")


def main(argv: Optional[List[str]] = None) -> int:
    """Replaces this process with the program, given `argv` (the command line by default);
    exits with 127 when the program is not there."""
    args = sys.argv[1:] if argv is None else argv
    if not os.access(PROGRAM, os.X_OK):
        sys.stderr.write(MISSING)
        return 127
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(PROGRAM, [PROGRAM, *args])
    return 127  # not reached: execv returns only by raising


if __name__ == "__main__":
    sys.exit(main())
