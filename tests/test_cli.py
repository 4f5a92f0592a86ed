"""The command line: build, query and demo, their outputs and exit codes."""

import json
import os
import subprocess
import sys
import uuid

import pytest

_tessaloom = pytest.importorskip("_tessaloom")
try:
    import tessaloom
except ImportError:  # a source tree without the package installed
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "python"))
    import tessaloom
from tessaloom import cli

A, B = str(uuid.UUID(int=0xA1)), str(uuid.UUID(int=0xB2))
VOCAB = f"term\tvideo_id\tcount\r\ncat\t{A}\t3\r\n\ncar\t{B}\t1\ncart\t{B}\t2\ncat\t{B}\t1\n"

if not hasattr(tessaloom.PrefixSearch, "to_bytes"):
    pytest.skip("PrefixSearch.to_bytes is not built yet", allow_module_level=True)


# Subprocesses import the same modules as this process.
PATH = [os.path.dirname(m.__file__) for m in (_tessaloom, tessaloom)]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([PATH[0], os.path.dirname(PATH[1])]))


def tessaloom_main(*argv, **options):
    options = dict(dict(capture_output=True, text=True, timeout=120, env=ENV), **options)
    return subprocess.run([sys.executable, "-m", "tessaloom", *argv], **options)


def run(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def index_file(tmp_path, capsys):
    vocab = tmp_path / "vocab.tsv"
    vocab.write_text(VOCAB, encoding="utf-8")
    path = tmp_path / "index.bin"
    code, out, err = run(capsys, "build", vocab, "-o", path, "--top-n", 5)
    assert (code, err) == (0, "")
    assert out == f"wrote {path}: 3 terms, 6 trie nodes, 2 videos, {path.stat().st_size} bytes\n"
    return path


def test_query_outputs(index_file, capsys):
    assert run(capsys, "query", index_file, "cat") == (0, "ca\t1\ncar\t1\ncart\t1\ncat\t0\n", "")
    assert run(capsys, "query", index_file, "cat", "--limit", 2, "--max-dist", 2)[1] == "c\t2\nca\t1\n"
    code, out, _ = run(capsys, "query", index_file, "cat", "--json", "--max-dist", 0)
    assert json.loads(out) == [{"text": "cat", "distance": 0}]

    index = tessaloom.load(index_file)
    ranked = index.fuzzy_match_video("cat")
    code, out, _ = run(capsys, "query", index_file, "cat", "--videos", "--json")
    assert json.loads(out) == [{"video_id": v, "score": s} for v, s in ranked]
    code, out, _ = run(capsys, "query", index_file, "cat", "--videos")
    assert out == "".join(f"{v}\t{s:.6f}\n" for v, s in ranked) and {v for v, _ in ranked} == {A, B}


@pytest.mark.parametrize(
    "content, message",
    [
        (f"cat\t{A}\t1\ncat\t{A}\n", "line 2: expected 3 tab-separated fields"),
        (f"cat\t{A}\tmany\n", "line 1: count 'many' is not an integer"),
        (f"cat\t{A}\t1\n\ndog\tnot-a-uuid\t1\n", "line 3: video_id 'not-a-uuid' is not a 36-character"),
        (f"cat\t{A}\t0\n", "line 1: count must be positive, got 0"),
        (f"\t{A}\t1\n", "line 1: term is empty"),
        (f"cat\t{A}\t1\n".encode() + b"d\xffg\t" + A.encode() + b"\t1\n", "line 2: not valid UTF-8"),
    ],
)
def test_build_input_errors_name_the_line(tmp_path, capsys, content, message):
    vocab = tmp_path / "vocab.tsv"
    vocab.write_bytes(content if isinstance(content, bytes) else content.encode())
    code, out, err = run(capsys, "build", vocab, "-o", tmp_path / "out.bin")
    assert code == 2 and out == ""
    assert err.startswith(f"tessaloom: error: {vocab}, {message}") and err.count("\n") == 1
    assert not (tmp_path / "out.bin").exists()


# node 0's child range runs past child_transitions: decodes, fails to query
INCONSISTENT = bytes([2, 0, 5, 2, 0, 0x61, 1, 1, 2, 0, 0, 0])


@pytest.mark.parametrize(
    "argv, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["index"], "invalid choice: 'index'"),
        (["query", "{index}", "cat", "--max-dist", "-1"], "argument --max-dist: -1 is not between"),
        (["query", "{index}", "cat", "--limit", "x"], "argument --limit: 'x' is not an integer"),
        (["build", "{missing}", "-o", "{out}"], "cannot read {missing}: No such file or directory"),
        (["build", "{vocab}", "-o", "{tmp}/no/such/dir/x.bin"], "cannot write {tmp}/no/such/dir/x.bin"),
        (["query", "{missing}", "cat"], "cannot read {missing}"),
        (["query", "{vocab}", "cat"], "{vocab} is not a saved index (decode error: "),
        (["query", "{bad}", "a"], "{bad} holds an inconsistent index (index out of bounds"),
    ],
)
def test_errors_exit_2_with_one_line(tmp_path, index_file, argv, message):
    paths = dict(
        index=index_file, tmp=tmp_path, missing=tmp_path / "missing", out=tmp_path / "x.bin",
        vocab=tmp_path / "vocab.tsv", bad=tmp_path / "bad.bin",
    )
    (tmp_path / "bad.bin").write_bytes(INCONSISTENT)
    argv = [a.format(**paths) for a in argv]
    result = tessaloom_main(*argv)
    assert result.returncode == 2 and result.stdout == ""
    assert message.format(**paths) in result.stderr
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr


