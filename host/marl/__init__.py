"""The ``marl`` command line of the host framework (stand-in)."""
