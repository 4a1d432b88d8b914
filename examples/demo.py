"""A short tour: stream a bundled XML file as column batches, count its
records, and draw deterministic keyed uniforms and normals."""

from pathlib import Path

import numpy as np

import quelbrand_kernels as qk

sample = str(Path(__file__).with_name("sample.xml"))
print(f"{sample}: {qk.count_xml_records(sample)} records")
for names, columns in qk.stream_xml_file(sample, 2):
    print("batch:")
    for name, values in zip(names, columns):
        print(f"  {name:>16}: {values}")

keys = np.arange(5, dtype=np.uint64)
u = qk.keyed_uniforms(42, "demo", keys, 0)
print("keyed uniforms:", u)
print("as normals:    ", qk.inv_norm_cdf(u))
print("keyed hashes:  ", [hex(h) for h in qk.keyed_hash(42, "demo", keys, 0)])
