// A private sshd on 127.0.0.1 for tests that go through a real ssh: its own host key, client key
// and authorized keys in a scratch folder, a free port, and only the server it started is ended.
// Where sshd or ssh-keygen is missing, available() is false and why_not() says so.
#pragma once

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/receiver_run.h"

namespace pushfile_test {

class ssh_lab {
public:
    ssh_lab() {
        const fs::path sshd = "/usr/sbin/sshd";
        if (!fs::exists(sshd) || std::system("command -v ssh-keygen >/dev/null 2>&1") != 0) {
            why_not_ = "no sshd or ssh-keygen here (Debian: openssh-server)";
            return;
        }
        const std::string keygen = "ssh-keygen -q -t ed25519 -N '' -f ";
        if (std::system((keygen + "'" + key("host") + "'").c_str()) != 0 ||
            std::system((keygen + "'" + key("user") + "'").c_str()) != 0) {
            why_not_ = "ssh-keygen failed";
            return;
        }
        fs::copy_file(key("user") + ".pub", dir_.path / "authorized_keys");
        const int port = free_port();
        const passwd* user = getpwuid(getuid());
        if (port <= 0 || user == nullptr) {
            why_not_ = "no free port or no user name";
            return;
        }
        // Privilege separation wants its empty folder when the server runs as root.
        if (getuid() == 0) fs::create_directories("/run/sshd");
        write_file(dir_.path / "sshd_config",
                   "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\nHostKey " + key("host") +
                       "\nAuthorizedKeysFile " + (dir_.path / "authorized_keys").string() +
                       "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                       "PermitRootLogin yes\nPidFile none\nLogLevel ERROR\n");
        write_file(config(), "Host lab\n  HostName 127.0.0.1\n  Port " + std::to_string(port) + "\n  User " +
                                 user->pw_name + "\n  IdentityFile " + key("user") +
                                 "\n  StrictHostKeyChecking no\n  UserKnownHostsFile /dev/null\n  LogLevel ERROR\n"
                                 "  BatchMode yes\n");
        const std::string log = dir_.path / "sshd.log";
        server_ = fork();
        if (server_ == 0) {
            execl(sshd.c_str(), sshd.c_str(), "-D", "-E", log.c_str(), "-f", (dir_.path / "sshd_config").c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        if (server_ < 0 || !accepts(port)) {
            why_not_ = "sshd did not start: " + read_file(log);
            return;
        }
        available_ = true;
    }

    ~ssh_lab() {
        if (server_ > 0) {
            kill(server_, SIGTERM);
            waitpid(server_, nullptr, 0);
        }
    }
    ssh_lab(const ssh_lab&) = delete;
    ssh_lab& operator=(const ssh_lab&) = delete;

    bool available() const { return available_; }
    const std::string& why_not() const { return why_not_; }
    // ssh to the lab, with a terminal on the remote side (-t) or without one (-T), and the words of
    // the remote command after it.
    std::vector<std::string> ssh(bool terminal) const {
        return {"ssh", "-F", config(), terminal ? "-t" : "-T", "lab"};
    }

private:
    std::string key(const char* name) const { return dir_.path / (std::string(name) + "_key"); }
    std::string config() const { return dir_.path / "ssh_config"; }

    static int free_port() {
        const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int port = -1;
        if (probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
        if (probe >= 0) close(probe);
        return port;
    }

    static bool accepts(int port) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            const bool connected = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(client);
            if (connected) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    scratch_dir dir_;
    pid_t server_ = -1;
    bool available_ = false;
    std::string why_not_;
};

}  // namespace pushfile_test
