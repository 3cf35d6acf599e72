"""Many requests in flight on one client: a thousand gathered coroutines, eight threads sharing a blocking client,
waiters that sleep rather than spin, and closing a client under calls still waiting."""

import asyncio
import threading
import time

import pytest

import dataservice
from binding_support import wait_until
from dataservice import ConnectionLostError

DEVICES = ["cam-%02d" % number for number in range(1, 13)]


def test_a_thousand_gathered_calls_on_one_async_client_each_get_their_own_answer(service, session):
    async def main():
        async with dataservice.connect_async(service.host, service.port) as client:
            client.use_session(*session)
            wanted = [DEVICES[index % len(DEVICES)] for index in range(1000)]
            answers = await asyncio.gather(*(client.device(device) for device in wanted))
            return wanted, [answer.id for answer in answers]
    wanted, answered = asyncio.run(main())
    assert answered == wanted


def test_eight_threads_sharing_one_client_each_get_their_own_answers(client):
    answers, failures = {}, []

    def work(thread):
        try:
            answers[thread] = [client.device(DEVICES[(thread + i) % len(DEVICES)]).id for i in range(150)]
        except Exception as failure:  # reported below, with the thread's number
            failures.append((thread, failure))
    threads = [threading.Thread(target=work, args=(number,)) for number in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert answers == {t: [DEVICES[(t + i) % len(DEVICES)] for i in range(150)] for t in range(8)}


def test_a_waiting_thread_sleeps_until_its_request_ends(peer):
    silent = peer("silent")
    with dataservice.connect("127.0.0.1", silent.port, timeout=0.5) as client:
        started_cpu, started = time.thread_time(), time.monotonic()
        with pytest.raises(dataservice.ServiceTimeoutError):
            client.devices()
        cpu, waited = time.thread_time() - started_cpu, time.monotonic() - started
    # A spinning or stepping waiter would use about as much processor time as it waited.
    assert waited >= 0.45 and cpu < 0.2 * waited


@pytest.mark.parametrize("kind", ["blocking", "asyncio"])
def test_closing_a_client_ends_the_calls_still_waiting_with_connection_lost(peer, kind):
    silent = peer("silent")
    if kind == "asyncio":
        async def main():
            client = dataservice.connect_async("127.0.0.1", silent.port, timeout=None)
            calls = [asyncio.ensure_future(client.devices()) for _ in range(3)]
            await asyncio.sleep(0)  # the calls are sent
            await client.aclose()
            return await asyncio.gather(*calls, return_exceptions=True)
        outcomes = asyncio.run(main())
    else:
        client = dataservice.connect("127.0.0.1", silent.port, timeout=None)
        outcomes, sent = [], threading.Barrier(4)

        def call():
            sent.wait()
            try:
                client.devices()
            except Exception as failure:
                outcomes.append(failure)
        threads = [threading.Thread(target=call) for _ in range(3)]
        for thread in threads:
            thread.start()
        sent.wait()
        assert wait_until(lambda: client.in_flight == 3)
        client.close()
        for thread in threads:
            thread.join()
    assert [(type(o), o.code) for o in outcomes] == [(ConnectionLostError, 5)] * 3
