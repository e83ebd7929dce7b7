"""The back-test and research side of the kit."""
