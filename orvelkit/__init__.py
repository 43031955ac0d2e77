"""orvelkit: forecasting and MySQL operations for language-model agents and data scripts.

The three extension modules load on their own and never import one another, so this package
imports none of them: ``import orvelkit.auspex``, ``orvelkit.tabloom`` or ``orvelkit.base``.
"""

import sys as _sys
from pkgutil import extend_path as _extend_path

__version__ = "0.1.0"

# Started from a checkout, Python finds this source folder before the installed package, and the
# built modules live only in the installed one. Every `orvelkit` folder on sys.path joins the
# package, so the source folder no longer hides them.
__path__ = _extend_path(__path__, __name__)

_EXTENSIONS = frozenset({"orvelkit.auspex", "orvelkit.tabloom", "orvelkit.base"})


class _NotBuiltFinder:
    """Asked first, and only about the three extension modules: finds each where the path finder
    would, but a checkout's source folder of that name, which the path finder would hand out as
    an empty namespace package when no built module is anywhere on the path, is not taken for
    the module. Then it says how to get it."""

    @staticmethod
    def find_spec(name, path=None, target=None):
        if name not in _EXTENSIONS:
            return None
        from importlib.machinery import PathFinder

        spec = PathFinder.find_spec(name, path, target)
        if spec is not None and spec.origin is not None:
            return spec
        raise ModuleNotFoundError(
            f"No module named {name!r}: orvelkit's extension modules are not built for this "
            f"interpreter ({_sys.executable}). Install the package into it (`pip install .` in "
            "the checkout), or use the venv that `bash scripts/bootstrap.sh` makes "
            "(`.venv/bin/python`).",
            name=name)


# Once per process, also when the package is imported again after leaving sys.modules.
if not any(getattr(finder, "__qualname__", None) == "_NotBuiltFinder" for finder in _sys.meta_path):
    _sys.meta_path.insert(0, _NotBuiltFinder)
