#!/usr/bin/env python3
"""Writes the structured seeds of the property-list and keyed-archive
readers, the HTTP head parser and the cache's row reader into
fuzz/corpus/<target>/ (files named shape-*), the same bytes on every run.

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
  as deep as an archive may nest;
- lists at the depth limit that end in a UID (which reads as a dictionary,
  one level more) or an empty container, in both forms;
- one text, UTF-16 text, data or key named from many places, in lists and
  archives, beside shared texts short enough to read, and lists at and past
  the bound on what sharing may expand into, counted in the memory each
  copy takes: small containers named from many places (empty dictionaries
  three to an array, an array of one item), which reached a thousand times
  a list's size once, beside a shared UID, which is built once, and the
  most our writer's shared keys and texts come to; in archives and the
  cache's older rows, an NSArray naming another from many places, which
  decoded and archived again into a hundred times its size; and the shapes
  other writers make, read once and shared: one text, data, dictionary or
  empty array named from many places, a history of a few addresses named
  thousands of times, a cart of lines sharing a picture, a cycle;
- XML forms other readers read (reals past a double's range, dates with
  their smaller units left out, character references with leading zeros)
  or refuse (a plist inside a plist), and text XML 1.0 cannot hold, which
  reads and writes again in binary only;
- raw carriage returns, alone and before or after a line feed, in XML text,
  CDATA and keys, which read as line feeds, beside &#13;, which reads as a
  carriage return; dates before 2001 with a fraction of a second, which
  XML writes as the second they fall in, one inside the first second of
  the range among them, in both forms;
- long arrays and archives (a pending-topics list of many batches, and
  one whose empty batches, which the list drops, come first), keys
  and integers that fill one bucket of the format library's hash tables, a
  key repeated after many others, and text of many entities: small
  versions of inputs that once took time quadratic in their size;
- HTTP heads that grow when written (fields without a space after the
  colon) or shrink (spaces around values), at and one byte past 64 KiB as
  written or as received, and folded or repeated field lines;
- user-defaults journals whose records' checksums are right, so that a
  mutation starts past the checksum: sound records of each kind, and
  records the replay refuses as damage (a set holding an XML list, two
  pairs, no pair, an array or a UID; a removal of a key that is not UTF-8;
  a clear with a body; an unknown kind; a length of nothing), each between
  sound ones, beside a torn last record;
- the cache's rows, older pending writes among them, whose paths have tens
  of thousands of keys (an update's member among them, under a member
  above it), and writes and server rows, older and current, at and one
  level past the deepest a location may lie.

    fuzz/make_reader_inputs.py            # rewrite the seeds
    fuzz/make_reader_inputs.py --check    # fail if any seed differs
"""

import datetime
import os
import plistlib
import struct
import sys
import zlib

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


def nested(levels, inner):
    """`inner` inside `levels` arrays, one in the next."""
    for _ in range(levels):
        inner = [inner]
    return inner


def bucket_of(data, seed):
    """djb2 over signed bytes, kept to 4,096 buckets, as the format library
    hashes nodes and dictionary keys."""
    h = seed
    for b in data:
        h = (h * 33 + (b - 256 if b > 127 else b)) & 0xFFFFFFFF
    return h & 0xFFF


def keys_of_one_bucket(count):
    """Keys of bucket 0: a prefix, a letter, and a last character solved for."""
    keys = []
    i = 0
    while len(keys) < count:
        prefix = "k%d" % i
        for a in "abcdefghijklmnopqrstuvwxyz":
            last = (-bucket_of((prefix + a).encode(), 5381) * 33) % 4096
            if last < 128 and chr(last).isalnum():
                keys.append(prefix + a + chr(last))
                break
        i += 1
    return keys


def integers_of_one_bucket(count):
    """Integers whose eight little-endian bytes hash to one bucket: the high
    six bytes from a counter, the low two solved for (the lowest byte is
    multiplied by 33**7, which is odd and so has an inverse mod 4,096)."""
    c6 = pow(33, 6, 4096)
    inverse7 = pow(c6 * 33 % 4096, -1, 4096)
    out = []
    high = 1
    while len(out) < count:
        zero_low = bucket_of(bytes(2) + high.to_bytes(6, "little"), 5381 + 2)
        for b1 in range(-128, 128):
            b0 = -(zero_low + b1 * c6) * inverse7 % 4096
            if b0 < 128 or b0 >= 4096 - 128:
                out.append(high << 16 | (b1 & 0xFF) << 8 | (b0 & 0xFF))
                break
        high += 1
    return out


