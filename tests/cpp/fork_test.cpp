// A child forked while another thread of the parent is inside one of the engine's critical
// sections: it has only the forking thread, and must still run parallel levels.
#include "dag/worker_stacks.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using namespace vantorix;
using namespace vantorix::test;

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
    const Context result = Dag(std::move(nodes)).execute(true, std::nullopt);
    return result.find("out") != nullptr && result.find("out")->as_int() == 2;
}

// The exit status of `child`, or -1 when it has not ended within a minute (and is killed).
int wait_for(pid_t child) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
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
