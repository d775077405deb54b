"""The type stubs shipped with the module describe what the module has."""
import ast
import pathlib

import pytest

import skarvo_mp

STUB = pathlib.Path(__file__).resolve().parents[1] / "python" / "skarvo_mp-stubs" / "__init__.pyi"


def stub_tree():
    return ast.parse(STUB.read_text())


def stub_names():
    names, classes = set(), {}
    for node in stub_tree().body:
        if isinstance(node, ast.ClassDef):
            names.add(node.name)
            members = set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.add(item.name)
                elif isinstance(item, ast.AnnAssign):
                    members.add(item.target.id)
            classes[node.name] = members
        elif isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and node.target.id != "__all__":
            names.add(node.target.id)
    return names, classes


def test_stub_covers_every_exported_name():
    names, _ = stub_names()
    assert set(skarvo_mp.__all__) <= names


@pytest.mark.parametrize("cls_name", sorted(stub_names()[1]))
def test_stub_members_match_the_class(cls_name):
    cls = getattr(skarvo_mp, cls_name)
    declared = stub_names()[1][cls_name] - {"__init__"}
    public = {n for n in dir(cls) if not n.startswith("_")}
    assert declared == public