def xml_plist(body):
    return ("<plist>" + body + "</plist>").encode()


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
    uid_dict = "<dict><key>CF$UID</key><integer>1</integer></dict>"
    keys = keys_of_one_bucket(500)
    seeds.update({
        "shape-binary-uid-depth-511": binary(nested(511, UID(1))),
        "shape-binary-uid-depth-512": binary(nested(512, UID(1))),
        "shape-binary-empty-array-depth-512": binary(nested(512, [])),
        "shape-binary-empty-array-depth-513": binary(nested(513, [])),
        "shape-xml-uid-dict-depth-511": xml_plist("<array>" * 511 + uid_dict + "</array>" * 511),
        "shape-xml-uid-dict-depth-512": xml_plist("<array>" * 512 + uid_dict + "</array>" * 512),
        "shape-binary-shared-text-300-times": binary(["x" * 300] * 300),
        "shape-binary-shared-utf16-text-300-times": binary(["\u00e9" * 150] * 300),
        "shape-binary-shared-data-300-times": binary([bytes(300)] * 300),
        "shape-binary-shared-key-300-times": binary([{"k" * 1000: True} for _ in range(300)]),
        "shape-binary-shared-32-byte-text-300-times": binary(["y" * 32] * 300),
        "shape-binary-at-expansion-bound": binary([{}] * 2000),
        "shape-binary-past-expansion-bound": binary([[True]] * 2000),
        "shape-binary-shared-empty-dicts-three-to-an-array": binary([[{}] * 3] * 2000),
        "shape-binary-shared-uid-2000-times": binary([UID(7)] * 2000),
        "shape-binary-shared-48-byte-text-2000-times": binary(["z" * 48] * 2000),
        "shape-binary-shared-32-byte-keys-and-texts":
            binary([{"k" * 30 + str(k + 10): "v" * 32 for k in range(100)} for _ in range(100)]),
        "shape-binary-one-pair-dictionary-2000-times": binary([{"currency": "B/."}] * 2000),
        "shape-binary-empty-array-2000-times": binary([[]] * 2000),
        "shape-binary-picture-shared-by-234-records":
            binary([{"sku": "SKU-%d" % i, "picture": bytes(range(256)) * 16} for i in range(234)]),
        "shape-binary-history-of-40-addresses":
            binary({"username": "ana", "history": ["https://www.almavel.com.pa/p/%d" % (i % 40) for i in range(3000)]}),
        "shape-binary-wide-array-2000": binary([True] * 2000),
        "shape-xml-wide-array-2000": xml_plist("<array>" + "<true/>" * 2000 + "</array>"),
        "shape-binary-integers-one-bucket-500": binary(integers_of_one_bucket(500)),
        "shape-binary-keys-one-bucket-500": binary({key: True for key in keys}),
        "shape-xml-keys-one-bucket-500": xml_plist("<dict>" + "".join("<key>%s</key><true/>" % k for k in keys) + "</dict>"),
        "shape-xml-last-key-repeated-500": xml_plist("<dict>" + "".join("<key>k%d</key><true/>" % i for i in range(500)) +
                                                     "<key>k499</key><false/>" * 500 + "</dict>"),
        "shape-xml-entities-2000": xml_plist("<string>" + "&amp;" * 2000 + "</string>"),
        "shape-xml-reals-past-range": xml_plist("<array><real>1e400</real><real>-1E+400</real><real>1e-400</real>"
                                                "<real>-1e-400</real><real>12345e99999999999999999999</real></array>"),
        "shape-xml-dates-smaller-units-left-out": xml_plist("<array><date>2020-05-06Z</date><date>2020-05-06T10Z</date>"
                                                            "<date>2020-05-06T10:20Z</date></array>"),
        "shape-xml-date-month-only": xml_date("2020-05Z"),
        "shape-xml-entity-leading-zeros": xml_plist("<string>&#0000000000065;&#x" + "0" * 2000 + "41;</string>"),
        "shape-xml-entity-zeros-unended": xml_plist("<string>&#" + "0" * 2000 + "</string>"),
        "shape-xml-plist-inside-plist": xml_plist("<plist><true/></plist>"),
        "shape-xml-text-xml-cannot-hold": xml_plist("<dict><key>&#1;</key><string>a&#x1F;&#xFFFE;</string>"
                                                    "<key>b</key><string>\x7f&#xFFFD;</string>"
                                                    "<key>c</key><string>raw\x0b</string></dict>"),
        "shape-xml-carriage-returns": xml_plist("<array><string>a\rb\r\nc</string><string>&#13;</string></array>"),
        "shape-xml-raw-line-ends-in-text-and-keys":
            xml_plist("<dict><key>a\rb</key><string>c\r\nd\n\re\r\r\n</string><key>k\r\n</key><string>\r</string>"
                      "<key>\r&#13;\r\n</key><string>&#13;\r\n<![CDATA[\r\n\r]]>\r<!-- -->\n</string></dict>"),
        "shape-xml-dates-before-2001-with-fractions":
            xml_plist("<array><date>2000-12-31T23:59:59.5Z</date><date>1969-12-31T23:59:59.999999Z</date>"
                      "<date>1932-12-13T20:45:54.000001Z</date></array>"),
        "shape-xml-date-earliest-end-with-fraction": xml_date("1932-12-13T20:45:53.5Z"),
        # Written again as XML, each is floored to its second; the last two lie
        # in the range's first second, whose floor is the excluded end.
        "shape-binary-dates-before-2001-with-fractions":
            binary([datetime.datetime(2000, 12, 31, 23, 59, 59, 500000), datetime.datetime(2000, 12, 31, 23, 59, 59, 999999),
                    datetime.datetime(1969, 12, 31, 23, 59, 59, 1), datetime.datetime(1932, 12, 13, 20, 45, 54, 500000),
                    datetime.datetime(1932, 12, 13, 20, 45, 53, 500000), datetime.datetime(1932, 12, 13, 20, 45, 53, 1)]),
    })
    return seeds


