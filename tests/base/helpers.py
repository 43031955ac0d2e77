"""Small helpers shared by the connector tests."""

from __future__ import annotations

import traceback

MISSING = "All database credentials must be provided"


def credentials(database):
    return [database.user, database.password, database.host, database.name]


def module_entries(error):
    """(name, line) of each traceback entry the module added to `error`, outermost first."""
    return [(entry.name, entry.lineno)
            for entry in traceback.extract_tb(error.__traceback__)
            if entry.filename == "orvelkit\\base"]
