""""devices_id" exchanges from one Python thread through the module, for comparison with zmq_floor.py.

The serving program (tests/host/dataservice_test_server, started here with the
definition file) answers in a child process; this thread sends and polls
processingOK without sleeping, as ds_bench's benchmark thread does. For a round
trip at a time (p50, p99) and batches of 1,000 in flight (requests/s) it prints
the CPU time and context switches per exchange of both processes, every
thread counted.

Usage: python3 bench/python_exchange.py SERVER DEFINITION [--seconds 3]
"""
import argparse
import json
import os
import re
import resource
import subprocess
import time

import DataServicePyWrapper as ds

from exchange_stats import per_exchange

ACTION = "devices_id"


def process_usage(pid):
    """CPU seconds and context switches (all, voluntary) of every thread of a process."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    switches = sleeps = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as status:
            counts = dict(re.findall(r"^(\w*voluntary_ctxt_switches):\s+(\d+)", status.read(), re.M))
        sleeps += int(counts["voluntary_ctxt_switches"])
        switches += int(counts["voluntary_ctxt_switches"]) + int(counts["nonvoluntary_ctxt_switches"])
    return {"cpu": cpu, "switches": switches, "sleeps": sleeps}


def both(server):
    mine = resource.getrusage(resource.RUSAGE_SELF)
    theirs = process_usage(server.pid)
    # Threads of this process that ended are in getrusage's totals, not in /proc/self/task.
    return {"cpu": mine.ru_utime + mine.ru_stime + theirs["cpu"],
            "switches": mine.ru_nvcsw + mine.ru_nivcsw + theirs["switches"],
            "sleeps": mine.ru_nvcsw + theirs["sleeps"]}


def measure(server, service, callback, seconds, batch):
    requests = [ds.DeviceIdReqData() for _ in range(batch)]
    responses = [ds.DeviceIdResData() for _ in range(batch)]
    errors = [response.error for response in responses]
    before, start, done, micros = both(server), time.perf_counter(), 0, []
    while time.perf_counter() - start < seconds:
        begin = time.perf_counter()
        for error in errors:
            error.processingOK = 0
        for request, response in zip(requests, responses):
            if ds.send_service_request(service, ACTION, request, callback, response) != 1:
                raise RuntimeError("send_service_request failed")
        for error in errors:
            while error.processingOK != 1:
                pass
        micros.append((time.perf_counter() - begin) * 1e6)
        done += batch
    elapsed = time.perf_counter() - start
    after = both(server)
    return per_exchange(before, after, done, elapsed, micros, batch)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("definition")
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    server = subprocess.Popen([args.server, args.definition], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE)
    try:
        port = int(re.fullmatch(rb"PORT (\d+)\n", server.stdout.readline()).group(1))
        status = ds.ServiceError()
        status.errorCode = status.processingOK = 0
        service = ds.create_service("127.0.0.1", port, args.definition, status)
        deadline = time.monotonic() + 10
        while status.processingOK != 1 and time.monotonic() < deadline:
            time.sleep(0.001)
        if status.errorCode != 1:
            raise RuntimeError("no connection to the serving program")
        callback = ds.create_callback_functor(ACTION)
        for name, batch in (("round trip", 1), ("1,000 in flight", 1000)):
            print(name, json.dumps(measure(server, service, callback, args.seconds, batch)))
        ds.destroy_service(service)
        ds.destroy_callback_functor(ACTION, callback)
    finally:
        server.stdin.close()
        server.wait(timeout=10)


if __name__ == "__main__":
    main()
