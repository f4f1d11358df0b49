"""Immutable single-file key to object stores (.trnk files).

The native layer lives in :mod:`tarnkv._tarnkv`.
"""

from tarnkv._tarnkv import __version__

__all__ = ["__version__"]
