#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
# The vessik command of the installed Python package. Run as a program, it
# imports the package from where python3 keeps it, never from a vessik/
# folder of the current directory, as python3 -m vessik would.
import sys

from vessik.__main__ import main

sys.exit(main())
