"""Reading an XML file from an S3-compatible server on this machine.

A `records` file is put in a moto server run as a process of its own (so
that serving it does not share this interpreter), then read:

* by quelbrand.dask.read_xml on a 2-worker LocalCluster, split at
  --blocksize against unsplit (one partition), the survey included;
* by quelbrand.read_xml(...).to_arrow() through the server against the
  same file by its local path, and against the object first copied to a
  local file (the spool a reading could use instead of reading twice).

Both again from a small HTTP server of the file that answers ranges: moto
copies the whole object for every ranged GET, so its cost per request grows
with the object, which no real store does.

Repeats are interleaved and medians reported, with the ratios.

    python benchmarks/bench_remote.py --mb 200 --repeats 3
"""

from __future__ import annotations

import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def _wait(port: int, seconds: float = 60) -> None:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.2)
    raise RuntimeError("the S3 server did not start")


def serve_ranges(path: str, port: int) -> None:
    """An HTTP server of one file that answers range requests, for a store
    whose cost per request does not grow with the object (moto copies the
    whole object for every ranged GET)."""
    import http.server
    import mmap

    with open(path, "rb") as f:
        data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args: object) -> None:
            pass

        def _send(self, body: bool) -> None:
            lo, hi = 0, len(data) - 1
            wanted = self.headers.get("Range", "")
            if wanted.startswith("bytes="):
                first, _, last = wanted[6:].partition("-")
                lo, hi = int(first), min(int(last) if last else hi, hi)
                self.send_response(206)
                self.send_header("Content-Range", f"bytes {lo}-{hi}/{len(data)}")
            else:
                self.send_response(200)
            self.send_header("Content-Length", str(hi - lo + 1))
            self.send_header("Accept-Ranges", "bytes")
            self.end_headers()
            if body:
                self.wfile.write(memoryview(data)[lo : hi + 1])

        def do_GET(self) -> None:
            self._send(True)

        def do_HEAD(self) -> None:
            self._send(False)

    http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mb", type=float, default=200.0, help="size of the records file, in 10^6 bytes")
    ap.add_argument("--path", help="an existing XML file to use instead of generating one")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--blocksize", default="64MiB")
    ap.add_argument("--skip-dask", action="store_true")
    ap.add_argument("--skip-arrow", action="store_true")
    ap.add_argument("--block", type=int, default=0, help="MiB per ranged read (default: quelbrand.remote.BLOCK)")
    ap.add_argument("--serve", nargs=2, metavar=("PATH", "PORT"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.serve:
        serve_ranges(args.serve[0], int(args.serve[1]))
        return 0

    import s3fs

    import quelbrand
    from quelbrand import remote

    if args.block:
        remote.BLOCK = args.block << 20
        remote.RangedFile.__init__.__defaults__ = (remote.BLOCK, True, None)

    tmp = tempfile.mkdtemp(prefix="bench-remote-")
    path = args.path or os.path.join(tmp, "records.xml")
    if not args.path:
        subprocess.run(
            [sys.executable, os.path.join(HERE, "gen_xml.py"), "records", path, "--mb", str(args.mb)], check=True
        )
    size = os.path.getsize(path)
    port, http_port = _free_port(), _free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    http = subprocess.Popen([sys.executable, __file__, "--serve", path, str(http_port)])
    try:
        _wait(port)
        _wait(http_port)
        http_url = f"http://127.0.0.1:{http_port}/records.xml"
        options = {
            "key": "bench",
            "secret": "bench",
            "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}", "region_name": "eu-west-1"},
        }
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("bench")
        fs.put(path, "bench/records.xml")
        url = "s3://bench/records.xml"
        print(f"file: {size / 1e6:.0f} MB records, served by moto on 127.0.0.1; block {remote.BLOCK >> 20} MiB")

        def spooled(read: object = lambda p: quelbrand.read_xml(p).to_arrow()) -> object:
            local = os.path.join(tmp, "spool.xml")
            with remote.RangedFile(remote.remote_of(url, options)) as src, open(local, "wb") as out:
                while chunk := src.read(remote.BLOCK):
                    out.write(chunk)
            table = read(local)  # type: ignore[operator]
            os.remove(local)
            return table

        def rows(source: str, **kw: object) -> int:
            # Batch by batch: the columns are found by a pass of their own
            # beside the first batch, so the object is read twice.
            return sum(b.num_rows for b in quelbrand.read_xml(source, **kw))  # type: ignore[arg-type]

        cases: dict[str, object] = {}
        if not args.skip_arrow:
            cases["to_arrow, local path"] = lambda: quelbrand.read_xml(path).to_arrow()
            cases["to_arrow, s3 ranged"] = lambda: quelbrand.read_xml(url, storage_options=options).to_arrow()
            cases["to_arrow, s3 spooled"] = spooled
            cases["to_arrow, http ranged"] = lambda: quelbrand.read_xml(http_url).to_arrow()
            cases["batches, local path"] = lambda: rows(path)
            cases["batches, s3 ranged twice"] = lambda: rows(url, storage_options=options)
            cases["batches, s3 spooled"] = lambda: spooled(rows)
            cases["batches, http ranged twice"] = lambda: rows(http_url)
        client = None
        if not args.skip_dask:
            from dask.distributed import Client, LocalCluster

            import quelbrand.dask as qd

            cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
            client = Client(cluster)

            def dask_read(blocksize: object) -> object:
                frame = qd.read_xml(url, blocksize=blocksize, storage_options=options)
                return int(frame.map_partitions(len).compute().sum())

            cases[f"dask, split at {args.blocksize}"] = lambda: dask_read(args.blocksize)
            cases["dask, unsplit"] = lambda: dask_read(None)

            def dask_http(blocksize: object) -> object:
                return int(qd.read_xml(http_url, blocksize=blocksize).map_partitions(len).compute().sum())

            cases[f"dask http, split at {args.blocksize}"] = lambda: dask_http(args.blocksize)
            cases["dask http, unsplit"] = lambda: dask_http(None)
        times: dict[str, list[float]] = {name: [] for name in cases}
        for _ in range(args.repeats):
            for name, run in cases.items():
                t = time.perf_counter()
                run()  # type: ignore[operator]
                times[name].append(time.perf_counter() - t)
        medians = {name: statistics.median(ts) for name, ts in times.items()}
        for name, median in medians.items():
            print(f"{name:28s} median {median:7.2f} s  ({', '.join(f'{t:.2f}' for t in times[name])})")
        if not args.skip_arrow:
            local = medians["to_arrow, local path"]
            print(f"to_arrow s3 ranged / local path: {medians['to_arrow, s3 ranged'] / local:.2f}x")
            print(f"to_arrow s3 spooled / local path: {medians['to_arrow, s3 spooled'] / local:.2f}x")
            print(f"to_arrow http ranged / local path: {medians['to_arrow, http ranged'] / local:.2f}x")
            local = medians["batches, local path"]
            for name in ("batches, s3 ranged twice", "batches, s3 spooled", "batches, http ranged twice"):
                print(f"{name} / local path: {medians[name] / local:.2f}x")
        if not args.skip_dask:
            split = medians[f"dask, split at {args.blocksize}"]
            print(f"dask s3 unsplit / split: {medians['dask, unsplit'] / split:.2f}x")
            split = medians[f"dask http, split at {args.blocksize}"]
            print(f"dask http unsplit / split: {medians['dask http, unsplit'] / split:.2f}x")
        if client is not None:
            client.close()
            cluster.close()
    finally:
        for process in (server, http):
            process.terminate()
            process.wait()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
