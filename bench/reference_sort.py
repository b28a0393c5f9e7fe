#!/usr/bin/env python3
"""Sorts a bookmarks property list in place with nothing but Python's standard library.

    reference_sort.py FILE

The script a person would write instead of installing tidymark: folders first, then by title,
case-insensitively, with runs of digits compared by value. The benchmark times tidymark against it.
"""
import plistlib
import re
import sys
import unicodedata

FOLDER = "WebBookmarkTypeList"
BOOKMARK = "WebBookmarkTypeLeaf"


def title_of(node):
    if node.get("WebBookmarkType") == BOOKMARK:
        uri = node.get("URIDictionary")
        title = uri.get("title") if isinstance(uri, dict) else None
    else:
        title = node.get("Title")
    return title if isinstance(title, str) else ""


def title_key(title):
    # Texts and digit runs alternate; the text before a digit run ends in "0", so against a longer
    # text it ranks the way the digit itself would. Texts only meet texts, numbers only numbers.
    parts = re.split(r"([0-9]+)", unicodedata.normalize("NFD", title.casefold()))
    key = [(text + "0", int(number)) for text, number in zip(parts[0::2], parts[1::2])]
    key.append((parts[-1],))
    return key


def is_folder(node):
    return isinstance(node, dict) and node.get("WebBookmarkType") == FOLDER


def sort_key(node):
    title = title_of(node) if isinstance(node, dict) else ""
    return (not is_folder(node), title_key(title))


def sort_node(node):
    if not is_folder(node) or not isinstance(node.get("Children"), list):
        return
    for child in node["Children"]:
        sort_node(child)
    node["Children"].sort(key=sort_key)


def main():
    path = sys.argv[1]
    with open(path, "rb") as f:
        data = f.read()
    fmt = plistlib.FMT_BINARY if data.startswith(b"bplist00") else plistlib.FMT_XML
    root = plistlib.loads(data, fmt=fmt)
    sort_node(root)
    with open(path, "wb") as f:
        plistlib.dump(root, f, fmt=fmt, sort_keys=False)


if __name__ == "__main__":
    main()
