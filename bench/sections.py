"""The sections of docs/performance.md: each benchmark mode owns the text
between its two markers and leaves the rest of the file as it was."""
import pathlib

# In the order they stand in the file; "glance" comes right under the title.
NAMES = ("glance", "dialogues", "outbox", "log", "inbox", "memory")


def markers(name):
    return f"<!-- {name}:begin -->", f"<!-- {name}:end -->"


def extract(text, name):
    """The section with its markers, or None."""
    begin, end = markers(name)
    if begin not in text or end not in text:
        return None
    return begin + text.split(begin, 1)[1].split(end, 1)[0] + end


def replace(text, name, section):
    """text with the section `name` replaced by `section` (which carries its
    markers), or with it added: the glance under the title, any other at the
    end."""
    section = section.rstrip("\n")
    old = extract(text, name)
    if old is not None:
        return text.replace(old, section, 1)
    if name == "glance":
        head, nl, rest = text.partition("\n")
        if head.startswith("# "):
            return head + "\n\n" + section + "\n\n" + rest.lstrip("\n")
        return section + "\n\n" + text
    return text.rstrip("\n") + "\n\n" + section + "\n"


def rewrite(path, name, section):
    path = pathlib.Path(path)
    text = path.read_text() if path.exists() else "# Performance\n"
    path.write_text(replace(text, name, section))


def carry(old_text, new_text):
    """new_text (the full run's whole file) with every section of old_text
    that new_text lacks carried over."""
    for name in NAMES:
        if extract(new_text, name) is None:
            section = extract(old_text, name)
            if section is not None:
                new_text = replace(new_text, name, section)
    return new_text
