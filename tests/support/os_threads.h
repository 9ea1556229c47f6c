// Runs a body on several operating-system threads at once (outside the
// host's scheduler), for code that must be safe from any thread.
#pragma once

#include <thread>
#include <vector>

namespace porttest {

// Calls body(0) .. body(count - 1), each on its own thread, and joins them all.
template <typename Body>
void on_os_threads(int count, Body body)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(body, t);
    for (auto& thread : threads)
        thread.join();
}

}  // namespace porttest
