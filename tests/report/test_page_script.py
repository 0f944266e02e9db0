"""The page's script as the files of assets/js/ make it: they are joined into one closure, so a
name one file declares is seen by all, and each file says what it declares for the others
(`/* exported ... */`) and what it takes from them (`/* global ... */`), which is what eslint
checks each file against. What eslint cannot see across files is checked here."""

import re
from importlib import resources

import pytest

from sorvani_kb.datavisualization.report.page import html

JS = resources.files("sorvani_kb.datavisualization.report") / "assets" / "js"
DIRECTIVE = re.compile(r"/\*\s*(global|exported)\s(.*?)\*/", re.S)
TOP_LEVEL = re.compile(r"^(?:async\s+)?function\s+([\w$]+)|^(?:const|let|var)\s+([\w$]+)", re.M)


def names(text, kind):
    listed = []
    for which, body in DIRECTIVE.findall(text):
        if which == kind:
            listed += [n.split(":")[0] for n in re.split(r"[\s,]+", body) if n]
    return listed


def files():
    return {name: (JS / name).read_text(encoding="utf-8") for name in html.SCRIPTS}


def test_every_file_of_the_folder_is_on_the_page():
    on_disk = sorted(p.name for p in JS.iterdir() if p.name.endswith(".js"))
    assert on_disk == sorted(html.SCRIPTS)
    script = html.page_script()
    at = [script.index(text.rstrip("\n")) for text in files().values()]
    assert at == sorted(at)  # in the order of SCRIPTS


def test_no_name_is_declared_twice_in_the_closure():
    seen = {}
    for name, text in files().items():
        for match in TOP_LEVEL.finditer(text):
            declared = match[1] or match[2]
            assert declared not in seen, f"{declared} declared in {seen.get(declared)} and {name}"
            seen[declared] = name


def test_what_a_file_takes_another_declares_and_exports():
    texts = files()
    declared = {name: {m[1] or m[2] for m in TOP_LEVEL.finditer(text)} for name, text in texts.items()}
    exported = {name: names(text, "exported") for name, text in texts.items()}
    for name, text in texts.items():
        assert set(exported[name]) <= declared[name], f"{name} exports what it does not declare"
        code = DIRECTIVE.sub("", text)
        for taken in names(text, "global"):
            owners = [other for other in texts if other != name and taken in exported[other]]
            assert len(owners) == 1, f"{name} takes {taken} from {owners or 'no file'}"
            assert re.search(r"(?<![\w$.])" + re.escape(taken) + r"(?![\w$])", code), (
                f"{name} takes {taken} but does not use it"
            )


@pytest.mark.parametrize("name", html.SCRIPTS)
def test_what_a_file_exports_another_takes(name):
    texts = files()
    taken = {n for other, text in texts.items() if other != name for n in names(text, "global")}
    assert set(names(texts[name], "exported")) <= taken
