#!/usr/bin/env python3
"""Benchmarks of the Pythonic client beside its peers, in one run (figures go to docs/performance.md).

Round trip, p50 and p99, one request at a time from one thread:
  client.device(id)       the blocking Client against the reference service, and its thread's CPU per call;
  raw module, spinning    DataServicePyWrapper with a loop that reads processingOK until it is 1;
  Python socket ping-pong frames of the same sizes to an echo process, plain blocking sockets;
  C ping-pong             the raw TCP floor of the C++ benchmarks (ds_bench BM_RawTcpRoundTrip), if given.
Requests per second from one thread with 1,000 in flight:
  AsyncClient (asyncio.gather of device(id) calls), the raw module (1,000 sends, then a spin over the records),
  pyzmq DEALER/ROUTER echo, gRPC-Python futures of a generic unary echo.
A 10,000-record reply ("records" over a generated installation of 14 cameras), received by the raw module and
received and turned into dataclasses by the Client, in ms.
With --canned, the round trips and the rates of the client and the raw module again against ds_canned_service, a
serving side that answers from memory (no store, no session check): what the client and the transport cost, beside
the echo peers of the plain transports.

Usage: python3 bench/python_client_bench.py [--ds-bench PATH] [--canned PATH] [--rounds N] [--batches N]
Runs against the installed package (pip install .); the echo peers run as child processes of this script.
"""

import argparse
import asyncio
import json
import os
import pathlib
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import DataServicePyWrapper as ds
import dataservice
import dataservice.server

HEADER = struct.Struct(">IBBHQIiI")
REPOSITORY = pathlib.Path(__file__).resolve().parents[1]
IN_FLIGHT = 1000


def percentiles(samples):
    ordered = sorted(samples)
    return {"p50_us": ordered[len(ordered) // 2] * 1e6, "p99_us": ordered[int(len(ordered) * 0.99)] * 1e6}


# --- echo peers (child processes) ----------------------------------------------------------------------------

def serve_socket_echo(response_size):
    """Answers every request frame (28-byte header, payload size in the last field) with one response frame."""
    listener = socket.create_server(("127.0.0.1", 0))
    print(listener.getsockname()[1], flush=True)
    connection, _ = listener.accept()
    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    answer = HEADER.pack(0x56495043, 1, 2, 0, 0, 0, 0, response_size) + b"r" * response_size
    reader = connection.makefile("rb")
    while True:
        header = reader.read(HEADER.size)
        if len(header) < HEADER.size:
            return
        reader.read(HEADER.unpack(header)[-1])
        connection.sendall(answer)


def serve_zmq_echo():
    import zmq
    router = zmq.Context().socket(zmq.ROUTER)
    port = router.bind_to_random_port("tcp://127.0.0.1")
    print(port, flush=True)
    while True:
        router.send_multipart(router.recv_multipart())


def serve_grpc_echo():
    from concurrent import futures
    import grpc
    handler = grpc.method_handlers_generic_handler("bench.Echo", {
        "Call": grpc.unary_unary_rpc_method_handler(lambda request, context: request)})
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=4))
    server.add_generic_rpc_handlers((handler,))
    port = server.add_insecure_port("127.0.0.1:0")
    server.start()
    print(port, flush=True)
    server.wait_for_termination()


class CannedService:
    """ds_canned_service in a child process; it stops when its standard input closes."""

    def __init__(self, program):
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.host, port = self.process.stdout.readline().split()[-1].rsplit(":", 1)
        self.port = int(port)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.process.stdin.close()
        self.process.wait()


def start_peer(*arguments):
    process = subprocess.Popen([sys.executable, __file__, *arguments], stdout=subprocess.PIPE, text=True)
    return process, int(process.stdout.readline())


# --- round trips ---------------------------------------------------------------------------------------------

def blocking_round_trips(service, session, rounds):
    with dataservice.connect(service.host, service.port) as client:
        client.use_session(*session)
        for _ in range(200):
            client.device("cam-01")
        samples = []
        cpu_started = time.thread_time()
        for _ in range(rounds):
            started = time.perf_counter()
            client.device("cam-01")
            samples.append(time.perf_counter() - started)
        cpu = (time.thread_time() - cpu_started) / rounds
    return dict(percentiles(samples), thread_cpu_us=cpu * 1e6, wall_mean_us=statistics.mean(samples) * 1e6)


