// SPDX-License-Identifier: Apache-2.0
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace kelbos::testing {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& workdir, const std::map<std::string, std::string>& env) {
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return;
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return;
    }
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        const int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        if (!workdir.empty() && ::chdir(workdir.c_str()) != 0) ::_exit(126);
        for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int st;
        ::waitpid(pid_, &st, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
}

void ChildProcess::poll_output() {
    char buf[65536];
    for (auto [fd, text] : {std::pair{out_fd_, &out_}, std::pair{err_fd_, &err_}}) {
        if (fd < 0) continue;
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            text->append(buf, static_cast<std::size_t>(n));
        }
    }
}

std::vector<std::string> ChildProcess::out_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out_);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    if (!out_.empty() && out_.back() != '\n' && !lines.empty()) lines.pop_back();  // incomplete
    return lines;
}

bool ChildProcess::wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        poll_output();
        if (done()) return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        ::poll(p, 2, static_cast<int>(std::min<long long>(left.count(), 20)));
    }
}

bool ChildProcess::running() {
    if (pid_ <= 0 || status_) return false;
    int st;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds limit) {
    wait_for([&] { return !running(); }, limit);
    poll_output();
    return status_;
}

void ChildProcess::send_signal(int sig) {
    if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

std::string program_path(const char* env_name) {
    const char* p = std::getenv(env_name);
    return p ? p : "";
}

}  // namespace kelbos::testing
