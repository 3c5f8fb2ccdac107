"""Import-time behaviour, each case in a fresh interpreter process."""

import json
import textwrap

import pytest

CLASSES = {"tavrel_log": "TavrelLog", "tavrel_ssh": "TavrelSSH", "tavrel_var": "TavrelVar"}

REINIT = "Module 'sftp_main' has already been imported. Re-initialisation is not supported."
INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# A meta-path finder that refuses the named top-level modules with an
# exception object the snippet can compare by identity.
BLOCKER = """
import sys
class Blocker:
    def __init__(self, *names):
        self.names = set(names)
        self.raised = []
    def find_spec(self, name, path=None, target=None):
        if name in self.names:
            exc = ModuleNotFoundError(f"No module named {name!r}", name=name)
            self.raised.append(exc)
            raise exc
        return None
"""


def with_blocker(code):
    return BLOCKER + textwrap.dedent(code)


def framework_dir(tmp_path, leave_out_class=None):
    """Framework modules without imports between them, ahead of the stand-ins."""
    folder = tmp_path / "framework"
    folder.mkdir()
    for module, cls in CLASSES.items():
        body = "" if cls == leave_out_class else f"class {cls}:\n    pass\n"
        (folder / f"{module}.py").write_text(body)
    return folder


def run_json(run_python, code, **kwargs):
    result = run_python(code, **kwargs)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("module, cls", CLASSES.items())
def test_missing_framework_class_is_an_import_error_naming_it(run_python, tmp_path, module, cls):
    report = run_json(
        run_python,
        """
        import json, sys
        try:
            import sftp_main
        except BaseException as e:
            out = {"type": type(e).__name__, "msg": str(e), "left": "sftp_main" in sys.modules}
        else:
            out = {"type": None}
        print(json.dumps(out))
        """,
        path=[framework_dir(tmp_path, leave_out_class=cls)],
    )
    assert report == {"type": "ImportError", "msg": f"cannot import name {cls!r}", "left": False}


def test_missing_tavrel_var_propagates_and_keeps_earlier_imports(run_python, tmp_path):
    report = run_json(
        run_python,
        with_blocker(
            """
        import json
        blocker = Blocker("tavrel_var")
        sys.meta_path.insert(0, blocker)
        try:
            import sftp_main
        except BaseException as e:
            error = {"same": e is blocker.raised[0], "name": getattr(e, "name", None)}
        else:
            error = None
        loaded = {m: m in sys.modules for m in ("paramiko", "tavrel_log", "tavrel_ssh", "tavrel_var", "sftp_main")}
        # Nothing of the failed attempt stands in the way of a later import.
        sys.meta_path.remove(blocker)
        import sftp_main
        print(json.dumps({"error": error, "loaded": loaded,
                          "later": "TavrelSFTPMain" in vars(sftp_main) and sftp_main.TavrelVar.__module__}))
        """
        ),
        path=[framework_dir(tmp_path)],
    )
    assert report["error"] == {"same": True, "name": "tavrel_var"}
    assert report["loaded"] == {
        "paramiko": True,
        "tavrel_log": True,
        "tavrel_ssh": True,
        "tavrel_var": False,
        "sftp_main": False,
    }
    assert report["later"] == "tavrel_var"


def test_paramiko_import_error_propagates_before_any_framework_import(run_python, tmp_path):
    report = run_json(
        run_python,
        with_blocker(
            """
        import json
        blocker = Blocker("paramiko")
        sys.meta_path.insert(0, blocker)
        try:
            import sftp_main
        except BaseException as e:
            same = e is blocker.raised[0]
        else:
            same = None
        print(json.dumps({"same": same, "loaded": sorted(m for m in ("tavrel_log", "tavrel_ssh", "tavrel_var", "sftp_main") if m in sys.modules)}))
        """
        ),
        path=[framework_dir(tmp_path)],
    )
    assert report == {"same": True, "loaded": []}


def test_imports_run_in_order(run_python, tmp_path):
    report = run_json(
        run_python,
        """
        import json, sys
        order = []
        class Recorder:
            def find_spec(self, name, path=None, target=None):
                if name in ("paramiko", "tavrel_log", "tavrel_ssh", "tavrel_var") and name not in order:
                    order.append(name)
                return None
        sys.meta_path.insert(0, Recorder())
        import sftp_main
        print(json.dumps(order))
        """,
        path=[framework_dir(tmp_path)],
    )
    assert report == ["paramiko", "tavrel_log", "tavrel_ssh", "tavrel_var"]


