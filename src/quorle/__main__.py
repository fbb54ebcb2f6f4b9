"""`python -m quorle`: the `quorle` command."""

from .cli import main

raise SystemExit(main())
