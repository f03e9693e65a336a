"""The exit statuses of every ``marl`` command, and the table their ``--help``
shows (docs/gate.md has the same table)."""

OK = 0  # pass, success
FINDING = 1  # the command's finding: the gate's policy failed, the active Java does not suit
USAGE = 2  # bad input or usage
NOT_SET_UP = 3  # the command line is not set up: a native module or package is missing
CANNOT_SERVE = 4  # cannot serve: the address is in use

TABLE = """\
exit status:
  0  pass, success
  1  the command's finding (plan --baseline: the policy failed;
     java check: the active Java does not suit)
  2  bad input or usage
  3  the command line is not set up (a native module or package is missing)
  4  cannot serve (docs serve: the address is in use)"""
