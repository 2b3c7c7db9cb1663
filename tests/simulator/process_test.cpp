// The programs as a user runs them: vq6120-sim on a free port, driven by
// operator commands on its standard input, and the dashboard example as the
// host.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

struct Child {
    pid_t pid = -1;
    int in = -1;   // its standard input, when piped
    int out = -1;  // its standard output, when piped
};

Child spawn(const std::vector<std::string> &args, bool pipe_stdio) {
    Child c;
    int to[2] = {-1, -1}, from[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe_stdio) {
        EXPECT_EQ(::pipe(to), 0);
        EXPECT_EQ(::pipe(from), 0);
        posix_spawn_file_actions_adddup2(&actions, to[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from[1], 1);
        for (const int fd : {to[0], to[1], from[0], from[1]}) {
            posix_spawn_file_actions_addclose(&actions, fd);
        }
    }
    std::vector<char *> argv;
    for (const auto &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&c.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_stdio) {
        ::close(to[0]);
        ::close(from[1]);
        c.in = to[1];
        c.out = from[0];
    }
    return c;
}

int exit_status(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads up to a newline, or to the end with `whole`; gives up after 20 s of
// silence.
std::string read_from(int fd, bool whole) {
    std::string s;
    char c;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) != 1 || ::read(fd, &c, 1) != 1) {
            return s;
        }
        if (!whole && c == '\n') {
            return s;
        }
        s += c;
    }
}

void write_all(int fd, const std::string &s) {
    ASSERT_EQ(::write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

TEST(Programs, DashboardAgainstTheSimulator) {
    const auto png = std::filesystem::temp_directory_path() / ("vq6120-sim-test-" + std::to_string(::getpid()) + ".png");
    Child sim = spawn({VQ6120_SIM_PATH, "--port", "0", "--snapshot-on-exit", png.string()}, true);
    const std::string first = read_from(sim.out, false);
    ASSERT_EQ(first.rfind("listening on 127.0.0.1:", 0), 0u) << first;
    const std::string port = first.substr(first.rfind(':') + 1);

    write_all(sim.in, "wait connect\nkey 7\ndi 0 1\nserial 1 \"abc\"\nwait disconnect\ndump\nquit\n");
    Child dashboard = spawn({VQ6120_DASHBOARD_PATH, "127.0.0.1", port, "1"}, false);
    EXPECT_EQ(exit_status(dashboard.pid), 0);

    const std::string dump = read_from(sim.out, true);
    EXPECT_EQ(exit_status(sim.pid), 0);
    ::close(sim.in);
    ::close(sim.out);
    EXPECT_NE(dump.find("|LINE 3 MIXER"), std::string::npos) << dump;
    EXPECT_NE(dump.find("|key 7"), std::string::npos);
    EXPECT_NE(dump.find("|inputs 0 1"), std::string::npos);
    EXPECT_NE(dump.find("|com1 abc"), std::string::npos);
    EXPECT_NE(dump.find("|KEY 7 PRESSED"), std::string::npos);
    EXPECT_NE(dump.find("digital inputs 0 1\n"), std::string::npos);
    EXPECT_NE(dump.find("digital outputs 1 1\n"), std::string::npos);  // one key toggles the second output on
    EXPECT_NE(dump.find("serial 1 9600 8N1 no-flow opt 0"), std::string::npos);
    EXPECT_NE(dump.find("backlight on\n"), std::string::npos);

    // The picture on exit: a PNG as wide as the graphic screen drawn three
    // times over, with bezels and margins (16 + 6 + 240 * 3 + 6 + 16 = 764).
    std::ifstream in(png, std::ios::binary);
    std::vector<unsigned char> head(24);
    in.read(reinterpret_cast<char *>(head.data()), 24);
    ASSERT_EQ(in.gcount(), 24);
    const unsigned char signature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    EXPECT_TRUE(std::equal(signature, signature + 8, head.begin()));
    EXPECT_EQ((head[16] << 24) | (head[17] << 16) | (head[18] << 8) | head[19], 764);
    std::filesystem::remove(png);
}

TEST(Programs, DashboardExitsWithAnErrorWhenNoTerminalListens) {
    // A bound socket that does not listen: connecting to its port is refused.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    Child dashboard = spawn({VQ6120_DASHBOARD_PATH, "127.0.0.1", std::to_string(ntohs(addr.sin_port)), "1"}, false);
    EXPECT_EQ(exit_status(dashboard.pid), 1);
    ::close(fd);
}

TEST(Programs, SimulatorRefusesABadAddress) {
    Child sim = spawn({VQ6120_SIM_PATH, "--address", "not-an-address", "--port", "0", "--no-stdin"}, true);
    EXPECT_EQ(exit_status(sim.pid), 1);
    ::close(sim.in);
    ::close(sim.out);
}

}  // namespace
