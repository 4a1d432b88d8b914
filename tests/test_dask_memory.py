"""A file larger than a worker's memory is read by that one worker, partition
by partition: its memory limit is set far below what reading the file whole
would take."""

import os

import pytest

# AddressSanitizer holds freed memory in quarantine, so a worker's footprint
# says nothing about what it keeps.
if os.environ.get("QK_SANITIZED") == "1":
    pytest.skip("memory limits mean nothing under the sanitizers", allow_module_level=True)

pytest.importorskip("dask.distributed")
psutil = pytest.importorskip("psutil")

import dask  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

import quelbrand.dask as qd  # noqa: E402

HANG = "300s"
RECORDS = 600_000  # about 64 MB


def _rss() -> int:
    import pandas  # noqa: F401  # what every partition's task imports
    import pyarrow  # noqa: F401

    import quelbrand.dask  # noqa: F401

    return psutil.Process().memory_info().rss


def test_a_file_larger_than_the_workers_memory_is_read_in_partitions(tmp_path):
    path = tmp_path / "big.xml"
    with open(path, "w") as f:
        f.write("<t>\n")
        for start in range(0, RECORDS, 10_000):
            f.write(
                "".join(f"<row><id>{i}</id><v>value {i} {'x' * 60}</v></row>\n" for i in range(start, start + 10_000))
            )
        f.write("</t>\n")
    size = path.stat().st_size
    # A worker of the same build, to learn what one holds before reading.
    with (
        dask.config.set({"distributed.comm.timeouts.connect": HANG, "distributed.comm.timeouts.tcp": HANG}),
        LocalCluster(n_workers=1, processes=True, threads_per_worker=1, dashboard_address=":0") as probe,
        Client(probe, timeout=HANG) as c,
    ):
        baseline = max(c.run(_rss).values())
    # Room for half the file beside the worker's own memory: reading the file
    # whole takes about the file's size again, a partition of 1 MiB a few MB.
    limit = baseline + size // 2
    config = {
        "distributed.comm.timeouts.connect": HANG,
        "distributed.comm.timeouts.tcp": HANG,
        # Only the limit itself: a worker past it is ended, its task failed.
        "distributed.worker.memory.target": False,
        "distributed.worker.memory.spill": False,
        "distributed.worker.memory.pause": False,
        "distributed.scheduler.allowed-failures": 0,
    }
    with (
        dask.config.set(config),
        LocalCluster(
            n_workers=1, processes=True, threads_per_worker=1, memory_limit=limit, dashboard_address=":0"
        ) as cluster,
        Client(cluster, timeout=HANG) as c,
    ):
        frame = qd.read_xml([str(path)], blocksize="1MiB")
        assert frame.npartitions > 30
        lengths = c.compute(frame.map_partitions(len)).result()
        assert lengths.sum() == RECORDS
        last = frame.tail(1)  # computed on the cluster
        assert list(last["id"]) == [str(RECORDS - 1)] and list(last.index) == [RECORDS - 1]
        peak = max(c.run(lambda: psutil.Process().memory_info().rss).values())
        assert peak < limit
