"""Administration of the events recorded by the syslog-ng zelta module.

The work is done by the compiled module ``zelta_admin_events.admin_events``;
``zelta_admin_events.cli`` is the command-line front end.
"""
