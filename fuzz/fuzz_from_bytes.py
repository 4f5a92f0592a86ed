"""Fuzz target: untrusted bytes into PrefixSearch.from_bytes.

Every input must end in one of:
  - ValueError whose text is "decode error: " + the model decoder's text;
  - an index, whose to_bytes is the input's record written back (the same
    record as the model decodes from the input, in shortest varints) and
    reads back to itself; its queries, with terms, max_dist and limit
    taken from the input's last bytes (which the decoder ignores when they
    lie past the record), give the model's results on the same record, or
    PanicException with one of the internal-fault texts.
Anything else (another exception type or text, a crash, a sanitizer
report, a hang) is a finding.

    python fuzz/fuzz_from_bytes.py fuzz/corpus/from_bytes -dict=fuzz/from_bytes.dict
"""

import sys

import atheris

import common
from common import PS, model

QUERIES = 3


def TestOneInput(data):
    try:
        want = model.decode(data)
    except model.DecodeError as exc:
        want = exc
    try:
        index = PS.from_bytes(data)
    except ValueError as exc:
        assert isinstance(want, model.DecodeError), (exc, want)
        assert str(exc) == "decode error: " + str(want), (str(exc), str(want))
        return
    assert not isinstance(want, Exception), ("loaded although the model refuses", want)

    written = index.to_bytes()
    assert type(written) is bytes
    assert written == model.encode(want), "to_bytes is not the input's record"
    reload = PS.from_bytes(written)
    assert reload.to_bytes() == written

    common.exercise_queries(index, want, common.Cursor(data[-32:]), QUERIES, reload)
    assert index.to_bytes() == written, "a query changed the index"


def main():
    common.instrument(TestOneInput)
    common.check_module_path()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
