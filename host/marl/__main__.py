import sys

from marl.cli import main

sys.exit(main())
