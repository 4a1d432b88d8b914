"""Companion tools for quelbrand_kernels: a command line, Arrow and pandas
adapters, and helpers for scaling out on Dask. The native module's own
surface is untouched; everything here is built on it."""

__version__ = "0.1.0"