def test_reimport_gives_the_same_executed_module_with_rebound_names(run_python):
    report = run_json(
        run_python,
        """
        import importlib.util, json, sys
        import sftp_main
        first, cls = sftp_main, sftp_main.TavrelSFTPMain
        first.paramiko = "rebound"
        first.TavrelLog = "rebound too"
        del sys.modules["sftp_main"]
        import sftp_main as again
        spec = importlib.util.find_spec("sftp_main")
        made = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(made)
        print(json.dumps({
            "same": again is first, "made": made is first, "class": again.TavrelSFTPMain is cls,
            "rebound": [again.paramiko, again.TavrelLog],
        }))
        """
    )
    assert report == {"same": True, "made": True, "class": True, "rebound": ["rebound", "rebound too"]}


def test_failed_exec_step_leaves_nothing_behind(run_python, tmp_path):
    report = run_json(
        run_python,
        with_blocker(
            """
        import importlib.util, json
        blocker = Blocker("tavrel_var")
        sys.meta_path.insert(0, blocker)
        spec = importlib.util.find_spec("sftp_main")
        stale = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(stale)
        except ModuleNotFoundError:
            failed = True
        sys.meta_path.remove(blocker)
        import sftp_main
        print(json.dumps({"failed": failed, "distinct": stale is not sftp_main,
                          "executed": "TavrelSFTPMain" in vars(sftp_main)}))
        """
        ),
        path=[framework_dir(tmp_path)],
    )
    assert report == {"failed": True, "distinct": True, "executed": True}


def test_executing_another_module_object_raises_runtime_error(run_python):
    # The import system hands out only the one module object, so another one
    # is executed through the C interface with the module's own definition.
    report = run_json(
        run_python,
        """
        import ctypes, json, types
        import sftp_main
        api = ctypes.pythonapi
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        other = types.ModuleType("sftp_main")
        try:
            api.PyModule_ExecDef(other, api.PyModule_GetDef(sftp_main))
        except BaseException as e:
            error = [type(e).__name__, str(e)]
        else:
            error = None
        print(json.dumps({"error": error, "other": sorted(k for k in vars(other) if not k.startswith("__")),
                          "intact": "TavrelSFTPMain" in vars(sftp_main)}))
        """,
    )
    assert report == {"error": ["RuntimeError", REINIT], "other": [], "intact": True}


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_import_in_a_second_interpreter_is_refused(run_python, config):
    pytest.importorskip("_interpreters")
    report = run_json(
        run_python,
        f"""
        import json, _interpreters
        import sftp_main
        interp = _interpreters.create({config!r})
        try:
            failure = _interpreters.exec(interp, "import sftp_main")
        finally:
            _interpreters.destroy(interp)
        print(json.dumps({{
            "gil": _interpreters.new_config({config!r}).gil,
            "type": failure and failure.type.__name__,
            "msg": failure and failure.msg,
            "main": sftp_main.TavrelSFTPMain.__name__,
        }}))
        """,
    )
    assert report["gil"] == ("own" if config == "isolated" else "shared")
    assert report["type"] == "ImportError"
    assert report["msg"] == INTERPRETER_CHANGE
    assert report["main"] == "TavrelSFTPMain"


def test_a_failed_import_in_another_interpreter_claims_nothing(run_python):
    pytest.importorskip("_interpreters")
    report = run_json(
        run_python,
        """
        import json, sys, _interpreters
        interp = _interpreters.create("isolated")
        try:
            # paramiko's compiled dependencies refuse isolated interpreters,
            # so the import there fails part-way through the module's body.
            failure = _interpreters.exec(interp, "import sftp_main")
            again = _interpreters.exec(interp, "import sftp_main")
        finally:
            _interpreters.destroy(interp)
        import sftp_main
        obj = sftp_main.TavrelSFTPMain({"host": "h", "user": "u", "password": "p"})
        print(json.dumps({
            "sub": failure and failure.type.__name__,
            "sub_msg": failure and failure.msg,
            "again": again and again.msg,
            "main": type(obj).__name__,
            "port": obj._config.get("port"),
        }))
        """,
    )
    assert report["sub"] is not None and report["sub_msg"] != INTERPRETER_CHANGE
    assert report["again"] != INTERPRETER_CHANGE
    assert report["main"] == "TavrelSFTPMain" and report["port"] == 22
