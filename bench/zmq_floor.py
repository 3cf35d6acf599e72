"""pyzmq DEALER/ROUTER exchanges of the same sizes as ds_bench's, for comparison.

A ROUTER in a child process echoes a 162-byte answer to every 169-byte request
(the service's frame sizes); the DEALER here measures, from one Python thread:
a round trip at a time (p50, p99) and batches of 1,000 in flight (requests/s),
and for both the CPU time and the context switches per exchange of the two
processes together (the child reports its own getrusage on request).

Usage: python3 bench/zmq_floor.py [--seconds 3]
"""
import argparse
import json
import resource
import subprocess
import sys
import time

import zmq

from exchange_stats import per_exchange

REQUEST = b"q" * 169
ANSWER = b"a" * 162
STATS = b"stats"


def usage():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return {"cpu": u.ru_utime + u.ru_stime, "switches": u.ru_nvcsw + u.ru_nivcsw,
            "sleeps": u.ru_nvcsw}


def serve():
    context = zmq.Context()
    router = context.socket(zmq.ROUTER)
    router.sndhwm = router.rcvhwm = 0  # a ROUTER drops what exceeds the mark: no mark at all
    port = router.bind_to_random_port("tcp://127.0.0.1")
    print(port, flush=True)
    while True:
        peer, body = router.recv_multipart()
        if body == STATS:
            router.send_multipart([peer, json.dumps(usage()).encode()])
        elif body == b"stop":
            return
        else:
            router.send_multipart([peer, ANSWER])


class Client:
    def __init__(self, port):
        self.context = zmq.Context()
        self.dealer = self.context.socket(zmq.DEALER)
        self.dealer.sndhwm = self.dealer.rcvhwm = 0
        self.dealer.connect(f"tcp://127.0.0.1:{port}")

    def both(self):
        self.dealer.send(STATS)
        server = json.loads(self.dealer.recv())
        mine = usage()
        return {k: mine[k] + server[k] for k in mine}

    def measure(self, seconds, batch):
        before, start, done, micros = self.both(), time.perf_counter(), 0, []
        while time.perf_counter() - start < seconds:
            begin = time.perf_counter()
            for _ in range(batch):
                self.dealer.send(REQUEST)
            for _ in range(batch):
                self.dealer.recv()
            micros.append((time.perf_counter() - begin) * 1e6)
            done += batch
        elapsed = time.perf_counter() - start
        after = self.both()
        return per_exchange(before, after, done, elapsed, micros, batch)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve()
        return
    server = subprocess.Popen([sys.executable, __file__, "--serve"], stdout=subprocess.PIPE)
    try:
        client = Client(int(server.stdout.readline()))
        for name, batch in (("round trip", 1), ("1,000 in flight", 1000)):
            print(name, json.dumps(client.measure(args.seconds, batch)))
        client.dealer.send(b"stop")
    finally:
        server.wait(timeout=10)


if __name__ == "__main__":
    main()
