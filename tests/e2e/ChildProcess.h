#pragma once

// A helper program in a process of its own, its standard input and output on
// pipes; optionally one more descriptor of the test handed to it.
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace e2e {

struct ChildProcess {
    ChildProcess(const char* program, const std::vector<std::string>& args, int extraFd = -1, int extraTarget = -1)
    {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0)
            return;
        if (pipe2(fromChild, O_CLOEXEC) != 0) {
            close(toChild[0]);
            close(toChild[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
        if (extraFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, extraFd, extraTarget);
        std::vector<char*> argv{const_cast<char*>(program)};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(toChild[0]);
        close(fromChild[1]);
        input = toChild[1];
        output = fromChild[0];
    }
    // The next line the child prints; the read ends at its newline or when it
    // exits (the child's own time limits are the deadline).
    std::string ReadLine() const
    {
        std::string line;
        char c;
        while (read(output, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }

    pid_t pid = -1;
    int input = -1;
    int output = -1;
};

}  // namespace e2e
