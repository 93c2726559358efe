"""`python -m tamrix`: the command line (see tamrix.cli)."""

from .cli import main

raise SystemExit(main())
