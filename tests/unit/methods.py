"""The class's method table: names and parameters after ``self``, in class order."""

METHODS = [
    ("__init__", ("config",)),
    ("_cleanse_params", ("config",)),
    ("_set_params_dict", ()),
    ("_set_default_params", ()),
    ("_connect", ()),
    ("_close", ()),
    ("_remove", ("path",)),
    ("_rename", ("ole_path", "new_path")),
    ("_posix_rename", ("ole_path", "new_path")),
    ("_mkdir", ("path",)),
    ("_rmdir", ("path",)),
    ("_stat", ("file_path",)),
    ("_normalize", ("path",)),
    ("_chdir", ("path",)),
    ("_upload", ("src_file", "dsc_path")),
    ("_download", ("src_file", "dsc_path")),
    ("__del__", ()),
]

METHOD_NAMES = [name for name, _ in METHODS]


def reference_function(name, params):
    """A plain Python function with the method's name, qualified name and parameters."""
    namespace = {}
    arguments = "".join(f", {p}" for p in params)
    exec(f"def {name}(self{arguments}):\n    pass\n", namespace)
    function = namespace[name]
    function.__qualname__ = f"TavrelSFTPMain.{name}"
    function.__module__ = "sftp_main"
    return function
