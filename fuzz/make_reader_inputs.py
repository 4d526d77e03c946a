#!/usr/bin/env python3
"""Writes the structured seeds of the property-list and keyed-archive
readers into fuzz/corpus/plist_reader/ and fuzz/corpus/keyed_archive_reader/
(files named shape-*), the same bytes on every run.

Each shape is one a mutating fuzzer rarely builds by chance:
- binary lists and archives whose containers name the next one twice, so
  that expanding every reference doubles at each level;
- XML whose closing tags hide in comments, processing instructions, CDATA,
  a DOCTYPE's internal subset or a quoted attribute value, which the parser
  skips, so that only a reader counting as it does sees the real depth;
- dates at, and a microsecond either side of, the ends of the range a list
  holds, in both forms, and archived dates (NS.time) that are not numbers a
  date can have;
- collections kept as they are in an archive's object table, nested about
  as deep as an archive may nest.

    fuzz/make_reader_inputs.py            # rewrite the seeds
    fuzz/make_reader_inputs.py --check    # fail if any seed differs
"""

import os
import plistlib
import struct
import sys

ROOT = os.path.dirname(os.path.abspath(__file__))
UID = plistlib.UID

# Seconds since 2001 that a list holds, both ends excluded.
EARLIEST = -2147483647.0
LATEST = 2147483646.0


def binary(value):
    return plistlib.dumps(value, fmt=plistlib.FMT_BINARY, sort_keys=True)


def doubling_list(levels):
    """Arrays each holding the next one twice: one object per level in the
    file, 2**levels arrays once expanded."""
    inner = ["leaf"]
    for _ in range(levels):
        inner = [inner, inner]
    return binary(inner)


def single_date(seconds):
    """A binary list of one date, written byte by byte so that any double
    can be chosen."""
    body = b"bplist00" + b"\x33" + struct.pack(">d", seconds)
    table = len(body)
    trailer = bytes(6) + bytes([1, 1]) + struct.pack(">QQQ", 1, 0, table)
    return body + bytes([8]) + trailer


def hidden_depth_xml(levels, hider, opener="<array>"):
    """`levels` arrays nested, each followed by text that holds a closing
    tag the parser never reads as one."""
    return ("<plist>" + (opener + hider) * levels + "<true/>" + "</array>" * levels + "</plist>").encode()


HIDERS = {
    "comment": "<!-- </array> -->",
    "processing-instruction": "<?note </array> ?>",
    "doctype-subset": "<!DOCTYPE plist [ </array> ]>",
    "cdata": "<string><![CDATA[</array>]]></string>",
}


def xml_date(text):
    return ("<plist><date>" + text + "</date></plist>").encode()


def archive(root_members, objects_after_classes, root_class="Record"):
    """A keyed archive: $null, the root object, its class, the classes
    NSArray and NSDate, then `objects_after_classes` from index 5 on."""
    objects = ["$null", dict(root_members, **{"$class": UID(2)}),
               {"$classname": root_class, "$classes": [root_class, "NSObject"]},
               {"$classname": "NSArray", "$classes": ["NSArray", "NSObject"]},
               {"$classname": "NSDate", "$classes": ["NSDate", "NSObject"]}]
    objects += objects_after_classes
    return binary({"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {"root": UID(1)},
                   "$objects": objects})


def doubling_archive(levels):
    """NSArrays each naming the next twice: 2**levels arrays once decoded."""
    arrays = [{"NS.objects": [UID(6 + i), UID(6 + i)], "$class": UID(3)} for i in range(levels)]
    arrays.append({"NS.objects": [], "$class": UID(3)})
    return archive({"list": UID(5)}, arrays)


def archived_time(time):
    return archive({"ts": UID(5)}, [{"NS.time": time, "$class": UID(4)}])


def kept_nesting(levels):
    """A collection kept as it is in the table: `levels` arrays around 1."""
    nested = 1
    for _ in range(levels):
        nested = [nested]
    return archive({"list": UID(5)}, [nested])


def plist_seeds():
    seeds = {
        "shape-binary-shared-40-levels": doubling_list(40),
        "shape-binary-shared-10-levels": doubling_list(10),
        "shape-binary-date-latest-below": single_date(LATEST - 1e-6),
        "shape-binary-date-latest-rounds-onto": single_date(LATEST - 3e-7),
        "shape-binary-date-earliest-above": single_date(EARLIEST + 1e-6),
        "shape-binary-date-earliest-rounds-onto": single_date(EARLIEST + 3e-7),
        "shape-xml-date-latest-second": xml_date("2069-01-19T03:14:05Z"),
        "shape-xml-date-past-latest": xml_date("2069-01-19T03:14:06Z"),
        "shape-xml-date-earliest-second": xml_date("1932-12-13T20:45:54Z"),
        "shape-xml-date-past-earliest": xml_date("1932-12-13T20:45:53Z"),
        "shape-xml-depth-quoted-attribute": hidden_depth_xml(600, "", opener='<array a="</array>">'),
        "shape-xml-depth-512-with-tags-in-comments": hidden_depth_xml(512, "<!-- <array> -->"),
    }
    for name, hider in HIDERS.items():
        seeds["shape-xml-depth-" + name] = hidden_depth_xml(600, hider)
    return seeds


def archive_seeds():
    seeds = {
        "shape-shared-arrays-40-levels": doubling_archive(40),
        "shape-shared-arrays-10-levels": doubling_archive(10),
        "shape-kept-array-65-deep": kept_nesting(65),
        "shape-kept-array-64-deep": kept_nesting(64),
        "shape-time-latest-second": archived_time(2147483645),
        "shape-time-latest-integer": archived_time(2147483646),
        "shape-time-earliest-integer": archived_time(-2147483647),
    }
    for name, time in {"nan": float("nan"), "inf": float("inf"), "minus-inf": float("-inf"),
                       "1e300": 1e300, "minus-1e300": -1e300, "3e9": 3e9, "minus-3e9": -3e9}.items():
        seeds["shape-time-" + name] = archived_time(time)
    return seeds


def main():
    check = sys.argv[1:] == ["--check"]
    stale = []
    for target, seeds in (("plist_reader", plist_seeds()), ("keyed_archive_reader", archive_seeds())):
        folder = os.path.join(ROOT, "corpus", target)
        for name, data in sorted(seeds.items()):
            path = os.path.join(folder, name)
            if check:
                with open(path, "rb") as f:
                    if f.read() != data:
                        stale.append(path)
            else:
                with open(path, "wb") as f:
                    f.write(data)
    for path in stale:
        print(f"{path}: differs from what make_reader_inputs.py writes", file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
