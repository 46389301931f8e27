"""``python -m zelta_admin_events``: the command-line front end."""

import sys

from zelta_admin_events.cli import main

sys.exit(main())
