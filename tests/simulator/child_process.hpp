// The simulator and the examples as child processes of a test: started
// with posix_spawn, standard input and output (and, if asked, standard error)
// on pipes.
#pragma once

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

extern char **environ;

struct Child {
    pid_t pid = -1;
    int in = -1;   // its standard input, when piped
    int out = -1;  // its standard output, when piped
};

inline Child spawn(const std::vector<std::string> &args, bool pipe_stdio, bool merge_stderr = false) {
    Child c;
    int to[2] = {-1, -1}, from[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe_stdio) {
        EXPECT_EQ(::pipe(to), 0);
        EXPECT_EQ(::pipe(from), 0);
        posix_spawn_file_actions_adddup2(&actions, to[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from[1], 1);
        if (merge_stderr) {
            posix_spawn_file_actions_adddup2(&actions, from[1], 2);
        }
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

inline int exit_status(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads up to a newline, or to the end with `whole`; gives up after 20 s of
// silence.
inline std::string read_from(int fd, bool whole) {
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

inline void write_all(int fd, const std::string &s) {
    ASSERT_EQ(::write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}
