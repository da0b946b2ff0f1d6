"""Builds the tuning set of the compact PNG writer under build/pictures/ and
checks it against the manifest kept in bench/pictures.sha256.

    .venv/bin/python bench/build_pictures.py [--update-manifest]

(`make pictures` runs it.) Three folders:
- generated/: the kinds of bench/pictures.py at three sizes, seeded, so the
  same on every machine with the same Pillow (the one CPython 3.8 gets);
- icons/: the PNGs of at least 40,000 pixels from Debian's adwaita-icon-theme
  and hicolor-icon-theme (the files dpkg lists for the two packages), as
  installed;
- skimage/: the PNGs in skimage/data/ of the scikit-image 0.26.0 wheel, taken
  from the wheel file (downloaded once into build/downloads/, never installed).
Every picture is kept as its source has it (RGBA, grey, palette, 16-bit...).

Then it writes build/pictures/pictures.sha256 (sha256sum's format) and lists
every file that differs from bench/pictures.sha256, is missing or is new.
"""
import argparse
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import zipfile

import PIL
from PIL import Image

from pictures import (antialiased_graphic, bar_chart, flat_graphic, gradient, noise, paeth_heavy, photo_like,
                      screenshot_like, text_page, with_alpha)

BENCH = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(BENCH)
ROOT = os.path.join(REPO, "build", "pictures")
DOWNLOADS = os.path.join(REPO, "build", "downloads")
MANIFEST = os.path.join(BENCH, "pictures.sha256")
BUILT_MANIFEST = os.path.join(ROOT, "pictures.sha256")

SIZES = ((256, 256), (800, 600), (1920, 1080))
ICON_PACKAGES = ("adwaita-icon-theme", "hicolor-icon-theme")
MIN_PIXELS = 40_000
SKIMAGE_WHEEL = ["scikit-image==0.26.0", "--only-binary", ":all:", "--python-version", "3.12",
                 "--platform", "manylinux_2_28_x86_64", "--platform", "manylinux_2_27_x86_64",
                 "--platform", "manylinux_2_24_x86_64"]

# Which folders must match the manifest byte for byte. generated/ and skimage/
# depend only on this repository (seeded code, the Pillow that CPython 3.8
# installs) and on one fixed wheel file, so a difference there means the set
# itself changed: an error, until the manifest is updated in the same commit.
# icons/ come from whatever version of the two Debian packages the machine's
# mirror has: a new point release may redraw an icon, and no command of ours
# can pin that, so a difference is a warning. The A/B harness stays fair
# either way (both sides write the same files), but figures from machines
# whose icons differ are not comparable, which the warning says.
STRICT_FOLDERS = ("generated", "skimage")


def rgb_noise(width, height, seed=21):
    return Image.merge("RGB", [noise(width, height, seed + index) for index in range(3)])


def colour_gradient(width, height):
    return Image.merge("RGB", (gradient(width, height, 0), gradient(width, height, 120, radial=True),
                               gradient(width, height, 240)))


# name: (function of width and height, what the picture is kept as)
KINDS = {
    "photo": lambda w, h: photo_like(w, h),
    "photo-alpha": lambda w, h: with_alpha(photo_like(w, h)),
    "photo-grey": lambda w, h: photo_like(w, h).convert("L"),
    "paeth-heavy": paeth_heavy,
    "flat-graphic": flat_graphic,
    "antialiased-graphic": antialiased_graphic,
    "bar-chart": bar_chart,
    "text-page": lambda w, h: text_page(w, h).convert("L"),
    "screenshot": screenshot_like,
    "gradient": colour_gradient,
    "noise": rgb_noise,
}


def replace_folder(folder, fill):
    """Fills a new folder by `fill(path)` and puts it in the place of `folder`
    whole, so that a run reading the set meanwhile never sees it half made."""
    parent, name = os.path.split(folder)
    new, old = os.path.join(parent, "." + name + ".new"), os.path.join(parent, "." + name + ".old")
    for path in (new, old):
        shutil.rmtree(path, ignore_errors=True)
    os.makedirs(new)
    fill(new)
    if os.path.exists(folder):
        os.rename(folder, old)
    os.rename(new, folder)
    shutil.rmtree(old, ignore_errors=True)


def generated(folder):
    """Writes every kind at every size unless the same code and Pillow already did."""
    stamp_path = os.path.join(folder, ".made-by")
    stamp = source_digest() + " Pillow " + PIL.__version__
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    replace_folder(folder, lambda new: make_generated(new, stamp))


def make_generated(folder, stamp):
    for name, make in KINDS.items():
        for width, height in SIZES:
            path = os.path.join(folder, "%s-%dx%d.png" % (name, width, height))
            make(width, height).save(path, "PNG")
            print("  " + os.path.basename(path), flush=True)
    with open(os.path.join(folder, ".made-by"), "w") as handle:
        handle.write(stamp)


def source_digest():
    digest = hashlib.sha256()
    for name in ("pictures.py", "build_pictures.py"):
        with open(os.path.join(BENCH, name), "rb") as handle:
            digest.update(handle.read())
    return digest.hexdigest()


