"""python3 tools/elf2pe [--resources RES] ELF OUTPUT: runs the converter as a
package, next to tools/wince_imports.py, whose slot format it reads."""

import os
import sys

sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from elf2pe.pipeline import main  # noqa: E402

main()
