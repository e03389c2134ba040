// SPDX-License-Identifier: Apache-2.0
// A program started by a test, with its standard output and error captured.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kelbos::testing {

class ChildProcess {
public:
    // Starts `program` with `args` in `workdir` (empty: the current one), with extra
    // environment variables.
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workdir = {},
                 const std::map<std::string, std::string>& env = {});
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Reads what the child has written so far (without waiting).
    void poll_output();
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    // Complete lines of standard output so far.
    std::vector<std::string> out_lines() const;

    // Waits until `done()` holds, reading output meanwhile; false at the deadline.
    bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit);

    // Waits for the child to end; its exit status (or 128 + signal), or nullopt at
    // the deadline.
    std::optional<int> wait_exit(std::chrono::milliseconds limit);
    bool running();

    void send_signal(int sig);

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::optional<int> status_;
    std::string out_;
    std::string err_;
};

// Path of a built program, from the environment variable that CMake sets for tests.
std::string program_path(const char* env_name);

}  // namespace kelbos::testing