def archived(root_class, members):
    """An archive as the archiver writes one, each value an object of its
    own in the table."""
    objects = ["$null", None]
    classes = {}

    def add(obj):
        objects.append(obj)
        return UID(len(objects) - 1)

    def class_ref(name):
        if name not in classes:
            classes[name] = add({"$classname": name, "$classes": [name, "NSObject"]})
        return classes[name]

    def encode(value):
        if isinstance(value, dict):
            keys = [encode(k) for k in sorted(value)]
            values = [encode(value[k]) for k in sorted(value)]
            return add({"NS.keys": keys, "NS.objects": values, "$class": class_ref("NSDictionary")})
        if isinstance(value, list):
            items = [encode(item) for item in value]
            return add({"NS.objects": items, "$class": class_ref("NSArray")})
        return add(value)

    root = {key: encode(value) for key, value in sorted(members.items())}
    root["$class"] = class_ref(root_class)
    objects[1] = root
    return binary({"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {"root": UID(1)},
                   "$objects": objects})


def named_from_array(obj, obj_class, times):
    """An NSArray naming object 6 `times` times; object 7 is `obj_class`."""
    return archive({"list": UID(5)}, [{"NS.objects": [UID(6)] * times, "$class": UID(3)}, obj,
                                      {"$classname": obj_class, "$classes": [obj_class, "NSObject"]}])


def array_named_from(times, items):
    """An NSArray naming, through one UID, an NSArray of `items` (UIDs
    to the number 7) `times` times."""
    return archive({"list": UID(5)}, [{"NS.objects": [UID(6)] * times, "$class": UID(3)},
                                      {"NS.objects": [UID(7)] * items, "$class": UID(3)}, 7])


