"""The package's version, where the command can read it without importing the package's face."""

__version__ = "0.1.0"
