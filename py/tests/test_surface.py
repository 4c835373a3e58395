"""The module's exported surface: names, values, signatures and argument binding."""

import inspect
import subprocess
import sys
import types
import weakref

import pytest

import zorva_rs

NAMES = ["__version__", "FALLBACK", "REFUSED", "Masker", "maskChunk", "columnKinds", "availableCores",
         "setThreads", "threads"]
FUNCTIONS = ["maskChunk", "columnKinds", "availableCores", "setThreads", "threads"]


def test_names_values_and_order():
    assert zorva_rs.__all__ == NAMES
    assert [name for name in vars(zorva_rs) if name in NAMES] == NAMES
    assert [name for name in dir(zorva_rs) if not name.startswith("_")] == sorted(NAMES[1:])
    assert zorva_rs.__version__ == "0.2.2"
    assert zorva_rs.FALLBACK == "fallback"
    assert zorva_rs.REFUSED == "refused"
    assert zorva_rs.__doc__ == ""
    assert isinstance(zorva_rs.Masker, type)
    assert zorva_rs.Masker.__name__ == zorva_rs.Masker.__qualname__ == "Masker"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(zorva_rs, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__module__ == "zorva_rs"
    assert function.__self__ is zorva_rs


@pytest.mark.parametrize(("owner", "name", "parameters"), [
    (zorva_rs, "maskChunk", ["maskers", "rows"]),
    (zorva_rs, "columnKinds", ["rows"]),
    (zorva_rs, "availableCores", []),
    (zorva_rs, "setThreads", ["threads"]),
    (zorva_rs, "threads", []),
    (zorva_rs, "Masker", ["subkey", "strategy", "options"]),
    (zorva_rs.Masker, "maskColumn", ["self", "values"]),
])
def test_signatures(owner, name, parameters):
    callable_ = getattr(owner, name)
    signature = inspect.signature(callable_)
    assert list(signature.parameters) == parameters
    for parameter in signature.parameters.values():
        if parameter.name == "self":  # "$self" is positional-only by design
            continue
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty
    # The signature line is not repeated in the documentation text.
    assert callable_.__doc__ and not callable_.__doc__.startswith(name)


@pytest.mark.parametrize(("call", "message"), [
    (lambda: zorva_rs.setThreads(), "setThreads() missing 1 required positional argument: 'threads'"),
    (lambda: zorva_rs.maskChunk(), "maskChunk() missing 2 required positional arguments: 'maskers' and 'rows'"),
    (lambda: zorva_rs.maskChunk(rows=[]), "maskChunk() missing 1 required positional argument: 'maskers'"),
    (lambda: zorva_rs.Masker(),
     "Masker.__new__() missing 3 required positional arguments: 'subkey', 'strategy', and 'options'"),
    (lambda: zorva_rs.Masker(b"k" * 32, options={}),
     "Masker.__new__() missing 1 required positional argument: 'strategy'"),
    (lambda: zorva_rs.setThreads(thread=2), "setThreads() got an unexpected keyword argument 'thread'"),
    (lambda: zorva_rs.threads(x=1), "threads() got an unexpected keyword argument 'x'"),
    (lambda: zorva_rs.columnKinds([], rows=[]), "columnKinds() got multiple values for argument 'rows'"),
    (lambda: zorva_rs.maskChunk([], [], [], maskers=[]), "maskChunk() takes 2 positional arguments but 3 were given"),
    (lambda: zorva_rs.threads(1), "threads() takes 0 positional arguments but 1 was given"),
    (lambda: zorva_rs.availableCores(1, 2), "availableCores() takes 0 positional arguments but 2 were given"),
    (lambda: zorva_rs.setThreads(1, 2), "setThreads() takes 1 positional arguments but 2 were given"),
    (lambda: zorva_rs.Masker(b"k" * 32, "key", {}, None),
     "Masker.__new__() takes 3 positional arguments but 4 were given"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    # Binding errors concern the call, not one parameter's value.
    assert not hasattr(caught.value, "__notes__")


def test_set_threads_binds_by_keyword(restore_threads):
    zorva_rs.setThreads(threads=2)
    assert zorva_rs.threads() == 2
    zorva_rs.setThreads(**{"threads": 1})
    assert zorva_rs.threads() == 1


def test_masker_has_no_dict_no_settable_attributes_no_weakref(subkey):
    masker = zorva_rs.Masker(subkey, "key", {})
    assert not hasattr(masker, "__dict__")
    with pytest.raises(AttributeError):
        masker.extra = 1
    with pytest.raises(AttributeError):
        masker.maskColumn = None
    with pytest.raises(TypeError, match="weak reference to 'Masker' object"):
        weakref.ref(masker)


def test_masker_type_has_a_plain_name_and_imports_without_warnings():
    # The plain type name shows in the interpreter's own messages; importing
    # must not warn, or callers running with -W error could not import at all.
    code = "import zorva_rs as z; assert z.Masker.__module__ == 'zorva_rs', z.Masker.__module__"
    subprocess.run([sys.executable, "-W", "error", "-c", code], check=True)


def test_a_second_import_builds_the_same_surface():
    # Multi-phase init: importing again after dropping the module runs the exec
    # step on a fresh module object.
    code = (
        "import sys, zorva_rs as a\n"
        "del sys.modules['zorva_rs']\n"
        "import zorva_rs as b\n"
        "assert a is not b and b.__all__ == a.__all__, b.__all__\n"
        "assert b.threads() == 1\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize(
    ("strategy", "option", "value"),
    [("key", "charset", "digits"), ("hash", "prefix", "h-"), ("email", "mailDomain", "mail.test")],
)
def test_arguments_survive_their_keywords_being_emptied(strategy, option, value):
    # functools.partial hands its own keywords dict to the callable; Python code
    # run while the options are read empties it, dropping the only references
    # to the subkey and the strategy name. Debug memory hooks make a use after
    # free visible.
    code = f"""
import functools, zorva_rs

class Key(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        call.keywords.clear()
        return str.__eq__(self, other)

call = functools.partial(
    zorva_rs.Masker,
    subkey=bytes(range(32)),
    strategy="".join({list(strategy)!r}),
    options={{Key({option!r}): {value!r}}},
)
masker = call()
assert call.keywords == {{}}
masked, problems = masker.maskColumn(["ab12", 1234])
assert len(masked) == 2
"""
    subprocess.run([sys.executable, "-X", "dev", "-c", code], check=True)
