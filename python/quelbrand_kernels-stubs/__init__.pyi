"""Type stubs for the quelbrand_kernels extension module.

Every parameter is positional-or-keyword and required, as at run time.
NumPy is needed only to call the numeric functions; the arrays must be
one-dimensional and of exactly the element type shown.
"""

from typing import NoReturn, TypeAlias, final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "keyed_hash",
    "keyed_uniforms",
    "inv_norm_cdf",
    "stream_xml_file",
    "count_xml_records",
    "XmlBatchIter",
]

# One batch of records: the column names in order of first appearance within
# the batch, and one list per column holding each record's value, or None
# where the record has no value for that column.
Batch: TypeAlias = tuple[list[str], list[list[str | None]]]

def keyed_hash(seed: int, namespace: str, keys: NDArray[np.uint64], draw: int) -> NDArray[np.uint64]: ...
def keyed_uniforms(seed: int, namespace: str, keys: NDArray[np.uint64], draw: int) -> NDArray[np.float64]: ...
def inv_norm_cdf(u: NDArray[np.float64]) -> NDArray[np.float64]: ...
def stream_xml_file(path: str, batch_rows: int) -> XmlBatchIter: ...
def count_xml_records(path: str) -> int: ...

@final
class XmlBatchIter:
    """Iterator of the batches of one XML file; made by stream_xml_file."""

    # Not constructible: the run-time class has no constructor.
    def __init__(self, cannot_construct: NoReturn, /) -> None: ...
    def __iter__(self) -> XmlBatchIter: ...
    def __next__(self) -> Batch: ...
