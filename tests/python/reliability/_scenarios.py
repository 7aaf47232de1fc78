"""Programs that the reliability tests run in a child interpreter, where exits, signals and
crashes can be watched from outside: python _scenarios.py NAME [ARGUMENTS...].

They talk to the parent in lines on stdout: READY when the moment to act has come, and facts the
parent checks (LATER when a node ran that must not, LATENCY, TASKS, DONE). The parent's side
(`start`, `finish`, `run`, `rounds`) is at the end of this file."""

import atexit
import os
import select
import signal
import sys
import threading
import time

import vantorix


def say(*words):
    print(*words, flush=True)


def fan(branches, root=None, after=(), published=("out",)):
    """A root node, one branch per entry of `branches` (a list of node functions, run in a
    chain) and main-chain nodes in `after`. The first nodes of all branches and the `after`
    nodes form one level; the second node of each branch the level after it. The root
    publishes the variables in `published`; the branch nodes read and publish "out"."""
    graph = vantorix.PyGraph()
    graph.add(root, outputs={name: name for name in published})
    for functions in branches:
        branch = vantorix.PyGraph()
        for function in functions:
            branch.add(function, inputs={"out": "out"}, outputs={"out": "out"})
        graph.branch(branch)
    for function in after:
        graph.add(function)
    return graph.build()


def later(inputs, params):
    say("LATER")
    return {}


def task_count():
    return len(os.listdir("/proc/self/task"))


def node_exit(mode):
    """A node calls sys.exit(3): no further batch or level runs, and the process exits with 3."""
    def leave(inputs, params):
        sys.exit(3)

    dag = fan([[leave, later], [lambda i, p: {}], [later]])
    dag.execute(*{"sequential": (), "parallel": (True, 2)}[mode])
    say("NOT REACHED")


def hook_exit(mode):
    """sys.excepthook calls sys.exit(5) while a failed node is reported: the run stops and
    execute raises that SystemExit on the calling thread, as if the node had raised it."""
    def hook(kind, value, traceback):
        sys.exit(5)

    def fail(inputs, params):
        raise ValueError("node failure")

    sys.excepthook = hook
    dag = fan([[fail, later], [fail, later]])
    try:
        dag.execute(mode == "parallel")
    except SystemExit as exit:
        say("RAISED", exit.code)
    sys.excepthook = sys.__excepthook__
    say("AGAIN", fan([[lambda i, p: {"out": 2}]] * 2).execute(True)["out"])


def sigint(mode):
    """Parent sends SIGINT once READY is printed, while the nodes wait; each node returns as
    soon as the signal has reached the process (seen through the signal wakeup pipe)."""
    # Python leaves SIGINT alone when it starts ignored, as under a background job.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    wake_read, wake_write = os.pipe()
    os.set_blocking(wake_write, False)
    signal.set_wakeup_fd(wake_write)
    parallel = mode == "parallel"
    width = 3 if parallel else 1
    arrived = threading.Barrier(width)
    ready = []
    returned = []

    def wait_for_signal(inputs, params):
        if arrived.wait(timeout=30) == 0:
            ready.append(time.monotonic())
            say("READY")
        woken, _, _ = select.select([wake_read], [], [], 30)
        assert woken, "no signal came"
        returned.append(time.monotonic())
        return {"out": 1}

    dag = fan([[wait_for_signal, later] for _ in range(width)])
    tasks = task_count()
    try:
        dag.execute(parallel)
        say("NOT INTERRUPTED")
        return
    except KeyboardInterrupt:
        raised = time.monotonic()
    # In parallel mode the nodes on workers are not interrupted: they return, and the latency
    # counts from the last of them. In sequential mode the node itself is interrupted; the
    # latency counts from READY, which makes it an upper bound (it includes the parent's kill).
    say("LATENCY", f"{raised - (max(returned) if returned else ready[0]):.4f}")
    say("TASKS", tasks, task_count())
    again = fan([[lambda i, p: {"out": 2}]] * 3).execute(parallel)
    say("AGAIN", again["out"])


