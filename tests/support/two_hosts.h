// SPDX-License-Identifier: Apache-2.0
// Two hosts on one machine: A is this process's network namespace, B a second one held
// by a child, joined by a veth pair; each may have its own hosts file, bound over
// /etc/hosts in a private mount namespace. B and the pair go with the object.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace kelbos::testing {

enum class Host { a, b };

class TwoHosts {
public:
    static constexpr const char* ADDRESS_A = "192.0.2.1";
    static constexpr const char* ADDRESS_B = "192.0.2.2";

    // Pair 0 joins host A to host B at ADDRESS_A and ADDRESS_B; pairs 1 and 2 are further
    // hosts B, each on a network of its own (address_a() and address_b()), so that
    // three can be joined to host A at once.
    explicit TwoHosts(int pair = 0);
    ~TwoHosts();
    TwoHosts(const TwoHosts&) = delete;
    TwoHosts& operator=(const TwoHosts&) = delete;

    static constexpr const char* ADDRESS6_A = "2001:db8::1";
    static constexpr const char* ADDRESS6_B = "2001:db8::2";

    // Makes host B and joins the hosts by a veth pair, ADDRESS_A and ADDRESS_B on one
    // /24 (with `ipv6_only`: ADDRESS6_A and ADDRESS6_B on one /64 and no IPv4), with
    // frames of up to `mtu` bytes. Returns an empty string on success, else what failed.
    std::string join(int mtu, bool ipv6_only = false);
    // Limits what each end of the pair sends to `rate` (tc's notation: "50mbit").
    std::string shape(const std::string& rate);
    // Brings the host's end of the veth pair down (the host drops off the network)
    // or up again. Returns an empty string on success, else what failed.
    std::string set_link(Host host, bool up);
    // Gives `host` a hosts file holding `lines`, and checks that a program can be
    // started with it.
    std::string set_hosts(Host host, const std::string& lines);

    // The command line (program first) that runs `program` with `args` on `host`,
    // reading the host's hosts file as /etc/hosts. The program keeps the process id
    // of the command: signals sent to it reach the program.
    std::vector<std::string> command(Host host, const std::string& program,
                                     const std::vector<std::string>& args) const;

    // This pair's IPv4 addresses (ADDRESS_A and ADDRESS_B for pair 0).
    std::string address_a() const;
    std::string address_b() const;

    std::string end(Host host) const;
    // Runs a command line on `host`, as run_command does.
    std::string run_on(Host host, std::vector<std::string> line) const;

private:
    std::string net_of_b() const;

    int pair_;

    std::unique_ptr<ChildProcess> holder_;  // lives in host B's namespace
    std::string dir_;                       // the hosts files
};

// Runs a command line to its end: "" when it exits 0, else the command and what it said.
std::string run_command(const std::vector<std::string>& command);

// A program's full path from PATH and the system folders, else the name itself.
std::string find_program(const std::string& name);

// Starts a command line made by TwoHosts::command.
std::unique_ptr<ChildProcess> start_command(const std::vector<std::string>& command,
                                            const std::string& workdir = {});

}  // namespace kelbos::testing
