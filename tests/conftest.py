import os
import random

import pytest


@pytest.fixture
def rng(request):
    """A seeded random generator whose seed is printed, so failures replay."""
    seed = int(os.environ.get("QK_TEST_SEED", random.randrange(2**32)))
    print(f"random seed for {request.node.name}: {seed}")
    return random.Random(seed)


@pytest.fixture
def write_xml(tmp_path):
    """Writes bytes (or text, as UTF-8) to a fresh file and returns its path as str."""
    counter = iter(range(10**9))

    def write(content, name=None):
        path = tmp_path / (name or f"doc{next(counter)}.xml")
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write
