"""What an installed copy of the package holds."""
import pathlib
from importlib.metadata import metadata

import Lumivex

INSTALLED = pathlib.Path(Lumivex.__file__).resolve().parent


def test_installed_package_ships_types_and_no_sources():
    names = {path.name for path in INSTALLED.iterdir()}
    assert {"py.typed", "rasterCore_ext.pyi", "__main__.py"} <= names
    assert not [name for name in names if name.endswith((".cpp", ".hpp"))]


def test_version_and_licence_come_from_the_metadata():
    info = metadata("Lumivex")
    assert Lumivex.__version__ == info["Version"] and Lumivex.__version__[0].isdigit()
    assert "MIT" in (info.get("License-Expression") or info.get("License") or "")


def test_star_import_leaves_the_builtin_open_alone():
    namespace: dict = {}
    exec("from Lumivex import *", namespace)
    assert "open" not in namespace and "to_numpy" in namespace
