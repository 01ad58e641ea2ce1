"""README.md stays short, with the user's first screen on top and a link to
every document; every relative link of the README and the docs leads to a file
(and a heading) that exists."""

import glob
import os
import re

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
PAGES = ["README.md"] + sorted(os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "docs", "*.md")))


def read(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


def links(text):
    """The targets of [text](target) and ![alt](target), outside code."""
    prose = "\n".join(line for line in text.split("\n") if not line.startswith("    "))
    prose = re.sub(r"`[^`\n]*`", "", prose)
    return re.findall(r"\]\(([^)\s]+)\)", prose)


def anchors(text):
    """The anchors of a page's headings, as its renderer makes them."""
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-") for h in re.findall(r"^#+ (.*)$", text, re.M)}


def test_the_readmes_first_screen_is_the_users():
    readme = read("README.md")
    assert readme.count("\n") <= 200
    first = readme.split("\n")[:30]
    drawing = [line for line in first if line.startswith("    ") and "──>" in line]
    assert len(drawing) == 3 and all(w in drawing[0] for w in ("jog window", "gateway.exe", "pipe", "hub"))
    assert all(w in "\n".join(drawing) for w in ("OPC UA", "MQTT", "page"))
    commands = [line.strip() for line in first if line.startswith("    ") and line not in drawing]
    assert commands == ["gateway.exe 0 1", "hub.cmd --add-user operator", "hub.cmd"]
    assert "| document | what it covers |" in first
    # CI runs the README's test command; the demo is the other one a developer needs.
    assert "`scripts/test`" in readme and "`scripts/demo`" in readme
    linked = {os.path.normpath(t) for t in links(readme) if t.startswith("docs/") and t.endswith(".md")}
    assert linked == {os.path.normpath(p) for p in PAGES[1:]}, "the README links every document"


def test_every_relative_link_leads_somewhere():
    found = 0
    for page in PAGES:
        for target in links(read(page)):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):
                continue
            path, _, anchor = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            assert os.path.isfile(os.path.join(ROOT, path)), page + ": " + target
            if anchor:
                assert anchor in anchors(read(path)), page + ": " + target
            found += 1
    assert found >= len(PAGES), "the pages link each other"
