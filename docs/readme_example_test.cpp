// Runs the README's C example against a simulated Vasq9 in a private folder and
// checks that it connects, runs its BP simulation to the end and exits 0.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "SimDevice.h"

extern char** environ;

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: readme_example_test EXAMPLE\n");
        return 2;
    }
    char folderTemplate[] = "/tmp/vasq-readme-XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (folder == nullptr)
        return 1;
    int result = 1;
    {
        vasqsim::SimDevice device(folder, 0);
        const std::string output = std::string(folder) + "/output.txt";
        setenv("VASQ_EXAMPLE_FOLDER", folder, 1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t child = -1;
        char* childArgv[] = {argv[1], nullptr};
        if (posix_spawn(&child, argv[1], &actions, nullptr, childArgv, environ) != 0) {
            fprintf(stderr, "cannot start %s\n", argv[1]);
        } else {
            int status = 0;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            pid_t done = 0;
            while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (done == 0) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                fprintf(stderr, "the example did not end within 30 s\n");
            }
            std::string text;
            if (FILE* file = fopen(output.c_str(), "r")) {
                char line[256];
                while (fgets(line, sizeof(line), file) != nullptr)
                    text += line;
                fclose(file);
            }
            printf("%s", text.c_str());
            const bool exited = done == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (!exited)
                fprintf(stderr, "the example failed (wait status %d)\n", status);
            else if (text.find("connected to ") == std::string::npos || text.find("completed:") == std::string::npos)
                fprintf(stderr, "the example's output lacks the connection or the results\n");
            else
                result = 0;
        }
        posix_spawn_file_actions_destroy(&actions);
        unlink(output.c_str());
    }
    unlink((std::string(folder) + "/kestrova.ACM0.lock").c_str());
    rmdir(folder);
    return result;
}
