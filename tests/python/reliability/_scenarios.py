"""Programs that the reliability tests run in a child interpreter, where exits, signals and
crashes can be watched from outside: python _scenarios.py NAME [ARGUMENTS...].

They talk to the parent in lines on stdout: READY when the moment to act has come, and facts the
parent checks (LATER when a node ran that must not, LATENCY, TASKS, DONE). The parent's side
(`start`, `finish`, `run`, `rounds`) is at the end of this file.

vantorix is imported where it is first needed: some programs register exit handlers before
they import it, as libraries such as logging and multiprocessing register theirs."""

import atexit
import os
import select
import signal
import socket
import sys
import threading
import time


def say(*words):
    print(*words, flush=True)


def fan(branches, root=None, after=(), published=("out",)):
    """A root node, one branch per entry of `branches` (a list of node functions, run in a
    chain) and main-chain nodes in `after`. The first nodes of all branches and the `after`
    nodes form one level; the second node of each branch the level after it. The root
    publishes the variables in `published`; the branch nodes read and publish "out"."""
    import vantorix

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
    daemon thread itself), when the main thread ends the process with `status`. The last exit
    handler lets the nodes return shortly after the interpreter has begun to finalise; their
    threads must then stay out of Python, and the next level never runs. The context holds
    many values, so that the daemon thread is still giving their references back while the
    process exits."""
    inside = threading.Barrier(3 if mode == "parallel" else 2)
    exiting = threading.Event()
    count = 20_000

    def busy(inputs, params):
        inside.wait(timeout=30)
        exiting.wait(timeout=30)
        time.sleep(0.05)  # margin for the finalisation that follows the exit handlers
        return {"out": 1}

    branches = [[busy, later], [busy, later]] if mode == "parallel" else [[busy, later]]
    dag = fan(branches, root=lambda i, p: {f"v{n}": object() for n in range(count)},
              published=(f"v{n}" for n in range(count)))
    atexit.register(exiting.set)
    threading.Thread(target=dag.execute, args=(mode == "parallel",), daemon=True).start()
    inside.wait(timeout=30)
    say("READY")
    sys.exit(int(status))


def exit_while_looping(status, exit_handlers="kept"):
    """Daemon threads run executions back to back (parallel, sequential, nested) when the main
    thread exits: the exit lands at arbitrary points of the engine. With `exit_handlers`
    "cleared", atexit._clear() has removed every exit handler first: exiting safely must not
    depend on one."""
    if exit_handlers == "cleared":
        import vantorix  # noqa: F401  (whatever exit handler it registers goes too)

        atexit._clear()
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


def two_ways(dag):
    """The "out" of `dag` run sequentially and in parallel, for one line of output."""
    return dag.execute()["out"], dag.execute(True)["out"]


def run_forever(dag, *arguments):
    while True:
        dag.execute(*arguments)


def counting_dag():
    """A root publishing out = 1, then a level of two nodes, one publishing out + 1: out is 2 in
    either mode, and the parallel run starts workers."""
    return fan([[lambda i, p: {"out": i["out"] + 1}], [lambda i, p: {}]],
               root=lambda i, p: {"out": 1})


def blocked_daemon(mode, place, blocker):
    """A daemon thread runs a node that never returns in time, on the calling thread or on a
    worker, when the main thread returns: it waits on an event that nobody sets, or reads from
    a socket with a 30 s timeout. The process must exit at once, as it does without vantorix:
    daemon threads are abandoned."""
    blocked = threading.Event()
    reader, writer = socket.socketpair()
    reader.settimeout(30)

    def block(inputs, params, unwritten=writer):  # the writer stays open while the node runs
        blocked.set()
        if blocker == "socket":
            reader.recv(1)
        else:
            threading.Event().wait()
        say("LATER")
        return {}

    dag = fan([[block], [lambda i, p: {}]]) if place == "worker" else fan([], root=block)
    threading.Thread(target=dag.execute, args=(mode == "parallel",), daemon=True).start()
    blocked.wait(timeout=30)
    say("READY")


def exit_handler_runs():
    """An exit handler registered before vantorix is imported runs DAGs in both modes, on the
    main thread and on a helper thread that it joins, while a daemon thread is inside execute:
    until the interpreter finalises, the module works as ever."""
    go = threading.Event()
    helper_results = []

    def at_exit():
        say("MAIN", *two_ways(counting_dag()))
        go.set()
        helper.join(timeout=30)
        say("HELPER", *(["STUCK"] if helper.is_alive() else helper_results))

    atexit.register(at_exit)
    import vantorix  # noqa: F401  (after the handler, so its exit handlers would run first)

    def help_at_exit():
        go.wait()  # started now: 3.12 refuses to start threads in exit handlers
        helper_results.extend(two_ways(counting_dag()))

    helper = threading.Thread(target=help_at_exit, daemon=True)
    helper.start()
    inside = threading.Event()
    dag = fan([[lambda i, p: inside.set() or {}]] * 2)
    threading.Thread(target=run_forever, args=(dag, True), daemon=True).start()
    inside.wait(timeout=30)


def exit_handler_lock(mode):
    """A daemon thread runs DAGs in a loop while it holds a lock, which an exit handler
    registered before vantorix is imported then takes: the daemon thread must go on, finish
    its run and let the lock go."""
    lock = threading.Lock()
    exiting = threading.Event()

    def at_exit():
        exiting.set()
        say("LOCKED" if lock.acquire(timeout=20) else "DEADLOCK")

    atexit.register(at_exit)
    import vantorix  # noqa: F401  (after the handler, so its exit handlers would run first)

    dag = counting_dag()
    running = threading.Event()

    def loop():
        while not exiting.is_set():
            with lock:
                dag.execute(mode == "parallel")
            running.set()

    threading.Thread(target=loop, daemon=True).start()
    running.wait(timeout=30)


def exit_handlers_then_runs():
    """atexit._run_exitfuncs(), as test runners and embedders call it, changes nothing for the
    runs after it: on the main thread and on another thread, in both modes."""
    dag = counting_dag()
    atexit._run_exitfuncs()
    say("MAIN", *two_ways(dag))
    results = []
    thread = threading.Thread(target=lambda: results.extend(two_ways(dag)), daemon=True)
    thread.start()
    thread.join(timeout=30)
    say("THREAD", *(["STUCK"] if thread.is_alive() else results))


def teardown_finaliser():
    """A finaliser that runs while the interpreter finalises (the builtins module is among the
    last things torn down) executes a DAG: on its own thread, the finalising one, sequentially;
    in parallel mode the level's workers may not enter Python any more."""
    import builtins

    dag = counting_dag()

    class Late:
        def __del__(self):
            say("SEQUENTIAL", dag.execute()["out"])
            try:
                dag.execute(True)
            except RuntimeError as error:
                say("PARALLEL", error)

    builtins.late_finaliser = Late()

