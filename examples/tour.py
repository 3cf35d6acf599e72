"""A tour of the data service from Python: the reference service on the sample installation, asked through the
Pythonic client. Logs in, lists the cameras, lists yesterday's recordings of one camera, saves its snapshot to a
file and changes an SMTP setting.

Usage: python3 examples/tour.py [FOLDER]   (after `pip install .`; the snapshot goes to FOLDER, default .)
"""

import datetime
import json
import pathlib
import sys

import dataservice
import dataservice.server


def yesterday_of(installation):
    """The sample's clock stands still: its recordings end at midnight UTC of one day, whose eve is its yesterday."""
    schedule = json.loads(installation.read_text())["devices"][0]["recording_schedule"]
    until = datetime.datetime.strptime(schedule["until"], "%Y-%m-%dT%H:%M:%SZ")
    return until - datetime.timedelta(days=1), until


def main(folder):
    with dataservice.server.start(sample=True) as service:
        print("reference service on %s:%d with the sample installation\n" % (service.host, service.port))
        with dataservice.connect(service.host, service.port) as client:
            client.login(service.user, service.password)
            print("logged in as %s\n" % service.user)

            cameras = client.devices()
            print("%d cameras:" % len(cameras))
            for camera in cameras:
                print("  %-7s %-22s %s" % (camera.id, camera.name, camera.type))

            camera = cameras[0]
            start, end = yesterday_of(dataservice.server.SAMPLE_INSTALLATION)
            recordings = client.recordings(start, end, device=camera.id)
            print("\n%d recordings of %s on %s, the first: %s to %s, %s" % (
                len(recordings), camera.id, start.date(), recordings[0].start, recordings[0].end,
                recordings[0].rtsp_url))

            image = pathlib.Path(folder) / ("%s.png" % camera.id)
            image.write_bytes(client.snapshot(camera.id))
            print("\nsnapshot of %s saved to %s (%d bytes)" % (camera.id, image, image.stat().st_size))

            relay = client.call("smtp_settings_id", smtp_setting_data={"id": "smtp-relay"}).smtp_setting_data
            changed = client.update_smtp_setting(relay, port=2525, need_ssl=1)
            print("\nSMTP setting %s: port %d -> %d, SSL %d -> %d" % (relay.id, relay.port, changed.port,
                                                                       relay.need_ssl, changed.need_ssl))
            try:
                client.device("cam-99")
            except dataservice.NotFoundError as error:
                print("\nerrors are exceptions: %s: %s" % (type(error).__name__, error))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
