#!/usr/bin/env python3
"""Writes an installation file and its camera snapshots.

With no options it writes the sample site committed beside this script
(examples/installation.json and examples/snapshots/): a logistics depot with
a dozen cameras of three makes, 30 days of one-hour recordings each. Larger
sites for benchmarks come from the same generator, for example a year of 120
cameras (1,051,200 recordings):

    python3 examples/make_installation.py --cameras 120 --days 365 --output /tmp/big/installation.json

The output is deterministic: the same options always give the same bytes.
"""

import argparse
import datetime
import json
import os
import struct
import zlib

# Three makes of camera and what each offers: components (name, type, the
# indexes of the device's stream profiles it serves) and stream profiles.
MAKES = [
    {
        "model": "Orvane OV-2140 bullet",
        "path": "/stream/{profile}",
        "components": [("Video sensor", "video", [0, 1]), ("I/O port", "io", [])],
        "profiles": [
            ("main", "4096", "high", "25", "1920x1080", "H.264"),
            ("sub", "768", "medium", "15", "640x360", "H.264"),
        ],
    },
    {
        "model": "Keltrix KX-D520 dome",
        "path": "/live/ch1/{profile}",
        "components": [
            ("Video sensor", "video", [0, 1, 2]),
            ("Microphone", "audio", []),
            ("Alarm input", "io", []),
        ],
        "profiles": [
            ("main", "6144", "high", "30", "2560x1440", "H.265"),
            ("sub", "1024", "medium", "15", "704x576", "H.264"),
            ("mobile", "384", "low", "10", "352x288", "H.264"),
        ],
    },
    {
        "model": "Lumosa LM-P360 PTZ",
        "path": "/media/{profile}",
        "components": [
            ("Video sensor", "video", [0, 1]),
            ("Pan-tilt-zoom head", "ptz", []),
            ("Microphone", "audio", []),
            ("Relay output", "io", []),
        ],
        "profiles": [
            ("main", "8192", "high", "25", "3840x2160", "H.265"),
            ("sub", "1536", "medium", "25", "1280x720", "H.264"),
        ],
    },
]

PLACES = [
    "Gate 1 entrance", "Gate 1 exit", "Gate 2 trucks", "Loading bay A", "Loading bay B",
    "Loading bay C", "Warehouse aisle 1", "Warehouse aisle 4", "Yard north", "Yard south",
    "Fuel station", "Reception",
]

RECORDERS = [("nvr-1", "10.20.0.5"), ("nvr-2", "10.20.0.6")]


