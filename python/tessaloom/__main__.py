"""`python -m tessaloom`: the command line (see tessaloom.cli)."""

from .cli import main

raise SystemExit(main())