def empty_batches_first(empty, full):
    """A pending-topics list naming one empty batch `empty` times, then one
    batch of a topic `full` times: the list drops the empty ones."""
    objects = ["$null", {"batches": UID(2), "$class": UID(3)},
               {"NS.objects": [UID(5)] * empty + [UID(7)] * full, "$class": UID(4)},
               {"$classname": "QRVMessagingPendingTopicsList", "$classes": ["QRVMessagingPendingTopicsList", "NSObject"]},
               {"$classname": "NSArray", "$classes": ["NSArray", "NSObject"]},
               {"NS.keys": [], "NS.objects": [], "$class": UID(6)},
               {"$classname": "NSDictionary", "$classes": ["NSDictionary", "NSObject"]},
               {"NS.keys": [UID(8)], "NS.objects": [UID(9)], "$class": UID(6)}, "topics",
               {"NS.objects": [UID(10)], "$class": UID(4)}, "t"]
    return binary({"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {"root": UID(1)},
                   "$objects": objects})


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
    topics = "QRVMessagingPendingTopicsList"
    seeds.update({
        "shape-shared-string-object-300-times": named_from_array({"NS.string": "x" * 300, "$class": UID(7)},
                                                                 "NSString", 300),
        "shape-shared-plain-string-300-times": named_from_array("x" * 300, "NSString", 300),
        "shape-shared-data-object-300-times": named_from_array({"NS.data": bytes(300), "$class": UID(7)},
                                                               "NSData", 300),
        "shape-topics-list-300-batches": archived(topics, {"batches": [
            {"action": i % 2, "topics": ["/topics/t%d" % i]} for i in range(300)]}),
        "shape-topics-list-shared-batches": archive({"batches": UID(5)}, [[{"topics": ["a"]}] * 300],
                                                    root_class=topics),
        "shape-topics-list-empty-batches-first": empty_batches_first(500, 250),
        "shape-array-of-two-named-from-2000-places": array_named_from(2000, 2),
        "shape-shared-one-pair-dictionary-200-times":
            archive({"list": UID(5)}, [{"NS.objects": [UID(6)] * 200, "$class": UID(3)},
                                       {"NS.keys": [UID(8)], "NS.objects": [UID(8)], "$class": UID(7)},
                                       {"$classname": "NSDictionary", "$classes": ["NSDictionary", "NSObject"]},
                                       "currency"]),
        "shape-shared-empty-array-61-times": named_from_array({"NS.objects": [], "$class": UID(3)}, "NSArray", 61),
        "shape-array-naming-itself": archive({"list": UID(5)}, [{"NS.objects": [UID(5)], "$class": UID(3)}]),
        "shape-cart-sharing-currency-and-picture": archived("Cart", {"lines": [
            {"currency": "B/.", "category": "Electrodomésticos de cocina", "picture": bytes(range(256)) * 4,
             "sku": "SKU-%d" % i, "quantity": i % 7 + 1} for i in range(60)]}),
        "shape-empty-array-named-from-2000-places": array_named_from(2000, 0),
        "shape-array-of-two-named-from-3-places": array_named_from(3, 2),
    })
    return seeds


HEAD_LIMIT = 64 * 1024
RESPONSE = b"\x00"  # the target's first byte: even reads a response
REQUEST = b"\x01"


def http_head(first, field, size, as_written):
    """`first`, copies of `field` and a last field "z:" whose value fills
    the head to `size` bytes as received, or as written ("name: value" with
    the value trimmed), then the blank line."""
    name, _, value = field.partition(b":")
    line = 2 + (len(name) + 2 + len(value.strip(b" \t")) if as_written else len(field))
    last = 5 if as_written else 4  # "\r\nz: " or "\r\nz:"
    count = (size - len(first) - last) // line
    pad = size - len(first) - last - count * line
    return first + (b"\r\n" + field) * count + b"\r\nz:" + b"x" * pad + b"\r\n\r\n"


def http_seeds():
    status = b"HTTP/1.1 101 A"
    return {
        # 13,200 fields of "a:": 52,818 bytes received, 66,018 written.
        "shape-fields-without-space-13200": RESPONSE + status + b"\r\na:" * 13200 + b"\r\n\r\n",
        "shape-fields-without-space-written-at-limit": RESPONSE + http_head(status, b"a:", HEAD_LIMIT, True),
        "shape-fields-without-space-written-past-limit": RESPONSE + http_head(status, b"a:", HEAD_LIMIT + 1, True),
        "shape-request-fields-without-space-written-past-limit":
            REQUEST + http_head(b"GET /x HTTP/1.1", b"a:b", HEAD_LIMIT + 1, True),
        "shape-spaced-values-received-at-limit": RESPONSE + http_head(status, b"a:  v \t", HEAD_LIMIT, False),
        "shape-spaced-values-received-past-limit": RESPONSE + http_head(status, b"a:  v \t", HEAD_LIMIT + 1, False),
        "shape-folded-field-line": RESPONSE + status + b"\r\na: b\r\n continued\r\n\r\n",
        "shape-repeated-field-names": RESPONSE + status + b"\r\nSet: v" * 4000 + b"\r\n\r\nbody",
    }


