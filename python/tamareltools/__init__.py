"""Tool library of the Tamarel test platform.

The native core is :mod:`tamareltools.tamarels`; :mod:`tamareltools.exceptions`
holds the platform error and its message entries.
"""
