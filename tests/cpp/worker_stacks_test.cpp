// The stacks that workers run on, kept between batches and runs, and a fork that happens while
// another thread holds their pool.
#include "dag/worker_stacks.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

using namespace vantorix;
using namespace vantorix::test;

namespace {

struct StackRange {
    char* base;
    std::size_t size;
    auto operator<=>(const StackRange&) const = default;
};

StackRange current_stack() {
    pthread_attr_t attributes;
    pthread_getattr_np(pthread_self(), &attributes);
    void* base = nullptr;
    std::size_t size = 0;
    pthread_attr_getstack(&attributes, &base, &size);
    pthread_attr_destroy(&attributes);
    return {static_cast<char*>(base), size};
}

bool resident(const void* address) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    auto* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(address) & ~(page - 1));
    unsigned char state = 0;
    return mincore(start, page, &state) == 0 && (state & 1) != 0;
}

} // namespace

TEST(WorkerStacks, WorkersOfLaterBatchesRunOnTheStacksOfEarlierOnes) {
    std::mutex mutex;
    std::set<StackRange> seen;
    const NodeFunctionPtr record = make_node_function([&](const Context&, const Context&) {
        const StackRange stack = current_stack();
        std::lock_guard lock(mutex);
        seen.insert(stack);
        return Context();
    });
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0}, record), make_node(2, {0}, record),
                           make_node(3, {0}, record));
    execute(dag, true, std::nullopt);
    const std::set<StackRange> first = seen;
    ASSERT_EQ(first.size(), 3u);
    for (const StackRange& stack : first) {
        EXPECT_GE(stack.size, kWorkerStackSize);
    }
    for (int run = 0; run < 5; ++run) {
        execute(dag, true, run % 2 == 0 ? std::optional<std::size_t>(1) : std::nullopt);
    }
    EXPECT_EQ(seen, first); // a fresh thread every time, never a fresh stack
}

TEST(WorkerStacks, AStackUsedDeeplyGivesItsDeepPagesBackBeforeItIsReused) {
    const WorkerStack stack = acquire_worker_stack();
    ASSERT_TRUE(stack);
    char* top = static_cast<char*>(stack.base) + stack.size;
    const std::size_t used = 3 * 1024 * 1024;
    std::memset(top - used, 1, used); // as a deep recursion would
    ASSERT_TRUE(resident(top - used));
    release_worker_stack(stack);

    const WorkerStack again = acquire_worker_stack();
    ASSERT_EQ(again.base, stack.base); // the pool hands back the stack it got last
    EXPECT_FALSE(resident(top - used));
    EXPECT_TRUE(resident(top - 1)); // the part every thread uses stays mapped
    release_worker_stack(again);
}

TEST(WorkerStacks, DeepRecursionOnAReusedStackStillRuns) {
    std::atomic<int> finished{0};
    // About 4 MiB of frames, each touching its own 64 KiB.
    struct Recurse {
        static int down(int depth) {
            volatile char frame[64 * 1024];
            std::memset(const_cast<char*>(frame), depth, sizeof frame);
            return depth == 0 ? frame[0] : down(depth - 1) + frame[1];
        }
    };
    const NodeFunctionPtr deep = make_node_function([&](const Context&, const Context&) {
        EXPECT_EQ(Recurse::down(64), 64 * 65 / 2);
        ++finished;
        return Context();
    });
    const Dag dag = dag_of(make_node(0, {}), make_node(1, {0}, deep), make_node(2, {0}, deep));
    for (int run = 0; run < 3; ++run) {
        execute(dag, true, std::nullopt);
    }
    EXPECT_EQ(finished.load(), 6);
}

namespace {

// Root 0 publishing 1 as "out", then four nodes on one level that each publish "out" + 1.
bool child_runs_a_parallel_level() {
    std::vector<Node> nodes;
    nodes.push_back(make_node(0, {}, constant(1), {}, {{"out", "out"}}));
    const NodeFunctionPtr next = make_node_function([](const Context& inputs, const Context&) {
        return ints({{"out", inputs.find("out")->as_int() + 1}});
    });
    for (NodeId id = 1; id <= 4; ++id) {
        nodes.push_back(make_node(id, {0}, next, {{"out", "out"}}, {{"out", "out"}}));
    }
    const Context result = execute(Dag(std::move(nodes)), true, std::nullopt);
    return result.find("out") != nullptr && result.find("out")->as_int() == 2;
}

// The exit status of `child`, or -1 when it has not ended within a minute (and is killed).
int wait_for(pid_t child) {
    Latch exited(1);
    std::thread watchdog([&] {
        if (!exited.wait(std::chrono::minutes(1))) {
            kill(child, SIGKILL);
        }
    });
    int status = 0;
    waitpid(child, &status, 0);
    exited.count_down();
    watchdog.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(Fork, ChildForkedWhileAnotherThreadHoldsTheStackPoolRunsParallelLevels) {
    ASSERT_TRUE(child_runs_a_parallel_level()); // the pool now holds stacks
    Latch held(1);
    Latch forked(1);
    std::thread holder([&] {
        std::lock_guard lock(detail::worker_stack_pool_mutex());
        held.count_down();
        EXPECT_TRUE(forked.wait());
    });
    ASSERT_TRUE(held.wait());
    const pid_t child = fork();
    if (child == 0) {
        _exit(child_runs_a_parallel_level() ? 0 : 1);
    }
    forked.count_down();
    holder.join();
    ASSERT_GT(child, 0);
    EXPECT_EQ(wait_for(child), 0);
    EXPECT_TRUE(child_runs_a_parallel_level());
}
