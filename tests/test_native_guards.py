"""The native modules under long walks, deep nesting, re-entrant introspection and
sub-interpreters, each in a child interpreter so that a crash is a failed test."""

import subprocess
import sys
import textwrap

import pytest


def child(code, timeout=120):
    done = subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.strip()


WALK = """
    import itertools, os, signal, threading, time, types
    import sorvane_core.workflow.callbacks.callback as m

    # A walk with no Python frame in it: a native iterator of items, a native callable.
    infr = types.SimpleNamespace(id="g", nodes=lambda data: itertools.repeat((0, 0), 10**9))
    ticks = []
    def other_thread():
        while not stop:
            ticks.append(1)
            time.sleep(0.001)
    stop = False
    threading.Thread(target=other_thread, daemon=True).start()
    threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
    started = time.perf_counter()
    try:
        m.{collector}("{{}}".format, {{}}, infr, None)
    except KeyboardInterrupt:
        stop = True
        # The GIL changes hands about every 10 ms (twice the switch interval), more
        # slowly on a loaded machine; a thread the walk starved would get no turn.
        print(round(time.perf_counter() - started, 3), len(ticks) > 10)
"""


@pytest.mark.parametrize("collector", ["_node_fn", "_link_fn"])
def test_a_native_walk_hears_ctrl_c_and_lets_other_threads_run(collector):
    code = WALK.format(collector=collector)
    if collector == "_link_fn":
        code = code.replace("itertools.repeat((0, 0)", "itertools.repeat((0, 0, 0)").replace(
            "nodes=lambda", "edges=lambda")
    seconds, others_ran = child(code).split()
    assert float(seconds) < 2 and others_ran == "True"


def test_deep_nesting_on_a_small_thread_stack_raises_recursion_error():
    out = child("""
        import threading, types
        import sorvane_core.workflow.callbacks.callback as m

        infr = types.SimpleNamespace(id="g", nodes=lambda data: [("n", 0)])
        def nested(depth):
            def fn(node, res, placements, infr, view):
                return (m._node_fn(nested(depth + 1), placements, infr, view)
                        if depth < 10**6 else depth)
            return fn
        outcome = {}
        def deep():
            try:
                m._node_fn(nested(0), {}, infr, None)
            except RecursionError as exc:
                outcome["error"] = str(exc)
        for size in (256 * 1024, 512 * 1024, 0):
            threading.stack_size(size)
            thread = threading.Thread(target=deep)
            thread.start()
            thread.join()
            print(size, outcome.pop("error", "none"))
    """)
    sizes = [line.split(" ", 1) for line in out.splitlines()]
    assert [size for size, _ in sizes] == ["262144", "524288", "0"]
    assert all(error.startswith("maximum recursion depth exceeded") for _, error in sizes), sizes


# How deep collectors nest on the main thread: as deep as the interpreter's own count lets
# them, which is its count of C calls in 3.12 and, in 3.13, whose bound on C calls is far
# higher, the recursion limit of the Python frames between them.
NESTING = {(3, 12): range(450, 510), (3, 13): range(950, 1000)}


def test_collectors_nest_as_deep_as_the_interpreter_counts():
    depth = child("""
        import types
        import sorvane_core.workflow.callbacks.callback as m

        infr = types.SimpleNamespace(id="g", nodes=lambda data: [("n", 0)])
        reached = [0]
        def nested(depth):
            def fn(node, res, placements, infr, view):
                reached[0] = depth
                return m._node_fn(nested(depth + 1), placements, infr, view)
            return fn
        try:
            m._node_fn(nested(0), {}, infr, None)
        except RecursionError:
            print(reached[0])
    """)
    assert int(depth) in NESTING[sys.version_info[:2]]


def test_code_made_while_code_is_made_is_the_one_kept():
    assert child("""
        import sys
        import sorvane_core.workflow.callbacks.callback as m

        fn = m._link_fn
        inner = []
        def hook(event, args):
            if event == "code.__new__" and not inner:
                inner.append(None)
                inner[0] = fn.__code__  # read again while the first is being made
        sys.addaudithook(hook)
        first = fn.__code__
        print(first is inner[0] is fn.__code__)
    """) == "True"


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_code_of_a_function_renamed_to_any_str(attribute):
    # A lone surrogate has no UTF-8 form: the code object must still be made from the name.
    assert child(f"""
        import sorvane_core.workflow.callbacks.callback as m

        fn = m._node_fn
        fn.{attribute} = "n\\udc80"
        code = fn.__code__
        print(code.co_name == fn.__name__, code.co_qualname == fn.__qualname__,
              code.co_varnames[:2])
    """) == "True True ('fn', 'placements')"


SUB = """
try:
    import {module}
    print("loaded")
except ImportError as exc:
    print(exc)
"""


@pytest.mark.parametrize("module", ["sorvane_core.workflow.callbacks.callback",
                                    "sorvane_core.simulation._simulator.rovel"])
def test_sub_interpreters_are_refused(module):
    out = child(f"""
        import _testcapi
        _testcapi.run_in_subinterp({SUB.format(module=module)!r})
        from sorvane_core.simulation._simulator.rovel import _handle_error
        print("main interpreter fine" if _handle_error([]) is None else "?")
    """)
    assert out.splitlines() == [
        "sorvane_core's native modules load only in the main interpreter, not in a sub-interpreter",
        "main interpreter fine"]
