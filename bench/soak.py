#!/usr/bin/env python3
"""Soak benchmark of the Python binding: makes, fills, copies and destroys records and vectors a million times while resident memory must stay flat.

Each operation is one of four cycles, taken in turn:
  record   a record of the next of the 58 classes with every field set
           (nested records and vectors assigned, so copied in), then copied
           field by field into a second record; both dropped;
  vector   vectors of every element kind built, sliced, slice-assigned,
           popped, iterated and dropped;
  opaque   the image response's opaque field set, replaced and cleared;
  owner    a record disowned, acquired back and dropped.
Resident memory (VmRSS) is printed every --interval operations. The first
sample after --warm-up operations is the baseline; the script exits with
status 1 when the last sample exceeds it by more than --max-growth-kb.

Usage: python3 bench/soak.py [--operations N] [--interval N] [--warm-up N] [--max-growth-kb N]
Run it against the installed module (pip install . first).
"""

import argparse
import os
import pathlib
import platform
import sys
import time

import DataServicePyWrapper as ds

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from binding_support import fill  # noqa: E402
from binding_tables import RECORDS, kind_class  # noqa: E402

CLASSES = list(RECORDS)


def resident_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS line in /proc/self/status")


def soak_text(name, seed):
    return "%s é\x00%d" % (name, seed)


def record_cycle(index):
    cls = CLASSES[index % len(CLASSES)]
    record = fill(cls, index % 7, soak_text)
    copy = getattr(ds, cls)()
    for name, kind in RECORDS[cls]:
        if kind_class(kind) != "opaque":
            setattr(copy, name, getattr(record, name))


def vector_cycle(index):
    numbers = ds.IntVector(range(16))
    part = numbers[2:10]
    numbers[::2] = part
    del numbers[1:4]
    numbers.pop()
    texts = ds.StringVector(["a%d" % index, "b\x00", "é"] * 3)
    texts[1:2] = ds.StringVector(texts[::-2])
    for _ in texts:
        pass
    devices = ds.DeviceDataVector(2)
    devices[0].components = texts
    devices.append(devices[0])
    devices.insert(devices.begin(), devices.pop())
    for device in devices:
        device.id = "changed"


def opaque_cycle(index):
    image = ds.DeviceIdImageResData()
    image.image_data = "x" * (64 + index % 64)
    image.image_data = "y" * 32
    image.image_data_opaque_size = 32
    image.image_data = None


def owner_cycle(index):
    record = ds.ServiceError()
    record.errorMesg = "owned %d" % index
    record.this.disown()
    record.this.acquire()


CYCLES = [record_cycle, vector_cycle, opaque_cycle, owner_cycle]


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%d CPUs (%s), Python %s, %s" % (os.cpu_count(), model, platform.python_version(), platform.platform())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--operations", type=int, default=1_000_000)
    parser.add_argument("--interval", type=int, default=50_000)
    parser.add_argument("--warm-up", type=int, default=100_000)
    parser.add_argument("--max-growth-kb", type=int, default=2048)
    options = parser.parse_args()

    print("machine:", machine())
    print("%10s %10s %12s" % ("operations", "seconds", "VmRSS kB"))
    start = time.monotonic()
    print("%10d %10.1f %12d" % (0, 0.0, resident_kb()), flush=True)
    baseline = None
    last = None
    for operation in range(1, options.operations + 1):
        CYCLES[operation % len(CYCLES)](operation // len(CYCLES))
        if operation % options.interval == 0:
            last = resident_kb()
            if baseline is None and operation >= options.warm_up:
                baseline = last
            print("%10d %10.1f %12d" % (operation, time.monotonic() - start, last), flush=True)
    if baseline is None or last is None:
        print("too few operations for a baseline after the warm-up")
        return 2
    growth = last - baseline
    print("baseline %d kB after warm-up, last %d kB, growth %+d kB (limit %d kB)" % (baseline, last, growth, options.max_growth_kb))
    return 1 if growth > options.max_growth_kb else 0


if __name__ == "__main__":
    sys.exit(main())
