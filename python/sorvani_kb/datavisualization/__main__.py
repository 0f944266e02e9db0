"""python -m sorvani_kb.datavisualization: writes the forecast report (see the report package)."""

import sys

from .report import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m sorvani_kb.datavisualization"))