def raw_service(service, session):
    status = ds.ServiceError()
    handle = ds.create_service(service.host, service.port, dataservice.DEFINITION_FILE, status)
    return handle, status


def raw_request(session, device="cam-01"):
    request = ds.DeviceIdReqData()
    request.request_data.action, request.request_data.version = "GET", "1.0"
    request.request_data.session_key = session[0]
    request.id = device
    return request


def raw_spinning_round_trips(service, session, rounds):
    handle, status = raw_service(service, session)
    callback = ds.create_callback_functor("devices_id")
    request, response = raw_request(session), ds.DeviceIdResData()
    error = response.error
    samples = []
    for number in range(rounds + 200):
        started = time.perf_counter()
        error.processingOK = 0
        ds.send_service_request(handle, "devices_id", request, callback, response)
        while error.processingOK == 0:
            pass
        if number >= 200:
            samples.append(time.perf_counter() - started)
    assert response.error.errorCode == 200
    ds.destroy_service(handle)
    ds.destroy_callback_functor("devices_id", callback)
    del status
    return percentiles(samples)


def socket_round_trips(rounds, request_size, response_size):
    process, port = start_peer("--socket-echo", str(response_size))
    try:
        connection = socket.create_connection(("127.0.0.1", port))
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        frame = HEADER.pack(0x56495043, 1, 1, 0, 1, 1, 0, request_size) + b"q" * request_size
        expected = HEADER.size + response_size
        samples = []
        for number in range(rounds + 200):
            started = time.perf_counter()
            connection.sendall(frame)
            received = 0
            while received < expected:
                received += len(connection.recv(expected - received))
            if number >= 200:
                samples.append(time.perf_counter() - started)
        connection.close()
    finally:
        process.kill()
        process.wait()
    return percentiles(samples)


def c_round_trips(ds_bench):
    done = subprocess.run([ds_bench, "--benchmark_filter=BM_RawTcpRoundTrip/", "--benchmark_format=json"],
                          capture_output=True, text=True, check=True)
    counters = json.loads(done.stdout)["benchmarks"][0]
    return {"p50_us": counters["p50_us"], "p99_us": counters["p99_us"]}


# --- 1,000 in flight -----------------------------------------------------------------------------------------

def async_throughput(service, session, batches):
    async def main():
        async with dataservice.connect_async(service.host, service.port) as client:
            client.use_session(*session)
            await asyncio.gather(*(client.device("cam-01") for _ in range(IN_FLIGHT)))
            started = time.perf_counter()
            for _ in range(batches):
                await asyncio.gather(*(client.device("cam-01") for _ in range(IN_FLIGHT)))
            return batches * IN_FLIGHT / (time.perf_counter() - started)
    return asyncio.run(main())


def raw_throughput(service, session, batches):
    handle, status = raw_service(service, session)
    callback = ds.create_callback_functor("devices_id")
    request = raw_request(session)
    responses = [ds.DeviceIdResData() for _ in range(IN_FLIGHT)]
    errors = [response.error for response in responses]
    started = None
    for batch in range(batches + 1):
        if batch == 1:
            started = time.perf_counter()
        for response, error in zip(responses, errors):
            error.processingOK = 0
            ds.send_service_request(handle, "devices_id", request, callback, response)
        for error in errors:
            while error.processingOK == 0:
                pass
    rate = batches * IN_FLIGHT / (time.perf_counter() - started)
    ds.destroy_service(handle)
    ds.destroy_callback_functor("devices_id", callback)
    del status
    return rate


def zmq_throughput(batches, size):
    import zmq
    process, port = start_peer("--zmq-echo")
    try:
        dealer = zmq.Context().socket(zmq.DEALER)
        dealer.connect("tcp://127.0.0.1:%d" % port)
        message = b"x" * size
        started = None
        for batch in range(batches + 1):
            if batch == 1:
                started = time.perf_counter()
            for _ in range(IN_FLIGHT):
                dealer.send(message)
            for _ in range(IN_FLIGHT):
                dealer.recv()
        rate = batches * IN_FLIGHT / (time.perf_counter() - started)
        dealer.close(linger=0)
    finally:
        process.kill()
        process.wait()
    return rate