# Deepest a location may lie (kQuorvaneMaxTreeDepth), and a path far past
# it: 45,000 keys, 90 KB of row.
MOST_KEYS = 1032
MANY_KEYS = 45000


def keys_path(count):
    return "/k" * count


def ref(index):
    """A UID as XML writes it."""
    return {"CF$UID": index}


def legacy_write(write_id, cls, members, update=None):
    """A row of the older layout: 'l', the write id, a tab, and a keyed
    archive of `cls` in XML on one line; `update` (member paths to values)
    becomes its NSDictionary "data"."""
    objects = ["$null", dict(members, **{"$class": ref(2)}), {"$classname": cls, "$classes": [cls, "NSObject"]}]
    if update is not None:
        objects[1]["data"] = ref(3)
        objects.append({"NS.keys": list(update), "NS.objects": list(update.values()), "$class": ref(4)})
        objects.append({"$classname": "NSDictionary", "$classes": ["NSDictionary", "NSObject"]})
    return legacy_row(write_id, objects)


def legacy_row(write_id, objects):
    """The row of a keyed archive of `objects`, root 1, in XML on one line."""
    xml = plistlib.dumps({"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {"root": ref(1)},
                          "$objects": objects}, fmt=plistlib.FMT_XML, sort_keys=True)
    return b"l" + str(write_id).encode() + b"\t" + xml.replace(b"\n", b"").replace(b"\t", b"") + b"\n"


def legacy_put(write_id, path):
    return legacy_write(write_id, "FPendingPut", {"path": path, "data": 1})


def legacy_priority(write_id, path):
    return legacy_write(write_id, "FPendingPutPriority", {"path": path, "priority": 2})


def legacy_update(write_id, path, member):
    return legacy_write(write_id, "FPendingUpdate", {"path": path}, {member: 1})


def legacy_put_naming_one_array(write_id, times):
    """A put at /a whose data names one NSArray of two numbers `times`
    times."""
    return legacy_row(write_id, [
        "$null", {"path": "/a", "data": ref(3), "$class": ref(2)},
        {"$classname": "FPendingPut", "$classes": ["FPendingPut", "NSObject"]},
        {"NS.objects": [ref(4)] * times, "$class": ref(5)},
        {"NS.objects": [ref(6), ref(6)], "$class": ref(5)},
        {"$classname": "NSArray", "$classes": ["NSArray", "NSObject"]}, 7])


def cache_row_seeds():
    deep_member = keys_path(MANY_KEYS)[1:]
    return {
        "shape-legacy-update-path-45000-keys": legacy_update(1, keys_path(MANY_KEYS), "b"),
        "shape-legacy-update-member-45000-keys": legacy_update(2, "/a", deep_member),
        "shape-legacy-put-naming-one-array-from-2000-places": b"".join([
            legacy_put_naming_one_array(19, 2000), legacy_put_naming_one_array(20, 3)]),
        "shape-legacy-writes-at-and-past-the-deepest-location": b"".join([
            legacy_put(3, keys_path(MOST_KEYS)),
            legacy_put(4, keys_path(MOST_KEYS + 1)),
            legacy_priority(5, keys_path(MOST_KEYS - 1)),
            legacy_priority(6, keys_path(MOST_KEYS)),
            legacy_update(7, keys_path(MOST_KEYS - 32), keys_path(32)[1:]),
            legacy_update(8, keys_path(MOST_KEYS - 32), keys_path(33)[1:]),
            b"w9\t" + json_row(9, "/a/", {"b": 1}),
        ]),
        "shape-write-row-member-45000-keys": b"w10\t" + json_row(10, "/a/", {deep_member: 1}),
        "shape-write-row-path-45000-keys":
            b"w11\t" + b'{"id":11,"path":"' + keys_path(MANY_KEYS).encode() + b'/","o":1}\n',
        "shape-write-row-member-under-a-member-45000-keys":
            b"w12\t" + written_row(12, "/", {"a": 1, "a/" + deep_member: 2}),
        "shape-write-rows-at-and-past-the-deepest-location": b"".join([
            b"w13\t" + written_row(13, keys_path(MOST_KEYS) + "/", None),
            b"w14\t" + written_row(14, keys_path(MOST_KEYS + 1) + "/", None),
            b"w15\t" + written_row(15, keys_path(MOST_KEYS - 32) + "/", {keys_path(32)[1:]: 1}),
            b"w16\t" + written_row(16, keys_path(MOST_KEYS - 32) + "/", {keys_path(33)[1:]: 1}),
            b"w17\t" + written_row(17, keys_path(MOST_KEYS - 1) + "/.priority/", None),
            b"w18\t" + written_row(18, keys_path(MOST_KEYS) + "/.priority/", None),
        ]),
        # Server rows one per leaf: a leaf's priority rows lie one key below it.
        "shape-server-rows-at-and-past-the-deepest-location": b"".join([
            b"s/server_cache/" + keys_path(MOST_KEYS + 1).encode() + b"/\t1\n",
            b"s/server_cache/" + keys_path(MOST_KEYS + 2).replace("k", "j").encode() + b"/\t2\n",
            b"s/server_cache/" + keys_path(MANY_KEYS).replace("k", "l").encode() + b"/\t3\n",
        ]),
    }


