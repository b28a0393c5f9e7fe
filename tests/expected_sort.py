#!/usr/bin/env python3
"""What sorting a bookmarks file must write, worked out apart from tidymark's own code.

    expected_sort.py ORIGINAL RESULT EXPECTED

Writes to EXPECTED the original with each folder's entries moved into the order of
bench/reference_sort.py: in a binary file, each folder's "Children" reference list rewritten in the
new order; in an XML file, the children of each folder's "Children" element moved as whole pieces
of text, the text between them left in place. Fails unless plistlib reads RESULT as the original
with every folder sorted, and nothing else changed.
"""
import os
import plistlib
import struct
import sys
import xml.parsers.expat

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from reference_sort import is_folder, sort_key, sort_node  # noqa: E402


def order_of(children):
    return sorted(range(len(children)), key=lambda i: sort_key(children[i]))


def sorts(node):
    return is_folder(node) and isinstance(node.get("Children"), list)


def binary_expected(data, tree):
    offset_size, ref_size, _, top, table = struct.unpack(">6xBBQQQ", data[-32:])
    out = bytearray(data)

    def number(at, width):
        return int.from_bytes(data[at:at + width], "big")

    def contents(obj):  # (count, where the references begin) of a container object
        at = number(table + obj * offset_size, offset_size)
        if data[at] & 15 != 15:
            return data[at] & 15, at + 1
        width = 1 << (data[at + 1] & 15)
        return number(at + 2, width), at + 2 + width

    def refs(count, start):
        return [number(start + i * ref_size, ref_size) for i in range(count)]

    def walk(obj, node):
        if not sorts(node):
            return
        count, start = contents(obj)
        children_obj = refs(count, start + count * ref_size)[list(node).index("Children")]
        count, start = contents(children_obj)
        entries = refs(count, start)
        for entry, child in zip(entries, node["Children"]):
            walk(entry, child)
        moved = b"".join(entries[i].to_bytes(ref_size, "big") for i in order_of(node["Children"]))
        out[start:start + len(moved)] = moved

    walk(top, tree)
    return bytes(out)


def xml_expected(data, tree):
    # Every element as [start, end, children], from the '<' of its start tag past its last '>'.
    document = [0, len(data), []]
    open_elements = [document]
    parser = xml.parsers.expat.ParserCreate()

    def start(name, attributes):
        at = parser.CurrentByteIndex
        close = data.index(b">", at)
        element = [at, close + 1 if data[close - 1:close] == b"/" else None, []]
        open_elements[-1][2].append(element)
        open_elements.append(element)

    def end(name):
        element = open_elements.pop()
        if element[1] is None:
            element[1] = data.index(b">", parser.CurrentByteIndex) + 1

    parser.StartElementHandler, parser.EndElementHandler = start, end
    parser.Parse(data, True)

    def render(element, node):
        begin, end, inner = element
        if not sorts(node) or not node["Children"]:
            return data[begin:end]
        children = inner[2 * list(node).index("Children") + 1][2]
        pieces = [data[begin:children[0][0]]]
        for k, i in enumerate(order_of(node["Children"])):
            if k:
                pieces.append(data[children[k - 1][1]:children[k][0]])
            pieces.append(render(children[i], node["Children"][i]))
        pieces.append(data[children[-1][1]:end])
        return b"".join(pieces)

    top = document[2][0][2][0]  # <plist>'s value
    return data[:top[0]] + render(top, tree) + data[top[1]:]


def unshared(value):
    # plistlib gives an object referenced twice in a binary file as one Python object; the tool
    # reads each reference as a value of its own.
    if isinstance(value, dict):
        return {key: unshared(item) for key, item in value.items()}
    if isinstance(value, list):
        return [unshared(item) for item in value]
    return value


def main():
    original_path, result_path, expected_path = sys.argv[1:]
    data = open(original_path, "rb").read()
    tree = plistlib.loads(data)
    make = binary_expected if data.startswith(b"bplist00") else xml_expected
    open(expected_path, "wb").write(make(data, tree))
    tree = unshared(tree)
    sort_node(tree)
    if plistlib.load(open(result_path, "rb")) != tree:
        sys.exit("plistlib reads the result as another tree than the sorted original")


if __name__ == "__main__":
    main()