# GCC's ASan allocator has no fork handling: a thread that allocates while another forks leaves
# the child an allocator lock held for ever. Under ASan the fork scenarios fork only while every
# other thread waits at a point where it allocates nothing.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def fork_during_run(how):
    """Two daemon threads are inside a node, and another runs DAGs that give many references
    back without the interpreter lock, when the main thread forks, ten times: with os.fork, whose
    child then exits normally (exit handlers and all), or through multiprocessing's fork start
    method, whose child leaves by os._exit. The child builds and runs DAGs in both modes. Under
    ASan the third thread is held inside a node for each fork."""
    import warnings

    # 3.12+ warns that forking a process with threads may deadlock the child: that is the case
    # under test.
    warnings.filterwarnings("ignore", category=DeprecationWarning)
    inside, release = threading.Barrier(3, timeout=30), threading.Event()

    def hold(inputs, params):
        inside.wait()
        release.wait()
        return {}

    holding = fan([[hold], [hold]])
    threading.Thread(target=holding.execute, args=(True,), daemon=True).start()
    # Each run replaces 200 values on its calling thread, without the interpreter lock: their
    # references are queued for later.
    import vantorix

    gate, held = threading.Condition(), {"wanted": False, "now": False}

    def replace(inputs, params):
        with gate:
            if held["wanted"]:
                held["now"] = True
                gate.notify_all()
                gate.wait_for(lambda: not held["wanted"], timeout=30)
                held["now"] = False
        return {name: object() for name in names}

    churn = vantorix.PyGraph()
    names = {f"v{n}": f"v{n}" for n in range(200)}
    for _ in range(2):
        churn.add(replace, outputs=names)
    threading.Thread(target=run_forever, args=(churn.build(), False), daemon=True).start()
    inside.wait()

    def hold_churn():
        with gate:
            held["wanted"] = True
            gate.wait_for(lambda: held["now"], timeout=30)

    def let_churn_go():
        with gate:
            held["wanted"] = False
            gate.notify_all()

    if SANITIZED:
        os.register_at_fork(before=hold_churn, after_in_parent=let_churn_go)

    def child():
        say("CHILD", *two_ways(counting_dag()))

    def timed_out(number, frame):
        raise TimeoutError

    signal.signal(signal.SIGALRM, timed_out)
    for _ in range(10):
        if how == "os-fork":
            pid = os.fork()
            if pid == 0:
                child()
                return  # the normal way out of the child's interpreter
            signal.alarm(30)
            try:
                os.waitpid(pid, 0)
            except TimeoutError:
                os.kill(pid, signal.SIGKILL)
                say("CHILD HUNG")
                break
            finally:
                signal.alarm(0)
        else:
            import multiprocessing

            process = multiprocessing.get_context("fork").Process(target=child)
            process.start()
            process.join(timeout=30)
            if process.is_alive():
                process.kill()
                say("CHILD HUNG")
                break
            if process.exitcode:
                say("CHILD FAILED", process.exitcode)
    release.set()
    say("PARENT", *two_ways(counting_dag()))