def test_progress_on_large_inputs(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(cli, "PROGRESS_LINES", 3)
    vocab = tmp_path / "vocab.tsv"
    vocab.write_text(VOCAB, encoding="utf-8")
    code, _, err = run(capsys, "build", vocab, "-o", tmp_path / "i.bin")
    assert code == 0
    assert "tessaloom: read 4 entries: 3 distinct terms, 2 videos\n" in err


def test_demo_and_stdin(tmp_path):
    demo = tessaloom_main("demo")
    assert demo.returncode == 0 and demo.stderr == ""
    assert "fuzzy_match_video('guitr', max_dist=1)" in demo.stdout
    assert "Fingerstyle guitar for absolute beginners" in demo.stdout

    built = tessaloom_main("build", "-", "-o", str(tmp_path / "s.bin"), input=VOCAB)
    assert built.returncode == 0 and "3 terms" in built.stdout


# ---- output targets, failures and refusals ---------------------------------------


def test_output_goes_where_the_user_means(tmp_path, index_file):
    expected = index_file.read_bytes()
    vocab = str(tmp_path / "vocab.tsv")
    # "-": the bytes on stdout, the summary on stderr
    result = subprocess.run([sys.executable, "-m", "tessaloom", "build", vocab, "-o", "-", "--top-n", "5"],
                            capture_output=True, env=ENV, timeout=120)
    assert (result.returncode, result.stdout) == (0, expected) and b"wrote <stdout>" in result.stderr
    # a device receives the bytes and stays a device (named through a link,
    # so that a CLI that replaced the target would replace only the link)
    device = tmp_path / "null"
    device.symlink_to(os.devnull)
    assert tessaloom_main("build", vocab, "-o", device).returncode == 0
    assert device.is_symlink() and device.is_char_device()
    device.unlink()
    # a link stays a link; the file it names is replaced, keeping its permissions
    target, link = tmp_path / "target.bin", tmp_path / "link.bin"
    target.write_bytes(b"old")
    target.chmod(0o640)
    link.symlink_to(target.name)
    assert tessaloom_main("build", vocab, "-o", link, "--top-n", "5").returncode == 0
    assert link.is_symlink() and target.read_bytes() == expected
    assert target.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["index.bin", "link.bin", "target.bin", "vocab.tsv"]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_a_fifo_receives_the_bytes(tmp_path, index_file):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    assert tessaloom_main("build", tmp_path / "vocab.tsv", "-o", fifo, "--top-n", "5").returncode == 0
    assert reader.communicate(timeout=60)[0] == index_file.read_bytes()


# Named through a link in the test's directory, like the device above.
FULL = "/dev/full"


@pytest.mark.parametrize(
    "argv, stdout, message",
    [
        (["build", "{vocab}", "-o", "{vocab}"], None, "refusing to write the index over its input {vocab}"),
        (["build", "{link}", "-o", "{vocab}"], None, "refusing to write the index over its input {link}"),
        (["build", "{vocab}", "-o", "{tmp}"], None, "cannot write {tmp}: is a directory"),
        (["build", "{vocab}", "-o", "{full}"], None, "cannot write {full}: No space left on device"),
        (["build", "{vocab}", "-o", "-"], FULL, "cannot write <stdout>: No space left on device"),
        (["demo"], FULL, "cannot write <stdout>: No space left on device"),
        (["demo"], "closed", "cannot write <stdout>: it is closed"),
        (["build", "/dev/zero", "-o", "{out}"], None, "cannot read /dev/zero: it is a character device"),
        (["build", "{tmp}", "-o", "{out}"], None, "cannot read {tmp}: Is a directory"),
        (["build", "{long}", "-o", "{out}"], None, "{long}, line 1: count 'xxxxxxxx"),
    ],
)
def test_failures_are_one_short_line(tmp_path, index_file, argv, stdout, message):
    if FULL in [stdout] + argv or "{full}" in argv:
        if not os.path.exists(FULL) or os.path.isfile(FULL):
            pytest.skip(f"needs the device {FULL}")
    paths = dict(tmp=tmp_path, vocab=tmp_path / "vocab.tsv", link=tmp_path / "link.tsv",
                 out=tmp_path / "out.bin", long=tmp_path / "long.tsv", full=tmp_path / "full")
    paths["full"].symlink_to(FULL)
    os.link(paths["vocab"], paths["link"])
    paths["long"].write_text(f"cat\t{A}\t{'x' * 100_000}\n")
    before = paths["vocab"].read_bytes()
    argv = [a.format(**paths) for a in argv]
    with open(FULL if stdout == FULL else os.devnull, "wb") as full:
        result = tessaloom_main(*argv, **({} if stdout is None else dict(
            stdout=full, capture_output=False, stderr=subprocess.PIPE,
            preexec_fn=(lambda: os.close(1)) if stdout == "closed" else None)))
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert result.stderr.startswith(f"tessaloom: error: {message.format(**paths)}")
    assert result.stderr.count("\n") == 1 and len(result.stderr) < 400
    assert paths["vocab"].read_bytes() == before and not paths["out"].exists()
    assert paths["full"].is_symlink()


def test_write_file_is_whole_or_nothing(tmp_path):
    from tessaloom._files import NotRegularFileError, write_file

    target = tmp_path / "index.bin"
    target.write_bytes(b"old")

    def interrupted(stream):
        stream.write(b"half")
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        write_file(target, interrupted)
    assert target.read_bytes() == b"old" and os.listdir(tmp_path) == ["index.bin"]
    # without devices=True, nothing that is not a regular file is written to
    with pytest.raises(NotRegularFileError, match="is a character device"):
        write_file(os.devnull, b"x")


def test_version():
    result = tessaloom_main("--version")
    assert (result.returncode, result.stdout) == (0, f"tessaloom {tessaloom.__version__}\n")
