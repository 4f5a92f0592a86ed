"""Index files: save and load in both formats, the mapped file's header
checks, and writing that is atomic and never replaces what is not a file."""

import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import model
from conftest import build
from test_codec import answers, built_arrays, loaded_records

tessaloom = pytest.importorskip("tessaloom")
from tessaloom import _native  # noqa: E402


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(source=st.one_of(built_arrays(), loaded_records()), fmt=st.sampled_from(["mapped", "bytes"]))
def test_round_trip_in_both_formats(PS, tmp_path, source, fmt):
    index = PS.from_bytes(model.encode(source)) if isinstance(source, model.Index) else build(PS, source)
    path = tmp_path / f"index.{fmt}"
    tessaloom.save(index, path, format=fmt)
    if fmt == "bytes":
        assert path.read_bytes() == index.to_bytes()
    opened = tessaloom.load(path)
    assert type(opened) is PS
    assert opened.to_bytes() == index.to_bytes()
    assert answers(opened) == answers(index)


def example(PS):
    arrays = {
        "node_shifts": [0, 1, 2, 3],
        "child_labels": ["", "c", "a", "t"],
        "payloads": [None, None, None, (5, [0, 1], [3, 2])],
        "child_transitions": [1, 2, 3],
        "video_index": [bytes(range(16)), bytes(range(16, 32))],
        "video_top_n": 10,
    }
    return build(PS, arrays)


def test_replaced_by_rename_and_pickled(PS, tmp_path):
    import pickle

    index = example(PS)
    path = tmp_path / "index.tlm"
    tessaloom.save(index, path)
    opened = tessaloom.load(path, verify=True)
    tessaloom.save(PS.from_bytes(bytes.fromhex("0100010000000000")), path)  # another index, renamed over it
    assert opened.fuzzy_match_video("cat") == index.fuzzy_match_video("cat")
    assert pickle.loads(pickle.dumps(opened)).to_bytes() == index.to_bytes()


HEADER = 64 + 6 * 48


def entry(i, field):
    return HEADER - 6 * 48 + 48 * i + {"kind": 0, "count": 8, "offset": 16, "length": 24}[field]


def reseal(data):
    """The header checksum recomputed, so that what it guards is tested."""
    data = bytearray(data)
    data[32:40] = bytes(8)
    data[32:40] = struct.pack("<Q", _native.checksum(bytes(data[:HEADER])))
    return bytes(data)


def put(data, at, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, at, value)
    return bytes(data)


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda d: d[:-1], "file is {n1} bytes but its header says {n}"),
        (lambda d: d + b"\0" * 8, "file is {n8} bytes but its header says {n}"),
        (lambda d: d[:40], "not a mapped index file"),
        (lambda d: put(d, 8, "<I", 2), "format version 2 is not supported"),
        (lambda d: put(d, 12, "<I", 0x04030201), "byte-order mark"),
        (lambda d: put(d, entry(2, "count"), "<Q", 1), "header checksum does not match"),
        (lambda d: reseal(put(d, entry(2, "count"), "<Q", 1)), "section 2 (child_transitions) holds 12 bytes, not 1 elements"),
        (lambda d: reseal(put(d, entry(5, "offset"), "<Q", len(d))), "section 5 (video_index) ends past the end of the file"),
        (lambda d: reseal(put(d, entry(3, "offset"), "<Q", HEADER + 4)), "section 3 (payload refs) is not 8-byte aligned"),
        (lambda d: reseal(put(d, entry(0, "kind"), "<I", 9)), "section 0 (node_shifts) has kind 9"),
    ],
)
def test_header_checks(PS, tmp_path, damage, message):
    path = tmp_path / "index.tlm"
    tessaloom.save(example(PS), path)
    data = path.read_bytes()
    path.write_bytes(damage(data))
    with pytest.raises(ValueError) as info:
        tessaloom.load(path)
    n = len(data)
    assert message.format(n=n, n1=n - 1, n8=n + 8) in str(info.value)
    assert str(path) in str(info.value)


def test_verify_finds_damaged_sections(PS, tmp_path):
    path = tmp_path / "index.tlm"
    tessaloom.save(example(PS), path)
    data = bytearray(path.read_bytes())
    data[-1] ^= 0xFF  # the last video id
    path.write_bytes(bytes(data))
    assert tessaloom.load(path).fuzzy_match("cat", 0) == [("cat", 1, 0)]  # not looked at
    with pytest.raises(ValueError, match=r"section 5 \(video_index\) checksum does not match"):
        tessaloom.load(path, verify=True)


def test_interrupted_save_leaves_the_target(PS, tmp_path, monkeypatch):
    path = tmp_path / "index.tlm"
    tessaloom.save(example(PS), path)
    before = path.read_bytes()

    def interrupted(index, fd):
        os.write(fd, b"\xff" * 100)
        raise KeyboardInterrupt

    monkeypatch.setattr(_native, "write_mapped", interrupted)
    with pytest.raises(KeyboardInterrupt):
        tessaloom.save(example(PS), path)
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["index.tlm"]


@pytest.mark.parametrize("kind", ["directory", "fifo", "link to a device"])
def test_save_refuses_what_is_not_a_file(PS, tmp_path, kind):
    target = tmp_path / "target"
    if kind == "directory":
        target.mkdir()
    elif kind == "fifo":
        os.mkfifo(target)
    else:
        target.symlink_to("/dev/null")
    with pytest.raises(OSError, match="not a regular file"):
        tessaloom.save(example(PS), target)
    assert os.path.lexists(target) and not os.path.isfile(target)
