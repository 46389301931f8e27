"""Administration of the events recorded by the syslog-ng zelta module.

The work is done by the compiled module ``zelta_admin_events.admin_events``;
``zelta_admin_events.cli`` is the command-line front end.
"""

import os as _os

if not any(name.startswith("admin_events.") and name.endswith(".so") for name in _os.listdir(__path__[0])):
    # This is the source folder of a checkout, found first on sys.path when
    # Python runs in it; the compiled module lives in the installed copy of
    # the package, so look for modules there as well.
    from pkgutil import extend_path

    __path__ = extend_path(__path__, __name__)
