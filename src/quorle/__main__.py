"""`python -m quorle`: the `quorle` command."""

from .command import main

raise SystemExit(main())
