#include "platform/shell_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/paths.h"

namespace {

// Runs the opener in a grandchild, so that nobody has to reap it later. The
// close-on-exec pipe tells whether exec succeeded: it closes without data,
// or carries the result of what failed.
OpenResult start_detached(const char* program, const char* file, const char* parameters,
                   const char* directory) {
    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0) return OpenResult::no_handler;
    pid_t child = fork();
    if (child < 0) {
        close(status_pipe[0]);
        close(status_pipe[1]);
        return OpenResult::no_handler;
    }
    if (child == 0) {
        if (fork() != 0) _exit(0);
        auto fail = [&](OpenResult result) {
            ssize_t ignored = write(status_pipe[1], &result, sizeof result);
            (void)ignored;
            _exit(127);
        };
        setsid();
        // The station blocks its stop signals to read them on its event loop;
        // the opened program must not inherit that.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (directory && *directory && chdir(directory) != 0) fail(OpenResult::path_not_found);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, STDIN_FILENO);
            dup2(devnull, STDOUT_FILENO);
        }
        const char* argv[] = {program, file, (parameters && *parameters) ? parameters : nullptr,
                              nullptr};
        execvp(program, const_cast<char* const*>(argv));
        fail(OpenResult::no_handler);
    }
    close(status_pipe[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    OpenResult failure = OpenResult::no_handler;
    ssize_t got;
    while ((got = read(status_pipe[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    close(status_pipe[0]);
    if (got == 0) return OpenResult::started;
    return got == sizeof failure ? failure : OpenResult::no_handler;
}

}  // namespace

const char* shell_opener() {
    const char* opener = getenv("VELMORA_OPENER");
    return opener && *opener ? opener : "xdg-open";
}

OpenResult shell_open_file(const char* verb, const char* file, const char* parameters,
                    const char* directory) {
    if (!file || !*file || (verb && strcmp(verb, "open") != 0)) return OpenResult::no_handler;
    if (!strstr(file, "://")) {
        std::string path = file;
        if (directory && *directory && file[0] != '/') path = std::string(directory) + "/" + file;
        struct stat info;
        if (stat(path.c_str(), &info) != 0) {
            std::string dir = directory_of(path);
            bool dir_missing = !dir.empty() && stat(dir.c_str(), &info) != 0;
            return dir_missing ? OpenResult::path_not_found : OpenResult::file_not_found;
        }
    }
    return start_detached(shell_opener(), file, parameters, directory);
}
