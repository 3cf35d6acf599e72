"""Every action through Client and AsyncClient against the reference service on the sample installation: the
results are the sample's values as frozen dataclasses, and writes come back as they were written."""

import dataclasses
import datetime
import itertools
import re

import pytest

from dataservice import records
from dataservice.server import SAMPLE_INSTALLATION

UTC = datetime.timezone.utc
SAMPLE_FOLDER = SAMPLE_INSTALLATION.parent
URLS = itertools.count()


def by_id(rows, wanted):
    return next(row for row in rows if row["id"] == wanted)


def device_record(device):
    return records.DeviceData(device["id"], device["name"], device["type"], [c["id"] for c in device["components"]])


def snapshot_file(sample, device):
    return SAMPLE_FOLDER.joinpath(by_id(sample["devices"], device)["snapshot"]).read_bytes()


def ids(rows):
    return sorted(row.id if hasattr(row, "id") else row["id"] for row in rows)


def dicts(rows):
    return [row.to_dict() for row in rows]


# (action, call on a client, the result's shape compared, the expected shape from the sample installation)
READS = [
    # A signature is accepted once: each call signs another url.
    ("verify_authentication", lambda c: c.verify("/api/check/%d" % next(URLS), "acme"), lambda r: r.service_error.errorCode,
     lambda sample: 200),
    ("authentications_sessionkey", lambda c: c.check_session(), lambda r: r, lambda sample: None),
    ("services", lambda c: c.services(), ids, lambda sample: ids(sample["services"])),
    ("services_id", lambda c: c.service("nvr-1"), records.Record.to_dict,
     lambda sample: by_id(sample["services"], "nvr-1")),
    ("smtp_settings", lambda c: c.smtp_settings(), records.Record.to_dict, lambda sample: sample["smtp_settings"][0]),
    ("smtp_settings_id", lambda c: c.call("smtp_settings_id", smtp_setting_data={"id": "smtp-relay"}), lambda r: r,
     lambda sample: records.SmtpSettingIdResData(records.SmtpSettingData(**by_id(sample["smtp_settings"],
                                                                                  "smtp-relay")))),
    ("ftp_sites", lambda c: c.ftp_sites(), records.Record.to_dict, lambda sample: sample["ftp_sites"][0]),
    ("ftp_sites_id", lambda c: c.call("ftp_sites_id", ftp_site_data={"id": "ftp-offsite"}),
     lambda r: r.ftp_site_data.to_dict(), lambda sample: by_id(sample["ftp_sites"], "ftp-offsite")),
    ("contacts", lambda c: c.contacts(), lambda r: [x.to_dict() for x in r if x.id in ("contact-1", "contact-4")],
     lambda sample: [by_id(sample["contacts"], "contact-1"), by_id(sample["contacts"], "contact-4")]),
    ("contacts_id", lambda c: c.call("contacts_id", contact_data={"id": "contact-2"}),
     lambda r: r.contact_data.to_dict(), lambda sample: by_id(sample["contacts"], "contact-2")),
    ("devices", lambda c: c.devices(), lambda r: sorted(r, key=lambda d: d.id),
     lambda sample: sorted((device_record(d) for d in sample["devices"]), key=lambda d: d.id)),
    ("devices_id", lambda c: c.device("cam-03"), lambda r: r, lambda sample: device_record(sample["devices"][2])),
    ("devices_id_streamprofiles", lambda c: c.stream_profiles("cam-01"), dicts,
     lambda sample: sample["devices"][0]["stream_profiles"]),
    ("devices_id_streamprofiles_id", lambda c: c.stream_profile("cam-01", "sub"), records.Record.to_dict,
     lambda sample: by_id(sample["devices"][0]["stream_profiles"], "sub")),
    ("records", lambda c: c.recordings(datetime.datetime(2026, 12, 4, 23, 30, tzinfo=UTC), "2026-12-04T23:40:00Z"),
     lambda r: sorted(x.device_id for x in r),
     lambda sample: sorted(d["id"] for d in sample["devices"] if d.get("recording_schedule"))),
    ("devices_id_records", lambda c: c.recordings(datetime.datetime(2026, 12, 1, 10, 30),
                                                  datetime.datetime(2026, 12, 1, 12, 30), device="cam-01"),
     lambda r: [(x.start, x.end) for x in r],
     lambda sample: [("2026-12-01T%02d:00:00Z" % h, "2026-12-01T%02d:59:59Z" % h) for h in (10, 11, 12)]),
    ("trackers", lambda c: c.trackers(), lambda r: sorted(dicts(r), key=lambda t: t["id"]),
     lambda sample: sorted(sample["trackers"], key=lambda t: t["id"])),
    ("devices_id_image", lambda c: c.snapshot("cam-02"), lambda r: r, lambda sample: snapshot_file(sample, "cam-02")),
    ("rtsp_setting", lambda c: c.rtsp_setting(), records.Record.to_dict, lambda sample: sample["rtsp_setting"]),
    ("components", lambda c: c.components("cam-01"), ids, lambda sample: ids(sample["devices"][0]["components"])),
    ("components_id", lambda c: c.component("cam-01-video"), lambda r: r,
     lambda sample: records.ComponentData(**sample["devices"][0]["components"][0])),
]


