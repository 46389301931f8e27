"""Administration of the events recorded by the syslog-ng zelta module.

The work is done by the compiled module ``zelta_admin_events.admin_events``;
``zelta_admin_events.frontend`` is the layer every front end shares (its
``for_root`` is also here, as ``zelta_admin_events.for_root``), and
``zelta_admin_events.cli`` is the command-line front end.
"""

import os as _os

_here = _os.path.dirname(_os.path.abspath(__file__))
if _os.path.isdir(_os.path.join(_here, _os.pardir, "src", "admin_events")) and not any(
        name.startswith("admin_events.") and name.endswith(".so") for name in _os.listdir(_here)):
    # The source folder of a checkout, found first on sys.path when Python
    # runs in the checkout. Its modules must not be mixed with those of an
    # installed copy, which may have been built from other sources.
    raise ImportError(f"{_here} is the source folder of a checkout and holds no compiled module: "
                      "install the package (pip install .) and run Python outside the checkout")


def __getattr__(name):
    # Loaded when first asked for: importing the package stays cheap.
    if name == "for_root":
        from zelta_admin_events.frontend import for_root

        return for_root
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
