"""The tuning set's manifest check (bench/build_pictures.py): every file that
differs from the kept manifest is named, as an error where the set is the
repository's own and as a warning for the Debian icons."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "bench"))
build_pictures = pytest.importorskip("build_pictures")

KEPT = {"generated/photo-256x256.png": "aa", "icons/Adwaita/512x512/places/folder.png": "bb",
        "skimage/camera.png": "cc"}


@pytest.mark.parametrize("found, errors, warnings", [
    (KEPT, [], []),
    ({**KEPT, "generated/photo-256x256.png": "ff"}, ["differs  generated/photo-256x256.png"], []),
    ({**KEPT, "skimage/camera.png": "ff"}, ["differs  skimage/camera.png"], []),
    ({**KEPT, "icons/Adwaita/512x512/places/folder.png": "ff"}, [],
     ["differs  icons/Adwaita/512x512/places/folder.png"]),
    ({name: digest for name, digest in KEPT.items() if not name.startswith("skimage")},
     ["missing  skimage/camera.png"], []),
    ({**KEPT, "icons/hicolor/256x256/apps/new.png": "dd"}, [], ["new      icons/hicolor/256x256/apps/new.png"]),
])
def test_manifest_check_names_each_difference(found, errors, warnings):
    assert build_pictures.compare(KEPT, found) == (errors, warnings)


def test_manifest_round_trip(tmp_path):
    path = str(tmp_path / "pictures.sha256")
    build_pictures.write_manifest(path, KEPT)
    assert build_pictures.read_manifest(path) == KEPT