def grpc_throughput(batches, size):
    import grpc
    process, port = start_peer("--grpc-echo")
    try:
        with grpc.insecure_channel("127.0.0.1:%d" % port) as channel:
            call = channel.unary_unary("/bench.Echo/Call")
            message = b"x" * size
            started = None
            for batch in range(batches + 1):
                if batch == 1:
                    started = time.perf_counter()
                futures = [call.future(message) for _ in range(IN_FLIGHT)]
                for future in futures:
                    future.result()
            rate = batches * IN_FLIGHT / (time.perf_counter() - started)
    finally:
        process.kill()
        process.wait()
    return rate


# --- a 10,000-record reply -----------------------------------------------------------------------------------

def large_reply(repeats):
    folder = tempfile.mkdtemp(prefix="bench-installation-")
    installation = os.path.join(folder, "installation.json")
    subprocess.run([sys.executable, str(REPOSITORY / "examples" / "make_installation.py"), "--cameras", "14",
                    "--output", installation], check=True)
    database = os.path.join(folder, "large.sqlite")
    password = dataservice.server.create_sample_database(database, installation=installation)
    start, end = "2026-11-05T00:00:00Z", "2026-12-05T00:00:00Z"
    with dataservice.server.start(database) as service, dataservice.connect(service.host, service.port) as client:
        client.login(dataservice.server.DEMO_USER, password)
        count = len(client.recordings(start, end))
        pythonic = []
        for _ in range(repeats):
            started = time.perf_counter()
            client.recordings(start, end)
            pythonic.append(time.perf_counter() - started)
        handle, status = raw_service(service, client.session)
        callback = ds.create_callback_functor("records")
        request = ds.RecordReqData()
        request.request_data.action, request.request_data.session_key = "GET", client.session[0]
        request.start, request.end = start, end
        raw = []
        for _ in range(repeats):
            response = ds.RecordResData()
            started = time.perf_counter()
            ds.send_service_request(handle, "records", request, callback, response)
            while response.error.processingOK == 0:
                pass
            raw.append(time.perf_counter() - started)
            assert len(response.record_data) == count
        ds.destroy_service(handle)
        ds.destroy_callback_functor("records", callback)
        del status
    return {"records": count, "dataclasses_ms": statistics.median(pythonic) * 1e3,
            "raw_received_ms": statistics.median(raw) * 1e3}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ds-bench", help="the C++ benchmark program, for the C ping-pong")
    parser.add_argument("--canned", help="ds_canned_service, for the client against a serving side with no work")
    parser.add_argument("--rounds", type=int, default=5000)
    parser.add_argument("--batches", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--socket-echo", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--zmq-echo", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--grpc-echo", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.socket_echo is not None:
        return serve_socket_echo(options.socket_echo)
    if options.zmq_echo:
        return serve_zmq_echo()
    if options.grpc_echo:
        return serve_grpc_echo()

    # The payload sizes of the C ping-pong's frames (ds_bench reports 141 and 162 bytes with the header).
    request_size, response_size = 113, 134
    results = {}
    with dataservice.server.start(sample=True) as service:
        with dataservice.connect(service.host, service.port) as client:
            client.login(service.user, service.password)
            session = client.session
        results["round trip: client.device(id)"] = blocking_round_trips(service, session, options.rounds)
        results["round trip: raw module, spinning"] = raw_spinning_round_trips(service, session, options.rounds)
        results["in flight: AsyncClient req/s"] = async_throughput(service, session, options.batches)
        results["in flight: raw module req/s"] = raw_throughput(service, session, options.batches)
    if options.canned:
        with CannedService(options.canned) as canned:
            anyone = ("-", "-")  # the canned answers check no session
            results["canned: round trip: client.device(id)"] = blocking_round_trips(canned, anyone, options.rounds)
            results["canned: round trip: raw module, spinning"] = raw_spinning_round_trips(canned, anyone,
                                                                                         options.rounds)
            results["canned: in flight: AsyncClient req/s"] = async_throughput(canned, anyone, options.batches)
            results["canned: in flight: raw module req/s"] = raw_throughput(canned, anyone, options.batches)
    results["round trip: Python socket ping-pong"] = socket_round_trips(options.rounds, request_size, response_size)
    if options.ds_bench:
        results["round trip: C ping-pong"] = c_round_trips(options.ds_bench)
    results["in flight: pyzmq DEALER/ROUTER req/s"] = zmq_throughput(options.batches, response_size)
    results["in flight: gRPC futures req/s"] = grpc_throughput(options.batches, response_size)
    results["10,000-record reply"] = large_reply(options.repeats)
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
