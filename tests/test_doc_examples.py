"""Every code block of the README and of docs/ runs as written: each in a fresh
folder holding the files it names (made here with Pillow), with the
installed package. A block marked `<!-- not-run: reason -->` on the line
before its fence is left out, and only such a block."""
import os
import pathlib
import re
import subprocess
import sys

import pytest
from PIL import Image

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)
NOT_RUN = re.compile(r"<!-- not-run: [^>]+ -->\n\Z")
RUNNERS = {"python": [sys.executable, "-c"], "sh": ["bash", "-e", "-o", "pipefail", "-c"]}


def picture(width=64, height=48, mode="RGB"):
    """A smooth picture with some detail, as a photo would be."""
    image = Image.radial_gradient("L").resize((width, height))
    channels = [image, image.transpose(Image.Transpose.FLIP_LEFT_RIGHT), image.transpose(Image.Transpose.FLIP_TOP_BOTTOM)]
    return Image.merge("RGB", channels).convert(mode)


def folder_of(*files):
    def make(path):
        for name, save in files:
            (path / name).parent.mkdir(parents=True, exist_ok=True)
            save(path / name)
    return make


# The files the examples name, each made only for a block that names it.
FILES = {
    "photo.png": lambda path: picture().save(path),
    "photo.bmp": lambda path: picture().save(path),
    "extra.bmp": lambda path: picture(20, 10).save(path),
    "scan.tif": lambda path: picture(30, 40, "L").save(path),
    "logo.gif": lambda path: picture(32, 32).convert("P").save(path),
    "shots/": folder_of(("a.png", lambda p: picture().save(p)), ("b.bmp", lambda p: picture(8, 8).save(p)),
                        ("day2/c.png", lambda p: picture(16, 16, "RGBA").save(p))),
    "frames/": folder_of(*((f"frame{i:02}.png", lambda p, i=i: picture().rotate(i).save(p)) for i in range(12))),
}


def blocks():
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            marks = NOT_RUN.search(text, 0, match.start())
            yield pytest.param(match.group(1), match.group(2), bool(marks),
                               id=f"{page.relative_to(ROOT)}:{line}")


@pytest.mark.parametrize("language, code, not_run", list(blocks()))
def test_example_runs_as_written(tmp_path, language, code, not_run):
    if not_run:
        pytest.skip("marked not-run")
    assert language in RUNNERS, f"a block in {language or 'no language'}: mark it not-run, or give it python or sh"
    for name, make in FILES.items():
        if re.search(rf"(?<![\w/.-]){re.escape(name)}", code):
            make(tmp_path / name if not name.endswith("/") else (tmp_path / name).mkdir() or tmp_path / name)
    environment = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    run = subprocess.run(RUNNERS[language] + [code], cwd=str(tmp_path), env=environment, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
    assert run.returncode == 0, f"exit status {run.returncode}\n{run.stdout}\n{run.stderr}"
    assert "Traceback" not in run.stderr, run.stderr


def test_pages_have_blocks_to_run():
    # Guards the parsing above: were the fences missed, every example would pass unseen.
    ran = [param for param in blocks() if not param.values[2]]
    assert len(ran) >= 10 and {param.values[0] for param in ran} == {"python", "sh"}
