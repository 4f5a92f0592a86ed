"""The module and the PrefixSearch type as the interpreter sees them."""

import ctypes
import os
import subprocess
import sys
import weakref

import pytest

from conftest import OOB, args, build, panic, positional

METHODS = {"from_internal_data_v2", "to_bytes", "from_bytes", "fuzzy_match", "fuzzy_match_video"}


@pytest.fixture
def index(PS):
    return build(PS, args())


def test_module_exposes_only_the_class(mod, PS):
    assert [n for n in dir(mod) if not n.startswith("_")] == ["PrefixSearch"]
    assert mod.__name__ == "_tessaloom"
    assert mod.__doc__ == ""
    assert not hasattr(mod, "PanicException")


def test_type_identity(PS):
    assert (PS.__module__, PS.__name__, PS.__qualname__) == ("builtins", "PrefixSearch", "PrefixSearch")
    assert PS.__doc__ is None
    assert PS.__bases__ == (object,)
    public = {n for n in vars(PS) if not n.startswith("__")}
    assert "from_internal_data_v2" in public and public <= METHODS


def test_class_cannot_be_called_or_subclassed(PS):
    for call in (lambda: PS(), lambda: PS(1, key=2)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "No constructor defined for PrefixSearch"
    with pytest.raises(TypeError):
        type("Sub", (PS,), {})


def test_instances_have_no_dict_or_weakref(index):
    assert not hasattr(index, "__dict__")
    with pytest.raises(AttributeError):
        index.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(index)
    # default identity semantics
    assert index == index and hash(index) == hash(index)


def test_static_method_descriptor(PS, index):
    f = PS.from_internal_data_v2
    assert f.__text_signature__ == (
        "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)"
    )
    assert f.__doc__ is None
    other = index.from_internal_data_v2(*positional())
    assert type(other) is PS and other is not index


def test_entry_point_returns_the_same_module(mod, PS):
    init = ctypes.PyDLL(mod.__file__).PyInit__tessaloom
    init.argtypes = []
    init.restype = ctypes.py_object
    again = init()
    assert again is sys.modules["_tessaloom"] is mod
    assert again.PrefixSearch is PS


def test_internal_fault_is_a_base_exception(PS):
    exc = panic(PS.from_internal_data_v2, *positional(node_shifts=[0, 5], payloads=[None, None]))
    assert exc.args == (OOB.format(1, 1),)
    kind = type(exc)
    assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
    # The type is made once: a second fault raises the same type.
    again = panic(PS.from_internal_data_v2, *positional(node_shifts=[0, 7], payloads=[None, None]))
    assert type(again) is kind
    # A fault leaves the module usable.
    assert type(build(PS, args())) is PS


def test_import_is_warning_free(mod):
    # A fresh interpreter with every warning turned into an error.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import _tessaloom"], env=env, capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr


SUBINTERP_SCRIPT = r"""
import sys
try:
    import _testcapi
    _testcapi.run_in_subinterp
except (ImportError, AttributeError):
    print("no-subinterp")
    sys.exit(0)
out = sys.argv[1]
sub = '''
try:
    import _tessaloom
    result = "imported"
except ImportError as exc:
    result = "ImportError: " + str(exc)
with open(%r, "a") as f:
    f.write(result + "\\n")
''' % out
order = sys.argv[2]
if order == "main-first":
    import _tessaloom
_testcapi.run_in_subinterp(sub)
_testcapi.run_in_subinterp(sub)
import _tessaloom
PS = _tessaloom.PrefixSearch
index = PS.from_internal_data_v2([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [bytes(16)], 1)
assert index.fuzzy_match("a", 0) == [("a", 1, 0)]
assert PS.from_bytes(index.to_bytes()).fuzzy_match_video("a", 0) == [(
    "00000000-0000-0000-0000-000000000000", 1.0)]
print("main-ok")
"""


@pytest.mark.parametrize("order", ["main-first", "sub-first"])
def test_sub_interpreters_are_refused_whichever_imports_first(mod, tmp_path, order):
    out = tmp_path / "sub.txt"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", SUBINTERP_SCRIPT, str(out), order],
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    if done.stdout.strip() == "no-subinterp":
        pytest.skip("this interpreter has no _testcapi.run_in_subinterp")
    assert done.stdout.split() == ["main-ok"]
    lines = out.read_text().splitlines()
    assert len(lines) == 2
    for line in lines:
        assert line.startswith("ImportError: ") and "sub-interpreters" in line, line
