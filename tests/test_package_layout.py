"""The package's modules each do one job: no import circle among them
(imports inside functions count), and no module uses another's private
names. Read from the installed package's source."""

import ast
from pathlib import Path

import factbrief

PACKAGE = Path(factbrief.__file__).parent


def modules():
    """{dotted name: parsed source} for every module of the package."""
    found = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        found[".".join(parts)] = ast.parse(path.read_text(encoding="utf-8"))
    return found


def _absolute(name, level, module, is_package):
    if not level:
        return name
    base = module.split(".")
    base = base if is_package else base[:-1]
    base = base[:len(base) - level + 1]
    return ".".join(base + ([name] if name else []))


def imports(module, tree, known):
    """(imported module, names taken from it) for each import in `tree`,
    at any depth."""
    is_package = module in known and any(
        other.startswith(module + ".") for other in known)
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield alias.name, ()
        elif isinstance(node, ast.ImportFrom):
            base = _absolute(node.module, node.level, module, is_package)
            for alias in node.names:
                sub = f"{base}.{alias.name}"
                if sub in known:  # `from package import module`
                    yield sub, ()
                else:
                    yield base, (alias.name,)


def graph():
    known = modules()
    edges = {}
    for module, tree in known.items():
        edges[module] = {target for target, _ in imports(module, tree, known)
                         if target in known and target != module}
    return known, edges


def _cycle_from(start, edges):
    path, on_path = [], set()

    def visit(node):
        path.append(node)
        on_path.add(node)
        for nxt in sorted(edges.get(node, ())):
            if nxt in on_path:
                return path[path.index(nxt):] + [nxt]
            if nxt not in seen:
                seen.add(nxt)
                found = visit(nxt)
                if found:
                    return found
        path.pop()
        on_path.discard(node)
        return None
    seen = {start}
    return visit(start)


def test_no_import_circle():
    _, edges = graph()
    # A package's own __init__ importing its submodules is how packages
    # work; the circle that matters runs between modules.
    for module in sorted(edges):
        cycle = _cycle_from(module, edges)
        assert cycle is None, " -> ".join(cycle)


def _private(name):
    return name.startswith("_") and not name.startswith("__")


def test_no_private_name_used_outside_its_module():
    known, _ = graph()
    wrong = []
    for module, tree in known.items():
        aliases = {}
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                for alias in node.names:
                    if alias.name in known:
                        aliases[alias.asname or alias.name] = alias.name
            elif isinstance(node, ast.ImportFrom):
                for alias in node.names:
                    base = _absolute(node.module, node.level, module, False)
                    if f"{base}.{alias.name}" in known:
                        aliases[alias.asname or alias.name] = alias.name
        for target, names in imports(module, tree, known):
            if target in known and target != module:
                wrong += [f"{module} imports {target}.{n}" for n in names
                          if _private(n)]
        for node in ast.walk(tree):
            if (isinstance(node, ast.Attribute) and _private(node.attr)
                    and isinstance(node.value, ast.Name)
                    and node.value.id in aliases):
                wrong.append(f"{module} uses {node.value.id}.{node.attr}")
    assert wrong == []


def test_the_checks_see_a_circle_and_a_private_name(tmp_path):
    """The walk above finds what it is for, on a package made to have
    both."""
    edges = {"p.a": {"p.b"}, "p.b": {"p.c"}, "p.c": {"p.a"}}
    assert _cycle_from("p.a", edges) == ["p.a", "p.b", "p.c", "p.a"]
    tree = ast.parse("def f():\n    from p.b import _hidden\n")
    found = list(imports("p.a", tree, {"p.a": None, "p.b": None}))
    assert found == [("p.b", ("_hidden",))]
