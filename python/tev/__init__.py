import _tev
from _tev import *  # noqa: F401,F403

__doc__ = _tev.__doc__
__version__ = "0.1.0"
# The extension module's public names, in the order it registers them.
__all__ = [name for name in vars(_tev) if not name.startswith("_")]
