"""What an installed copy of the package holds."""
import pathlib
import subprocess
import sys
from importlib.metadata import metadata

import pytest

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


LOADED = "import sys; print(' '.join(sorted(sys.modules)))"


# (code, the modules it may load beyond a bare interpreter's, or only those of the
# package where the extension's own imports are the codec's business)
@pytest.mark.parametrize("code, allowed, only_the_package", [
    ("import Lumivex", {"Lumivex"}, False),
    ("import sys; sys.argv = ['lumivex', '--version']; from Lumivex.__main__ import main; main()",
     {"Lumivex", "Lumivex.__main__", "Lumivex._cli_version", "Lumivex._native"}, False),
    ("import Lumivex; Lumivex.read_metadata", {"Lumivex", "Lumivex._metadata", "Lumivex._imread", "Lumivex._capped",
                                               "Lumivex._native", "Lumivex.rasterCore_ext"}, True),
], ids=["import", "lumivex --version", "one name"])
def test_the_package_loads_only_what_the_call_at_hand_needs(code, allowed, only_the_package):
    def modules(prefix):
        run = subprocess.run([sys.executable, "-c", f"{prefix}\n{LOADED}"], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True)
        return set(run.stdout.splitlines()[-1].split())

    loaded = modules(code) - modules("pass")
    if only_the_package:
        loaded = {name for name in loaded if name.split(".")[0] == "Lumivex"}
    assert loaded == allowed