def icons(folder):
    """Copies the two themes' PNGs of at least MIN_PIXELS pixels, keeping their paths under /usr/share/icons."""
    listed = subprocess.run(["dpkg", "-L", *ICON_PACKAGES], stdout=subprocess.PIPE, universal_newlines=True)
    if listed.returncode != 0:
        print("build_pictures: %s not installed (`make tools` installs them): no icons" % " and ".join(ICON_PACKAGES),
              file=sys.stderr)
    replace_folder(folder, lambda new: copy_icons(listed.stdout.split(), new))


def copy_icons(listed, folder):
    for path in sorted(set(listed)):
        if not (path.endswith(".png") and path.startswith("/usr/share/icons/") and os.path.isfile(path)):
            continue
        with Image.open(path) as picture:
            if picture.width * picture.height < MIN_PIXELS:
                continue
        target = os.path.join(folder, os.path.relpath(path, "/usr/share/icons"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(path, target)


def skimage(folder):
    """Unzips the PNGs of skimage/data/ from the scikit-image wheel, downloading it once."""
    wheels = glob.glob(os.path.join(DOWNLOADS, "scikit_image-0.26.0-*.whl"))
    if not wheels:
        os.makedirs(DOWNLOADS, exist_ok=True)
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "-d", DOWNLOADS, *SKIMAGE_WHEEL],
                       check=True)
        wheels = glob.glob(os.path.join(DOWNLOADS, "scikit_image-0.26.0-*.whl"))
    replace_folder(folder, lambda new: unzip_pictures(wheels[0], new))


def unzip_pictures(wheel_path, folder):
    with zipfile.ZipFile(wheel_path) as wheel:
        for name in sorted(wheel.namelist()):
            if name.startswith("skimage/data/") and name.lower().endswith(".png"):
                with open(os.path.join(folder, os.path.basename(name)), "wb") as out:
                    out.write(wheel.read(name))


def digests(root):
    """{path relative to root: sha256} of every file under root but the manifest itself."""
    found = {}
    for folder, folders, names in os.walk(root):
        folders[:] = sorted(name for name in folders if not name.startswith("."))
        for name in names:
            path = os.path.join(folder, name)
            if name.startswith(".") or path == BUILT_MANIFEST:
                continue
            with open(path, "rb") as handle:
                found[os.path.relpath(path, root)] = hashlib.sha256(handle.read()).hexdigest()
    return found


def write_manifest(path, found):
    with open(path, "w") as handle:
        for name in sorted(found):
            handle.write("%s  %s\n" % (found[name], name))


def read_manifest(path):
    kept = {}
    with open(path) as handle:
        for line in handle:
            if line.strip():
                digest, name = line.rstrip("\n").split("  ", 1)
                kept[name] = digest
    return kept


def compare(kept, found):
    """(errors, warnings): lines naming each file that differs, is missing or is new, by folder."""
    errors, warnings = [], []
    for name in sorted(set(kept) | set(found)):
        if kept.get(name) == found.get(name):
            continue
        what = "missing" if name not in found else "new" if name not in kept else "differs"
        line = "%-8s %s" % (what, name)
        (errors if name.split("/")[0] in STRICT_FOLDERS else warnings).append(line)
    return errors, warnings


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--update-manifest", action="store_true",
                        help="write the built set's digests into bench/pictures.sha256")
    arguments = parser.parse_args(argv)
    os.makedirs(ROOT, exist_ok=True)
    print("Pictures into %s" % os.path.relpath(ROOT, REPO), flush=True)
    generated(os.path.join(ROOT, "generated"))
    icons(os.path.join(ROOT, "icons"))
    skimage(os.path.join(ROOT, "skimage"))
    found = digests(ROOT)
    write_manifest(BUILT_MANIFEST, found)
    counts = {}
    for name in found:
        counts[name.split("/")[0]] = counts.get(name.split("/")[0], 0) + 1
    print("%d pictures (%s); digests in %s" % (len(found), ", ".join("%s %d" % item for item in sorted(counts.items())),
                                              os.path.relpath(BUILT_MANIFEST, REPO)))
    if arguments.update_manifest:
        write_manifest(MANIFEST, found)
        print("Wrote %s" % os.path.relpath(MANIFEST, REPO))
        return 0
    if not os.path.exists(MANIFEST):
        print("build_pictures: no %s to check against" % os.path.relpath(MANIFEST, REPO), file=sys.stderr)
        return 1
    errors, warnings = compare(read_manifest(MANIFEST), found)
    if warnings:
        print("warning: icons differ from the manifest (Debian packages here: %s):" % package_versions(),
              file=sys.stderr)
    for line in warnings:
        print("warning: %s" % line, file=sys.stderr)
    for line in errors:
        print("error: %s" % line, file=sys.stderr)
    if errors:
        print("build_pictures: %d file(s) differ from %s; if the change is meant, run "
              "`make pictures UPDATE_MANIFEST=1` and commit the manifest"
              % (len(errors), os.path.relpath(MANIFEST, REPO)), file=sys.stderr)
        return 1
    print("Same as %s%s" % (os.path.relpath(MANIFEST, REPO),
                             "" if not warnings else " but for %d icon file(s) (warnings above)" % len(warnings)))
    return 0


def package_versions():
    shown = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Version}, ", *ICON_PACKAGES],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True)
    return shown.stdout.rstrip(", ") or "not installed"


if __name__ == "__main__":
    sys.exit(main())
