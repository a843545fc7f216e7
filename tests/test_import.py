"""The import sequence, each scenario in a fresh interpreter."""

import builtins
import sys

import c_sdk
import pytest

from conftest import HOST, run_python


def test_module_after_import():
    assert c_sdk.IS_PY2 is False and c_sdk.IS_PY3 is True
    assert c_sdk.__test__ == {}
    assert c_sdk.__builtins__ is builtins
    assert c_sdk.__doc__ is None
    import functools
    import platform

    assert c_sdk.functools is functools and c_sdk.platform is platform
    from qv.constant import CSDK_OPERATE_SUCCESS
    from qv.utils import qvsdklogger

    assert c_sdk.CSDK_OPERATE_SUCCESS is CSDK_OPERATE_SUCCESS
    assert c_sdk.qvsdklogger is qvsdklogger


def test_imported_twice_and_after_deleting_its_entry():
    run_python(
        """
        import sys
        import c_sdk
        first = c_sdk
        import c_sdk
        assert c_sdk is first
        c_sdk.marker = 1
        c_sdk.CSDK_OPERATE_SUCCESS = 99
        del sys.modules["c_sdk"], sys.modules["qv.constant"]
        import c_sdk
        # the same object, with its globals as they were: nothing ran again
        assert c_sdk is first and c_sdk.marker == 1 and c_sdk.CSDK_OPERATE_SUCCESS == 99
        assert "qv.constant" not in sys.modules
        """
    )


def test_import_order_of_globals():
    proc = run_python(
        """
        import c_sdk
        print(" ".join(k for k in vars(c_sdk)))
        """
    )
    names = proc.stdout.split()
    head = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
            "__builtins__", "functools", "platform", "CSDK_OPERATE_SUCCESS", "qvsdklogger",
            "IS_PY2", "IS_PY3"]
    assert names[: len(head)] == head
    assert names.index("is_windows") < names.index("is_linux") < names.index("adapt_to_python3")


def test_no_version_warning_on_the_interpreter_it_was_built_for():
    run_python("import warnings; warnings.simplefilter('error'); import c_sdk")


def test_subinterpreter_is_refused():
    proc = run_python(
        """
        import _testcapi, c_sdk
        code = '''
        try:
            import c_sdk
        except ImportError as e:
            print("refused:", e)
        else:
            print("imported")
        '''
        import textwrap
        _testcapi.run_in_subinterp(textwrap.dedent(code))
        """
    )
    assert proc.stdout.strip() == (
        "refused: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )


def test_a_subinterpreter_cannot_be_the_first_to_import():
    # The module may live in the main interpreter only: a sub-interpreter (one sharing the
    # main interpreter's lock, as the legacy ones do) that imports it first is refused with a
    # message that says so, and the main interpreter imports it afterwards as usual.
    proc = run_python(
        """
        import _testcapi, textwrap
        code = '''
        try:
            import c_sdk
        except ImportError as e:
            print("refused:", e)
        else:
            print("imported")
        '''
        _testcapi.run_in_subinterp(textwrap.dedent(code))
        import c_sdk
        print("main:", c_sdk.IS_PY3)
        """
    )
    assert proc.stdout.splitlines() == [
        "refused: c_sdk can only be imported in the main interpreter, not in a sub-interpreter: "
        "it keeps process-wide state (the SDK's one event callback among it) that a "
        "sub-interpreter could not own",
        "main: True",
    ]


def test_host_package_missing_then_present():
    run_python(
        f"""
        import sys, traceback
        try:
            import c_sdk
        except ModuleNotFoundError as e:
            assert e.name == "qv" and str(e) == "No module named 'qv'", e
            # the import machinery's error as it is, with a note on who needs the package
            assert e.__notes__ == [
                "c_sdk is imported by its host package qv, which must be importable (c_sdk "
                "imports qv.constant and qv.utils); for tests, the stand-in's qv is in the "
                "folder standin/host of the c_sdk sources: put that folder on sys.path or "
                "PYTHONPATH"], e.__notes__
            assert any("init c_sdk" in line for line in traceback.format_tb(e.__traceback__))
        else:
            raise AssertionError("imported without the host package")
        assert "c_sdk" not in sys.modules
        sys.path.insert(0, {HOST!r})
        import c_sdk
        assert c_sdk.CSDK_OPERATE_SUCCESS == 0
        """,
        host=False,
    )


def write_host(tmp_path, constant="CSDK_OPERATE_SUCCESS = 0\n", utils=None):
    pkg = tmp_path / "qv"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "constant.py").write_text(constant)
    (pkg / "utils.py").write_text(utils or "import logging\nqvsdklogger = logging.getLogger('x')\n")
    return str(tmp_path)


