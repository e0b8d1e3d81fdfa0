"""The package's modules import one another one way only: no module imports, at
module level or inside a function, one that imports it back."""

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent / "src" / "tarvex"


# The extension modules, known by their stubs: imported by name, they are no names of __init__.
EXTENSIONS = {path.stem for path in PACKAGE.glob("*.pyi")}


def imported(path, modules):
    """The package's modules that the module at ``path`` imports anywhere in it."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ImportFrom) and node.module == "tarvex":
            found |= {alias.name if alias.name in modules | EXTENSIONS else "__init__" for alias in node.names}
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("tarvex."):
            found.add(node.module.split(".")[1])
        elif isinstance(node, ast.Import):
            found |= {alias.name.split(".")[1] for alias in node.names if alias.name.startswith("tarvex.")}
    return found & modules


def test_no_module_imports_one_that_imports_it_back():
    modules = {path.stem for path in PACKAGE.glob("*.py")}
    edges = {name: imported(PACKAGE / f"{name}.py", modules) - {name} for name in modules}

    def reachable(start):
        seen, todo = set(), [start]
        while todo:
            for following in edges[todo.pop()] - seen:
                seen.add(following)
                todo.append(following)
        return seen

    circles = sorted((name, other) for name in modules for other in edges[name] if name in reachable(other))
    assert circles == []
    assert "index" in edges["__init__"] and "embedding" in edges["index"]  # the walk sees both kinds of import
