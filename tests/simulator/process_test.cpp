// The programs as a user runs them: vq6120-sim on a free port, driven by
// operator commands on its standard input, and the dashboard example as the
// host.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.hpp"

namespace {

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

// What a new user runs into first: each line of options or script, the exit
// status it gives and what the output must say.
TEST(Programs, SimulatorOptionsScriptsAndExitStatuses) {
    const auto dir = std::filesystem::temp_directory_path();
    const std::string tag = std::to_string(::getpid());
    const auto text_snapshot = dir / ("vq6120-sim-snapshot-" + tag + ".txt");
    struct Case {
        std::vector<std::string> args;
        std::string script;  // written to a file and passed with --script when not empty
        int status;
        std::string output;  // expected in standard output and error
    };
    const Case cases[] = {
        {{"--version"}, "", 0, "vq6120-sim 1."},
        {{"--help"}, "", 0, "Exit status:\n  0  stopped by quit"},
        // Every bad option: status 2 and a line that names the program and
        // the option, in the user's terms.
        {{"--bogus"}, "", 2, "vq6120-sim: The following argument was not expected: --bogus"},
        {{"--terminals", "0"}, "", 2, "vq6120-sim: --terminals"},
        {{"--port", "70000"}, "", 2, "vq6120-sim: --port: a port is a number 0..65535, not 70000"},
        {{"--port", "-1"}, "", 2, "vq6120-sim: --port: a port is a number 0..65535, not -1"},
        {{"--port", "http"}, "", 2, "vq6120-sim: --port: a port is a number 0..65535, not http"},
        {{"--terminals", "3", "--port", "65534"}, "", 2, "vq6120-sim: --terminals 3 from --port 65534 needs ports up to 65536"},
        {{"--snapshot-on-exit", "out.jpg"}, "", 2, "vq6120-sim: --snapshot-on-exit: the file name must end in .png"},
        {{"--script", "/nonexistent/script.txt"}, "", 2, "vq6120-sim: --script: File does not exist"},
        {{"--http", "localhost"}, "", 2, "vq6120-sim: "},
        {{"--terminals", "2", "--port", "65534"}, "quit\n", 0, "ports: 65534-65535"},
        // The script runs from the start: no host, no input, and it ends.
        {{}, "quit\n", 0, "listening on"},
        {{}, "wait 100ms\nquit\n", 0, "listening on"},
        {{}, "help\nsnapshot " + text_snapshot.string() + "\nquit\n", 0, "wait connect"},
        {{}, "# comment\n\nkey 300\n", 2, ":3: error: key takes one code"},
        {{"--terminals", "2"}, "on 5 key 1\n", 2, ":1: error: no terminal 5"},
        {{"--terminals", "2"}, "status\nquit\n", 0, "farm: 2 terminals, 0 connected"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {VQ6120_SIM_PATH, "--no-stdin"};
        if (std::find(c.args.begin(), c.args.end(), "--port") == c.args.end()) {
            args.insert(args.end(), {"--port", "0"});
        }
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto script = dir / ("vq6120-sim-script-" + tag + ".txt");
        if (!c.script.empty()) {
            std::ofstream(script) << c.script;
            args.insert(args.end(), {"--script", script.string()});
        }
        Child sim = spawn(args, true, true);
        const std::string output = read_from(sim.out, true);
        EXPECT_EQ(exit_status(sim.pid), c.status) << c.script << output;
        EXPECT_NE(output.find(c.output), std::string::npos) << c.script << output;
        EXPECT_EQ(output.find("Could not convert"), std::string::npos) << output;
        ::close(sim.in);
        ::close(sim.out);
        std::filesystem::remove(script);
    }
    // snapshot FILE.txt writes the text dump.
    std::ifstream dump(text_snapshot);
    std::string first;
    std::getline(dump, first);
    EXPECT_EQ(first, "graphic screen 240x64");
    std::filesystem::remove(text_snapshot);
}

}  // namespace
