// A child process whose standard input and output are pipes held by the test, and a shell command
// run to its end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace mcp::testing {

class ChildProcess {
public:
    // `path` names the program; one without a slash is looked up on PATH.
    explicit ChildProcess(const std::string& path, std::vector<std::string> arguments = {}) {
        int toChild[2];
        int fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
            throw std::runtime_error("Could not make the pipes.");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const int status =
            ::posix_spawnp(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        input_ = toChild[1];
        output_ = fromChild[0];
        if (status != 0) {
            pid_ = -1;
            ::close(input_);
            ::close(output_);
            throw std::runtime_error("Could not start " + path + ".");
        }
    }

    ~ChildProcess() {
        closeInput();
        if (output_ != -1) {
            ::close(output_);
        }
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }

    void writeLine(const std::string& line) {
        std::string bytes = line + "\n";
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(input_, bytes.data() + written, bytes.size() - written);
            if (n <= 0) {
                throw std::runtime_error("Could not write to the child.");
            }
            written += static_cast<std::size_t>(n);
        }
    }

    // The next line the child wrote, or nothing when none came within `timeout`.
    std::optional<std::string> readLine(
        std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            if (auto end = buffer_.find('\n'); end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            pollfd descriptor{output_, POLLIN, 0};
            if (::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::read(output_, chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The descriptors the test writes to and reads from; owned by this object.
    int inputDescriptor() const noexcept { return input_; }
    int outputDescriptor() const noexcept { return output_; }

    // Sends `signal` to the child.
    void kill(int signal) {
        if (pid_ > 0) {
            ::kill(pid_, signal);
        }
    }

    void closeInput() {
        if (input_ != -1) {
            ::close(input_);
            input_ = -1;
        }
    }

    // Waits for the child to end; its exit status, or -1 when it did not end within `timeout`.
    int waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(10000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
};

// Runs a shell command; its standard output and exit status.
inline std::pair<std::string, int> shell(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {"", -1};
    }
    char chunk[4096];
    while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) {
        output.append(chunk, n);
    }
    const int status = ::pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace mcp::testing