@pytest.mark.parametrize("action, call, shape, expected", READS, ids=[row[0] for row in READS])
def test_every_read_answers_the_sample_installations_values(through, sample, action, call, shape, expected):
    assert shape(through(call)) == expected(sample)


def test_login_keeps_a_new_session_that_later_calls_use_and_logout_forgets(through, service):
    def log_in_and_use(client):
        reply = client.login(service.user, service.password)
        return reply, client.session, client.check_session(), client.logout(), client.session
    outcome = through(lambda c: log_in_and_use(c) if through.kind == "blocking" else _async_login(c, service),
                      logged_in=False)
    reply, session, checked, _, after = outcome
    assert re.fullmatch("[0-9a-f]{32,}", reply.session_key) and re.fullmatch("[0-9a-f]{32,}", reply.secret_key)
    assert (session, checked, after) == ((reply.session_key, reply.secret_key), None, ("", ""))


async def _async_login(client, service):
    reply = await client.login(service.user, service.password)
    session = client.session
    checked = await client.check_session()
    return reply, session, checked, client.logout(), client.session


def test_writes_come_back_as_written_and_deleted_contacts_are_gone(through):
    def blocking(c):
        created = c.add_contact("Night desk", "desk@depot.example", "added by a test")
        changed = c.update_contact(created, email="night@depot.example")
        relay = c.call("smtp_settings_id", smtp_setting_data={"id": "smtp-relay"}).smtp_setting_data
        stored = c.update_smtp_setting(relay, port=relay.port + 1)
        site = c.update_ftp_site({"id": "ftp-offsite", **c.call("ftp_sites_id", ftp_site_data={"id": "ftp-offsite"})
                                  .ftp_site_data.to_dict()}, passive_mode=0)
        c.update_smtp_setting(relay)
        c.delete_contact(created.id)
        return created, changed, stored.port - relay.port, site.passive_mode, [x.id for x in c.contacts()]

    async def asynchronous(c):
        created = await c.add_contact("Night desk", "desk@depot.example", "added by a test")
        changed = await c.update_contact(created, email="night@depot.example")
        relay = (await c.call("smtp_settings_id", smtp_setting_data={"id": "smtp-relay"})).smtp_setting_data
        stored = await c.update_smtp_setting(relay, port=relay.port + 1)
        site = (await c.call("ftp_sites_id", ftp_site_data={"id": "ftp-offsite"})).ftp_site_data
        site = await c.update_ftp_site(site, passive_mode=0)
        await c.update_smtp_setting(relay)
        await c.delete_contact(created.id)
        return created, changed, stored.port - relay.port, site.passive_mode, [x.id for x in await c.contacts()]

    created, changed, step, passive, remaining = through(blocking if through.kind == "blocking" else asynchronous)
    assert (created.name, created.email, created.description) == ("Night desk", "desk@depot.example", "added by a test")
    assert changed == dataclasses.replace(created, email="night@depot.example")
    assert (step, passive) == (1, 0)
    assert created.id and created.id not in remaining
