"""The traceback entries of an error, read the way the tests compare them."""

from __future__ import annotations

import traceback


def module_entries(error, module=None, fields=("name", "lineno")):
    """The chosen fields of each traceback entry of `error`, outermost first; with `module`
    ("auspex", "tabloom" or "base"), only the entries that module added, whose file is
    "orvelkit\\<module>"."""
    file = None if module is None else f"orvelkit\\{module}"
    return [tuple(getattr(entry, field) for field in fields)
            for entry in traceback.extract_tb(error.__traceback__)
            if file is None or entry.filename == file]
