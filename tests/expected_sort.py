#!/usr/bin/env python3
# What sorting a bookmarks file must write, worked out apart from tidymark's own code.
#
#     expected_sort.py ORIGINAL RESULT EXPECTED
#
# Writes to EXPECTED the original with each folder's entries moved into the order of
# bench/reference_sort.py: in a binary file, each folder's "Children" reference list rewritten in the
# new order; in an XML file, the children of each folder's "Children" element moved as whole pieces
# of text, the text between them left in place. Fails unless plistlib reads RESULT as the original
# with every folder sorted, and nothing else changed.
import os, plistlib, struct, sys, xml.parsers.expat

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from reference_sort import is_folder, sort_key, sort_node  # noqa: E402


def order_of(node):  # None unless the node is a folder with a list of children
    if is_folder(node) and isinstance(node.get("Children"), list):
        return sorted(range(len(node["Children"])), key=lambda i: sort_key(node["Children"][i]))


def binary_expected(data, tree):
    offset_size, ref_size, _, top, table = struct.unpack(">6xBBQQQ", data[-32:])
    out = bytearray(data)
    number = lambda at, width: int.from_bytes(data[at:at + width], "big")

    def refs(obj):  # a container's references, and where they begin
        at = number(table + obj * offset_size, offset_size)
        count, start = data[at] & 15, at + 1
        if count == 15:
            width = 1 << (data[at + 1] & 15)
            count, start = number(at + 2, width), at + 2 + width
        return [number(start + i * ref_size, ref_size) for i in range(2 * count)], start

    def walk(obj, node):
        if order_of(node) is not None:
            keys_and_values, _ = refs(obj)
            entries, start = refs(keys_and_values[len(keys_and_values) // 2 + list(node).index("Children")])
            for entry, child in zip(entries, node["Children"]):
                walk(entry, child)
            moved = b"".join(entries[i].to_bytes(ref_size, "big") for i in order_of(node))
            out[start:start + len(moved)] = moved

    walk(top, tree)
    return bytes(out)


def xml_expected(data, tree):
    # Every element as [start, end, children], from the '<' of its start tag past its last '>'.
    open_elements = [[0, len(data), []]]
    parser = xml.parsers.expat.ParserCreate()

    def start(name, attributes):
        close = data.index(b">", parser.CurrentByteIndex)
        element = [parser.CurrentByteIndex, close + 1 if data[close - 1] == ord("/") else None, []]
        open_elements[-1][2].append(element)
        open_elements.append(element)

    def end(name):
        element = open_elements.pop()
        element[1] = element[1] or data.index(b">", parser.CurrentByteIndex) + 1

    parser.StartElementHandler, parser.EndElementHandler = start, end
    parser.Parse(data, True)

    def render(element, node):
        begin, end, inner = element
        if not order_of(node):
            return data[begin:end]
        children = inner[2 * list(node).index("Children") + 1][2]
        pieces = [data[begin:children[0][0]]]
        for k, i in enumerate(order_of(node)):
            pieces += [data[children[k - 1][1]:children[k][0]]] if k else []
            pieces.append(render(children[i], node["Children"][i]))
        return b"".join(pieces + [data[children[-1][1]:end]])

    top = open_elements[0][2][0][2][0]  # <plist>'s value
    return data[:top[0]] + render(top, tree) + data[top[1]:]


def unshared(value):  # plistlib gives an object referenced twice as one; tidymark reads two
    if isinstance(value, dict):
        return {key: unshared(item) for key, item in value.items()}
    return [unshared(item) for item in value] if isinstance(value, list) else value


original_path, result_path, expected_path = sys.argv[1:]
data = open(original_path, "rb").read()
tree = plistlib.loads(data)
open(expected_path, "wb").write((binary_expected if data[:8] == b"bplist00" else xml_expected)(data, tree))
sort_node(tree := unshared(tree))
if plistlib.load(open(result_path, "rb")) != tree:
    sys.exit("plistlib reads the result as another tree than the sorted original")
