"""Tool library of the Tamarel test platform.

The native core is :mod:`tamareltools.tamarels`; :mod:`tamareltools.exceptions`
holds the platform error and its message entries.
"""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("tamareltools")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

del PackageNotFoundError, version
