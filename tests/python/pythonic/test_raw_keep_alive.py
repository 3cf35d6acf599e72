"""The raw module keeps a response record handed to send_service_request alive while its request is pending, so
that a temporary record is never freed under the thread that completes it; it lets the record go on its next call
for that service after the request ended, or when the service is destroyed."""

import gc
import weakref

import pytest

import DataServicePyWrapper as ds
from binding_support import wait_until


def send_temporaries(service, callback, count):
    """Sends count requests whose response records only the module holds; returns weak references to them."""
    references = []
    for _ in range(count):
        response = ds.DeviceResData()
        references.append(weakref.ref(response))
        assert ds.send_service_request(service, "devices", ds.DeviceReqData(), callback, response) == 1
        del response
    gc.collect()
    return references


@pytest.mark.parametrize("ending", ["destroy_service", "service_connect"])
def test_temporary_records_of_unanswered_requests_live_until_the_service_lets_them_go(services, peer, ending):
    silent = peer("silent")
    service, _ = services(silent.port)
    references = send_temporaries(service, services.callback(service, "devices"), 3)
    assert all(reference() is not None for reference in references)
    if ending == "destroy_service":
        services.destroy(service)
    else:  # ends the pending requests with code 5, after which nothing writes the records
        assert ds.service_connect(service, "127.0.0.1", silent.port, None) == 1
    gc.collect()
    assert [reference() for reference in references] == [None] * 3


def test_temporary_records_of_answered_requests_are_released_by_a_later_call(services, service):
    handle, _ = services(service.port)
    callback = services.callback(handle, "devices")
    references = send_temporaries(handle, callback, 3)
    # Each later call releases what ended before it; one without a response record keeps nothing itself.
    later_call = lambda: ds.send_service_request(handle, "devices", ds.DeviceReqData(), callback, None)
    assert wait_until(lambda: later_call() and gc.collect() is not None and all(r() is None for r in references))


def test_a_request_that_was_not_sent_keeps_nothing(services, peer):
    service, _ = services(peer("silent").port)
    response = ds.DeviceResData()
    reference = weakref.ref(response)
    assert ds.send_service_request(service, "no_such_action", ds.DeviceReqData(),
                                   services.callback(service, "devices"), response) == 0
    del response
    gc.collect()
    assert reference() is None