def exit_during_run(mode, status):
    """A daemon thread is inside execute, with nodes running Python on workers (or on the
    daemon thread itself), when the main thread ends the process with `status`. An exit hook
    registered after vantorix's (and so run before it) lets the nodes return shortly after the
    interpreter has begun to exit; the next level must then never enter Python. The context
    holds many values, so that the daemon thread is still giving their references back while
    the process exits."""
    inside = threading.Barrier(3 if mode == "parallel" else 2)
    exiting = threading.Event()
    count = 20_000

    def busy(inputs, params):
        inside.wait(timeout=30)
        exiting.wait(timeout=30)
        time.sleep(0.05)  # margin for the exit hook that follows to close its gate
        return {"out": 1}

    branches = [[busy, later], [busy, later]] if mode == "parallel" else [[busy, later]]
    dag = fan(branches, root=lambda i, p: {f"v{n}": object() for n in range(count)},
              published=(f"v{n}" for n in range(count)))
    atexit.register(exiting.set)
    threading.Thread(target=dag.execute, args=(mode == "parallel",), daemon=True).start()
    inside.wait(timeout=30)
    say("READY")
    sys.exit(int(status))


def exit_while_looping(status):
    """Daemon threads run executions back to back (parallel, sequential, nested) when the main
    thread exits: the exit lands at arbitrary points of the engine."""
    inner = fan([[lambda i, p: {"out": 1}]] * 2)
    dag = fan([[lambda i, p: {"out": 1}], [lambda i, p: inner.execute(True)], [lambda i, p: {}]])
    runs = threading.Semaphore(0)

    def loop(arguments):
        while True:
            dag.execute(*arguments)
            runs.release()

    for arguments in [(True,), (True, 1), (False,)]:
        threading.Thread(target=loop, args=(arguments,), daemon=True).start()
    for _ in range(30):
        runs.acquire(timeout=30)
    sys.exit(int(status))


def recursion(limit):
    """Nodes on worker threads recurse without end, directly and through a builtin: each prints
    a RecursionError and the run goes on; another recurses almost to the limit and returns. A
    limit of 0 keeps the interpreter's default."""
    if int(limit):
        sys.setrecursionlimit(int(limit))
    target = sys.getrecursionlimit() - 100

    def down(depth):
        return down(depth + 1)

    def via_builtin(depth):
        return sum(map(via_builtin, [depth + 1]))

    def reach(depth):
        return depth if depth == target else reach(depth + 1)

    dag = fan([[lambda i, p: down(0)], [lambda i, p: via_builtin(0)],
               [lambda i, p: {"out": reach(0)}]])
    # One worker at a time, so that the two tracebacks are not printed into each other.
    say("DONE", dag.execute(True, 1)["out"], target)


# The parent's side. Its imports stay out of the children, whose exit they would slow down.


def start(name, *arguments):
    """Starts scenario `name` in a child interpreter (the parent's, with its environment)."""
    import subprocess

    return subprocess.Popen(
        [sys.executable, "-X", "faulthandler", os.path.abspath(__file__), name,
         *map(str, arguments)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(child, timeout=60):
    """Waits for `child` and returns (exit status, stdout, stderr); a child that hangs is
    killed and reported as status "hung"."""
    import subprocess

    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        return "hung", out, err
    return child.returncode, out, err


def run(name, *arguments):
    return finish(start(name, *arguments))


def rounds(count, check):
    """Calls `check()` `count` times, four at a time (children mostly wait, and races show
    better on a busy machine) and returns the results. Re-raises the first failure."""
    import concurrent.futures

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        return [future.result() for future in [pool.submit(check) for _ in range(count)]]


if __name__ == "__main__":
    globals()[sys.argv[1].replace("-", "_")](*sys.argv[2:])
