// SPDX-License-Identifier: Apache-2.0
#include "two_hosts.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kelbos::testing {

namespace {

using namespace std::chrono_literals;

// Each pair's IPv4 network, a /24 of the documentation ranges.
constexpr const char* PAIR_NETWORKS[] = {"192.0.2.", "198.51.100.", "203.0.113."};

std::string namespace_link(const std::string& proc_entry) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(proc_entry, ec);
    return ec ? std::string() : target.string();
}

std::string joined(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& w : words) line += (line.empty() ? "" : " ") + w;
    return line;
}

}  // namespace

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    std::string folders = "/usr/sbin:/sbin:/usr/bin:/bin";
    if (const char* path = std::getenv("PATH")) folders = std::string(path) + ":" + folders;
    std::istringstream in(folders);
    std::string folder;
    while (std::getline(in, folder, ':')) {
        if (folder.empty()) continue;
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

std::unique_ptr<ChildProcess> start_command(const std::vector<std::string>& command,
                                            const std::string& workdir) {
    return std::make_unique<ChildProcess>(
        find_program(command.at(0)), std::vector<std::string>(command.begin() + 1, command.end()), workdir);
}

std::string run_command(const std::vector<std::string>& command) {
    const auto child = start_command(command);
    const auto status = child->wait_exit(30s);
    if (status && *status == 0) return {};
    return joined(command) + ": " + (status ? "exit " + std::to_string(*status) : "did not end") + " " +
           child->err();
}

TwoHosts::TwoHosts(int pair) : pair_(pair < 0 || pair > 2 ? 0 : pair) {}

std::string TwoHosts::address_a() const {
    return std::string(PAIR_NETWORKS[pair_]) + "1";
}

std::string TwoHosts::address_b() const {
    return std::string(PAIR_NETWORKS[pair_]) + "2";
}

std::string TwoHosts::end(Host host) const {
    return std::string(host == Host::a ? "kelbos-a" : "kelbos-b") + (pair_ ? std::to_string(pair_) : "");
}

TwoHosts::~TwoHosts() {
    holder_.reset();  // the namespace's last process: it goes, and the veth pair with it
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string TwoHosts::net_of_b() const {
    return "/proc/" + std::to_string(holder_->pid()) + "/ns/net";
}

std::string TwoHosts::join(int mtu, bool ipv6_only) {
    // The holder ends by itself soon after this process, however that ends.
    const std::string watch_parent =
        "while kill -0 " + std::to_string(::getpid()) + " 2>/dev/null; do sleep 1; done";
    holder_ = std::make_unique<ChildProcess>(
        find_program("unshare"), std::vector<std::string>{"--net", "/bin/sh", "-c", watch_parent});
    const std::string own = namespace_link("/proc/self/ns/net");
    // The holder is in a namespace of its own once its link differs from ours.
    const bool moved = holder_->wait_for(
        [&] {
            if (!holder_->running()) return true;
            const std::string link = namespace_link(net_of_b());
            return !link.empty() && link != own;
        },
        10s);
    if (!moved || !holder_->running()) {
        holder_->wait_exit(1s);
        return "unshare --net: " + holder_->err();
    }

    if (std::string why = run_command({"ip", "link", "add", end(Host::a), "type", "veth", "peer", "name",
                                       end(Host::b), "netns", std::to_string(holder_->pid())});
        !why.empty())
        return why;
    for (Host host : {Host::a, Host::b}) {
        const bool a = host == Host::a;
        const std::string ip = ipv6_only ? std::string(a ? ADDRESS6_A : ADDRESS6_B) + "/64"
                                         : (a ? address_a() : address_b()) + "/24";
        std::vector<std::string> address = {"ip", "address", "add", ip, "dev", end(host)};
        // IPv6 addresses are usable at once: no duplicate address detection on a pair.
        if (ipv6_only) address.push_back("nodad");
        for (const std::vector<std::string>& step :
             {address,
              {"ip", "link", "set", "lo", "up"},
              {"ip", "link", "set", end(host), "mtu", std::to_string(mtu), "up"}})
            if (std::string why = run_on(host, step); !why.empty()) return why;
    }
    return {};
}

std::string TwoHosts::shape(const std::string& rate) {
    // A token bucket on each sending end. Its queue holds far more than the links'
    // windows, so a sender that keeps up loses nothing to the shaper.
    for (Host host : {Host::a, Host::b})
        if (std::string why = run_on(host, {"tc", "qdisc", "add", "dev", end(host), "root", "tbf", "rate",
                                            rate, "burst", "64kb", "latency", "100ms"});
            !why.empty())
            return why;
    return {};
}

std::string TwoHosts::set_link(Host host, bool up) {
    return run_on(host, {"ip", "link", "set", end(host), up ? "up" : "down"});
}

std::string TwoHosts::run_on(Host host, std::vector<std::string> line) const {
    if (host == Host::b) line.insert(line.begin(), {"nsenter", "--net=" + net_of_b()});
    return run_command(line);
}

std::string TwoHosts::set_hosts(Host host, const std::string& lines) {
    if (dir_.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelbos-hosts-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) return "mkdtemp " + pattern;
        dir_ = pattern;
    }
    {
        std::ofstream file(dir_ + (host == Host::a ? "/hosts-a" : "/hosts-b"), std::ios::trunc);
        file << lines;
        if (!file) return "cannot write a hosts file in " + dir_;
    }
    return run_command(command(host, "/bin/true", {}));
}

std::vector<std::string> TwoHosts::command(Host host, const std::string& program,
                                           const std::vector<std::string>& args) const {
    std::vector<std::string> line;
    if (host == Host::b) line = {find_program("nsenter"), "--net=" + net_of_b()};
    // A new mount namespace without propagation (unshare's default), so the bind
    // mount is seen by this program alone.
    const std::vector<std::string> own_hosts = {find_program("unshare"),
                                                "--mount",
                                                "/bin/sh",
                                                "-c",
                                                "mount --bind \"$0\" /etc/hosts && exec \"$@\"",
                                                dir_ + (host == Host::a ? "/hosts-a" : "/hosts-b"),
                                                program};
    line.insert(line.end(), own_hosts.begin(), own_hosts.end());
    line.insert(line.end(), args.begin(), args.end());
    return line;
}

}  // namespace kelbos::testing
