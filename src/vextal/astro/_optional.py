"""Optional dependencies (plots, refinement, progress bars): imported when first needed, with an ImportError that
names the extra that brings them."""
import importlib
import types

EXTRA = "vextal[porkchop]"


def optional(name: str, feature: str) -> types.ModuleType:
    """Import an optional dependency, or say which extra brings it."""
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise ImportError("%s needs %s: pip install '%s'" % (feature, name.split(".")[0], EXTRA)) from exc
