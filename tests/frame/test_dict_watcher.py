"""Cached module globals on interpreters with dict watchers (3.12 and later): the orvelkit
libraries of a process share one watcher, and where the interpreter has none left to give, every
global is read afresh instead of going stale. On 3.11 the dict's version tag does this work, and
the global-replacement tests of each module cover it there."""

import json
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="3.11 has no dict watchers")

# Takes a fresh interpreter's dict watcher ids through the C API, as another extension would.
WATCHER_IDS = """
import ctypes, json, sys

WATCHER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object,
                           ctypes.py_object)
keep = WATCHER(lambda *args: 0)
add = ctypes.pythonapi.PyDict_AddWatcher
add.restype = ctypes.c_int
add.argtypes = [WATCHER]
clear = ctypes.pythonapi.PyDict_ClearWatcher
clear.argtypes = [ctypes.c_int]

def take_all():
    ids = []
    while True:
        try:
            ids.append(add(keep))
        except RuntimeError:  # "no more dict watcher IDs available"
            return ids
"""

# Takes every id the interpreter still has, or leaves them, then counts what orvelkit took and
# checks that a replaced module global is seen by the very next call, while tabloom's constructor
# reads its `logging` global.
CHILD = WATCHER_IDS + """
taken = take_all() if sys.argv[1] == "exhausted" else []
for name in sys.argv[2:]:
    __import__(name)
import orvelkit.tabloom as tabloom

left = take_all()
for i in taken + left:
    clear(i)

class Logging:
    INFO = "info"
    def __init__(self):
        self.calls = []
    def basicConfig(self, **kwargs):
        self.calls.append(kwargs)

seen = []
real = tabloom.logging
for _ in range(2):
    tabloom.MySQLDatabaseTabloom("u", "p", "h", "d")  # reads the global, caching it if it may
    stand_in = tabloom.logging = Logging()
    tabloom.MySQLDatabaseTabloom("u", "p", "h", "d")
    seen.append(stand_in.calls)
    tabloom.logging = real
print(json.dumps({"taken": len(taken), "left": len(left), "seen": seen}))
"""


def run_child(*args):
    done = subprocess.run([sys.executable, "-c", CHILD, *args], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ, PYTHONSAFEPATH="1"))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def free_watcher_ids():
    """How many dict watcher ids a fresh interpreter of this build has to give."""
    done = subprocess.run([sys.executable, "-c", WATCHER_IDS + "print(len(take_all()))"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return int(done.stdout)


@pytest.mark.parametrize("also_imported", [[], ["orvelkit.auspex", "orvelkit.base"]],
                         ids=["tabloom alone", "every module"])
def test_the_libraries_share_one_watcher(also_imported):
    outcome = run_child("free", *also_imported)
    assert outcome["left"] == free_watcher_ids() - 1
    assert outcome["seen"] == [[{"level": "info"}]] * 2


def test_without_a_watcher_every_global_is_read_afresh():
    outcome = run_child("exhausted")
    assert (outcome["taken"], outcome["left"]) == (free_watcher_ids(), 0)
    assert outcome["seen"] == [[{"level": "info"}]] * 2

