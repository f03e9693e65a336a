"""marl's own versions of the host framework's modules, for when the host
framework is not installed (see ``marl.hostnames``).

The wheel of the command line fills this package from the host stand-in of
the source tree (host/pyproject.toml lists the files); in a checkout those
modules are imported under their host names from host/ instead.
"""