def png(width, height, pixel):
    """A truecolour PNG of pixel(x, y) -> (r, g, b), with zlib only."""

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    rows = b"".join(
        b"\x00" + bytes(value for x in range(width) for value in pixel(x, y))
        for y in range(height)
    )
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def snapshot(number):
    """A small scene: sky, ground and a building whose place depends on the camera."""
    left = 20 + (number * 37) % 90

    def pixel(x, y):
        if y < 38:
            return (110 + y, 150 + y, 205)
        if left <= x < left + 40 and 22 <= y < 60:
            return (150, 70 + (x - left) * 2, 60) if (x // 6 + y // 6) % 4 else (230, 220, 140)
        return (60 + (x * 3 + number * 11) % 30, 90 + y // 3, 60)

    return png(160, 90, pixel)


def utc(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def installation(cameras, days, until):
    first = until - datetime.timedelta(days=days)
    devices = []
    for index in range(cameras):
        number = index + 1
        device_id = f"cam-{number:02d}" if cameras < 100 else f"cam-{number:03d}"
        make = MAKES[index % len(MAKES)]
        address = f"10.20.{1 + index // 200}.{11 + index % 200}"
        profiles = [
            {
                "id": name,
                "rtsp_url": f"rtsp://{address}:554" + make["path"].format(profile=name),
                "bitrates": bitrates,
                "quality": quality,
                "fps": fps,
                "resolution": resolution,
                "format": video_format,
            }
            for name, bitrates, quality, fps, resolution, video_format in make["profiles"]
        ]
        recorder, recorder_address = RECORDERS[index * len(RECORDERS) // cameras]
        place = PLACES[index % len(PLACES)]
        if index >= len(PLACES):
            place += f" {index // len(PLACES) + 1}"
        devices.append({
            "id": device_id,
            "name": place,
            "type": make["model"],
            "components": [
                {
                    "id": f"{device_id}-{kind}",
                    "name": name,
                    "type": kind,
                    "stream_profiles": [profiles[p]["id"] for p in served],
                }
                for name, kind, served in make["components"]
            ],
            "stream_profiles": profiles,
            "snapshot": f"snapshots/{device_id}.png",
            "recording_schedule": {
                "from": utc(first),
                "until": utc(until),
                "segment_seconds": 3600,
                "stream_profile_id": "main",
                "service_id": recorder,
                "playback_url": f"rtsp://{recorder_address}:8554/playback/{device_id}",
            },
        })
    return {
        "format_version": 1,
        "services": [
            {
                "id": recorder,
                "type": "recording",
                "service_port": 8554,
                "service_switch": "on",
                "links": [
                    {"ref": "self", "url": f"http://{address}:8080/api/services/{recorder}"},
                    {"ref": "playback", "url": f"rtsp://{address}:8554/playback"},
                ],
            }
            for recorder, address in RECORDERS
        ] + [
            {
                "id": "analytics-1",
                "type": "analytics",
                "service_port": 9090,
                "service_switch": "on",
                "links": [{"ref": "self", "url": "http://10.20.0.7:9090/api/services/analytics-1"}],
            },
            {
                "id": "events-1",
                "type": "event",
                "service_port": 7070,
                "service_switch": "off",
                "links": [],
            },
        ],
        "smtp_settings": [
            {
                "id": "smtp-main", "host": "mail.depot.example", "port": 587,
                "username": "alerts@depot.example", "password": "change-me",
                "sender": "Depot cameras <alerts@depot.example>", "need_auth": 1, "need_ssl": 1,
            },
            {
                "id": "smtp-relay", "host": "10.20.0.25", "port": 25, "username": "",
                "password": "", "sender": "cameras@depot.example", "need_auth": 0, "need_ssl": 0,
            },
        ],
        "ftp_sites": [
            {
                "id": "ftp-archive", "host": "10.20.0.40", "port": 21, "username": "archive",
                "password": "change-me", "dst_path": "/exports/snapshots", "passive_mode": 1,
            },
            {
                "id": "ftp-offsite", "host": "backup.offsite.example", "port": 2121,
                "username": "depot", "password": "change-me", "dst_path": "/depot/clips",
                "passive_mode": 0,
            },
        ],
        "contacts": [
            {"id": "contact-1", "name": "Mara Lindqvist", "email": "m.lindqvist@depot.example",
             "description": "Site security lead"},
            {"id": "contact-2", "name": "Tomas Okafor", "email": "t.okafor@depot.example",
             "description": "Night shift supervisor"},
            {"id": "contact-3", "name": "Control room", "email": "control@depot.example",
             "description": "Staffed around the clock"},
            {"id": "contact-4", "name": "Facilities", "email": "facilities@depot.example",
             "description": "Camera maintenance and cleaning"},
        ],
        "devices": devices,
        "trackers": [
            {"type": "licence-plate", "id": "trk-1", "name": "Gate 1 plate reader",
             "associated_device": {"server_id": "analytics-1", "device_id": devices[0]["id"]}},
            {"type": "licence-plate", "id": "trk-2", "name": "Gate 2 plate reader",
             "associated_device": {"server_id": "analytics-1", "device_id": devices[2 % cameras]["id"]}},
            {"type": "ptz-autotrack", "id": "trk-3", "name": "Yard intruder follow",
             "associated_device": {"server_id": "analytics-1", "device_id": devices[8 % cameras]["id"]}},
            {"type": "motion", "id": "trk-4", "name": "Fuel station motion",
             "associated_device": {"server_id": "events-1", "device_id": devices[10 % cameras]["id"]}},
        ],
        "rtsp_setting": {"ips": [address for _, address in RECORDERS], "port": 554},
    }


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cameras", type=int, default=12)
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--until", default="2026-12-05",
                        help="UTC day at whose midnight the recordings end (default %(default)s)")
    parser.add_argument("--output", default=os.path.join(here, "installation.json"))
    options = parser.parse_args()
    if options.cameras < 1 or options.days < 1:
        parser.error("--cameras and --days must be at least 1")

    until = datetime.datetime.strptime(options.until, "%Y-%m-%d")
    document = installation(options.cameras, options.days, until)
    folder = os.path.dirname(os.path.abspath(options.output))
    os.makedirs(os.path.join(folder, "snapshots"), exist_ok=True)
    for number, device in enumerate(document["devices"], start=1):
        with open(os.path.join(folder, device["snapshot"]), "wb") as image:
            image.write(snapshot(number))
    with open(options.output, "w", encoding="utf-8") as output:
        json.dump(document, output, indent=2)
        output.write("\n")


if __name__ == "__main__":
    main()
