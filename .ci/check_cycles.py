"""No import cycle among the modules of orbisk_tools, as installed, within a package or between
packages, whether an import is made at the top of a module or inside a function (what a type
checker alone reads is left out):
    python .ci/check_cycles.py
Needs grimp, which import-linter brings. Prints each cycle it finds, and exits 1 then."""

import sys

import grimp


def cycles(edges):
    """The strongly connected components of more than one module, by Tarjan's algorithm."""
    index, low, stack, on_stack, found, counter = {}, {}, [], set(), [], [0]

    def visit(module):
        index[module] = low[module] = counter[0]
        counter[0] += 1
        stack.append(module)
        on_stack.add(module)
        for other in edges[module]:
            if other not in index:
                visit(other)
                low[module] = min(low[module], low[other])
            elif other in on_stack:
                low[module] = min(low[module], index[other])
        if low[module] == index[module]:
            component = []
            while True:
                other = stack.pop()
                on_stack.discard(other)
                component.append(other)
                if other == module:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for module in sorted(edges):
        if module not in index:
            visit(module)
    return found


def main():
    sys.setrecursionlimit(10_000)
    graph = grimp.build_graph("orbisk_tools", exclude_type_checking_imports=True)
    modules = {module for module in graph.modules if module.startswith("orbisk_tools")}
    edges = {module: {other for other in graph.find_modules_directly_imported_by(module) if other in modules}
             for module in modules}
    found = cycles(edges)
    for cycle in found:
        print("import cycle:", " -> ".join(cycle))
    print(f"{len(modules)} modules, {len(found)} import cycles")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