def fork_in_wait():
    """A signal handler forks while the main thread waits for the workers of a level. The child
    has none of those workers: its run fails with the internal-failure exception instead of
    waiting for them for ever, and it then builds and runs DAGs in both modes and exits normally.
    The parent's run finishes as if nothing happened. The signal is sent once the other worker
    waits inside its node, which allocates nothing there (see SANITIZED)."""
    import warnings

    import vantorix

    warnings.filterwarnings("ignore", category=DeprecationWarning)  # fork with threads
    release, parked = threading.Event(), threading.Event()
    children = []

    def handler(number, frame):
        pid = os.fork()
        if pid == 0:
            children.append(None)
            return
        children.append(pid)
        release.set()

    signal.signal(signal.SIGUSR1, handler)

    def wake_main(inputs, params):
        parked.wait(timeout=30)
        os.kill(os.getpid(), signal.SIGUSR1)
        release.wait(timeout=30)
        return {"out": 1}

    def park(inputs, params):
        parked.set()
        release.wait(timeout=30)
        return {}

    dag = fan([[wake_main], [park]])
    try:
        dag.execute(True)
    except BaseException as error:  # only the child gets here
        say("CHILD", type(error).__name__, *two_ways(counting_dag()))
        return
    assert isinstance(children[0], int), children
    os.waitpid(children[0], 0)
    say("PARENT", *two_ways(counting_dag()))


def nested_runs(depth):
    """A parallel run whose node, on a worker, starts the next parallel run, `depth` deep: each
    level's calling thread waits for its worker, and waiting costs nothing."""
    import itertools

    levels = itertools.count(1)

    def descend(inputs, params):
        if next(levels) == int(depth):
            return {"out": 1}
        return {"out": dag.execute(True)["out"] + 1}

    dag = fan([[descend], [lambda i, p: {}]])
    say("DONE", dag.execute(True)["out"])


def signal_handlers_while_waiting():
    """The main thread waits in a parallel run while nodes on workers need a Python signal
    handler to run: one for a real signal sent to the process, one for _thread.interrupt_main,
    which sends none. Each node returns once its handler has run on the main thread."""
    import _thread

    handled = {signal.SIGUSR1: threading.Event(), signal.SIGINT: threading.Event()}
    for number, event in handled.items():
        signal.signal(number, lambda number, frame: handled[number].set())

    def wait_for(number, send):
        def node(inputs, params):
            send()
            return {"out": handled[number].wait(timeout=30)}
        return node

    signalled = fan([[wait_for(signal.SIGUSR1, lambda: os.kill(os.getpid(), signal.SIGUSR1))],
                     [lambda i, p: {}]])
    interrupted = fan([[wait_for(signal.SIGINT, _thread.interrupt_main)], [lambda i, p: {}]])
    say("HANDLED", signalled.execute(True)["out"], interrupted.execute(True)["out"])


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

    # A session of its own: a hung child is killed with every process it forked, which would
    # otherwise hold its output pipes open.
    return subprocess.Popen(
        [sys.executable, "-X", "faulthandler", os.path.abspath(__file__), name,
         *map(str, arguments)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True)


def finish(child, timeout=60):
    """Waits for `child` and returns (exit status, stdout, stderr); a child that hangs is
    killed, with the processes it forked, and reported as status "hung"."""
    import subprocess

    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
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
