"""The subcommands of ``velmar`` (the tree itself is ``velmar.cli``); each is imported only when chosen."""