def test_missing_constant_and_the_dotted_module_fallback(tmp_path):
    path = write_host(tmp_path, constant="OTHER = 1\n")
    run_python(
        f"""
        import sys, types
        sys.path.insert(0, {path!r})
        try:
            import c_sdk
        except ImportError as e:
            assert str(e) == "cannot import name CSDK_OPERATE_SUCCESS", str(e)
        else:
            raise AssertionError("imported without CSDK_OPERATE_SUCCESS")
        fallback = types.ModuleType("qv.constant.CSDK_OPERATE_SUCCESS")
        sys.modules["qv.constant.CSDK_OPERATE_SUCCESS"] = fallback
        import c_sdk
        assert c_sdk.CSDK_OPERATE_SUCCESS is fallback
        """,
        host=False,
    )


def test_a_broken_host_package_gives_import_error():
    # Whatever stands in sys.modules for the host's modules (no module at all, a module without
    # a name or with a name that is no str), a missing name is ImportError, as `from X import Y`
    # gives; each failed attempt is forgotten and the next starts afresh.
    run_python(
        """
        import sys, types
        import qv.constant, qv.utils
        good = {m: sys.modules[m] for m in ("qv.constant", "qv.utils")}

        def nameless():
            m = types.ModuleType("x")
            del m.__name__
            return m

        def badly_named():
            m = types.ModuleType("x")
            m.__name__ = 3
            return m

        for module in good:
            for broken in (types.SimpleNamespace(), nameless(), badly_named()):
                sys.modules.update(good)
                sys.modules[module] = broken
                try:
                    import c_sdk
                except ImportError as e:
                    name = "qvsdklogger" if module == "qv.utils" else "CSDK_OPERATE_SUCCESS"
                    assert str(e) == f"cannot import name {name}", (module, str(e))
                else:
                    raise AssertionError(f"imported with {module} = {broken!r}")
        sys.modules.update(good)
        import c_sdk
        """
    )


def test_failing_statement_adds_init_entry_and_a_retry_starts_afresh(tmp_path):
    path = write_host(
        tmp_path,
        utils="import os\nif not os.environ.get('READY'):\n    raise KeyError('not yet')\n"
        "qvsdklogger = 'logger'\n",
    )
    run_python(
        f"""
        import os, sys, traceback
        sys.path.insert(0, {path!r})
        try:
            import c_sdk
        except KeyError as e:
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            assert "init c_sdk" in names, names
            assert names[:2] == ["<module>", "init c_sdk"], names  # then the failing module
        else:
            raise AssertionError("the import should have failed")
        assert "c_sdk" not in sys.modules
        os.environ["READY"] = "1"
        sys.modules.pop("qv.utils", None)
        import c_sdk
        assert c_sdk.qvsdklogger == "logger" and c_sdk.IS_PY3 is True
        """,
        host=False,
    )


def test_imported_under_a_dotted_name_is_aliased():
    run_python(
        """
        import importlib.util, sys
        path = importlib.util.find_spec("c_sdk").origin  # found, not imported
        spec = importlib.util.spec_from_file_location("pkg.c_sdk", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert sys.modules["c_sdk"] is module
        assert module.__name__ == "pkg.c_sdk" and module.is_linux.__module__ == "c_sdk"
        """
    )


def test_failed_import_under_a_dotted_name_leaves_no_alias(tmp_path):
    path = write_host(tmp_path, constant="OTHER = 1\n")
    run_python(
        f"""
        import importlib.util, sys
        sys.path.insert(0, {path!r})
        path = importlib.util.find_spec("c_sdk").origin  # found, not imported
        spec = importlib.util.spec_from_file_location("pkg.c_sdk", path)
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
        except ImportError:
            pass
        assert "c_sdk" not in sys.modules
        """,
        host=False,
    )


def test_second_module_object_cannot_be_initialised():
    run_python(
        """
        import importlib.util
        path = importlib.util.find_spec("c_sdk").origin  # found, not imported
        spec = importlib.util.spec_from_file_location("c_sdk", path)
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        spec.loader.exec_module(first)  # again on the same object: nothing happens
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            assert str(e) == ("Module 'c_sdk' has already been imported. "
                              "Re-initialisation is not supported."), str(e)
        else:
            raise AssertionError("a second module object was initialised")
        """
    )


def test_globals_are_looked_up_at_the_moment_of_use(module_globals):
    assert c_sdk.is_linux() is (sys.platform == "linux")
    del c_sdk.platform
    with pytest.raises(NameError, match="^name 'platform' is not defined$"):
        c_sdk.is_linux()
    # found in builtins when the module has none
    builtins.platform = type("P", (), {"uname": staticmethod(lambda: ("Linux",))})
    try:
        assert c_sdk.is_linux() is True
    finally:
        del builtins.platform
    with pytest.raises(NameError):
        c_sdk.is_linux()