def written_row(write_id, path, merge):
    """A pending write exactly as the cache writes it: a set of 1 when
    `merge` is None, else an update."""
    if merge is None:
        return ('{"id":%d,"o":1,"path":"%s"}\n' % (write_id, path)).encode()
    members = ",".join('"%s":%d' % (member, value) for member, value in merge.items())
    return ('{"id":%d,"m":{%s},"path":"%s"}\n' % (write_id, members, path)).encode()


def json_row(write_id, path, merge):
    """A pending update in the current layout's row form."""
    members = ",".join('"%s":%d' % (member, value) for member, value in merge.items())
    return ('{"id":%d,"path":"%s","m":{%s}}\n' % (write_id, path, members)).encode()


def journal_record(kind, rest=b""):
    """A user-defaults journal record: the body's length and a CRC-32 of
    the length and the body, both little-endian, then the body."""
    body = kind + rest
    length = struct.pack("<I", len(body))
    return length + struct.pack("<I", zlib.crc32(length + body)) + body


def journal_set(key, value):
    return journal_record(b"S", binary({key: value}))


def journal_seeds():
    before = journal_set("before", 1)
    after = journal_set("after", 2)
    damaged = {
        "set-xml": journal_record(b"S", plistlib.dumps({"bad": 1}, fmt=plistlib.FMT_XML)),
        "set-two-pairs": journal_record(b"S", binary({"bad": 1, "worse": 2})),
        "set-no-pair": journal_record(b"S", binary({})),
        "set-array": journal_record(b"S", binary(["bad"])),
        "set-uid": journal_record(b"S", binary({"bad": UID(1)})),
        "set-unreadable-list": journal_record(b"S", b"bplist00\xd1"),
        "remove-not-utf8": journal_record(b"R", b"k\xff\xfe"),
        "remove-nul": journal_record(b"R", b"k\x00"),
        "clear-with-body": journal_record(b"C", b"x"),
        "unknown-kind": journal_record(b"Q", b"x"),
        "length-zero": journal_record(b""),
    }
    seeds = {"shape-damaged-" + name: before + record + after for name, record in damaged.items()}
    seeds["shape-sound-each-kind"] = b"".join([
        journal_set("int", -42), journal_set("big", 18000000000000000000), journal_set("real", 0.1),
        journal_set("bool", True), journal_set("text", "Café ñandú 😀"), journal_set("data", b"\x00\x01\xff"),
        journal_set("array", [1, "two", []]), journal_set("dict", {"inner": {"deep": 3.5}, "n": False}),
        journal_set("uid-key-dict", {"CF$UID": 1}),
    ])
    seeds["shape-sound-set-remove-clear"] = b"".join([
        journal_set("kept", "yes"), journal_record(b"R", "café".encode()), journal_record(b"R", b"count"),
        journal_record(b"C"), journal_set("after-clear", 3), journal_record(b"R", b""), journal_set("", "empty key"),
    ])
    seeds["shape-torn-after-sound"] = before + after + journal_set("torn", "x" * 40)[:-7]
    return seeds


def main():
    check = sys.argv[1:] == ["--check"]
    stale = []
    for target, seeds in (("plist_reader", plist_seeds()), ("keyed_archive_reader", archive_seeds()),
                          ("http_head_parser", http_seeds()), ("cache_row_reader", cache_row_seeds()),
                          ("user_defaults_journal_reader", journal_seeds())):
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
