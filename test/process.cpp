// fork and exec with the plumbing each kind of run needs, and a poll loop that gathers
// what the program writes.
#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto run_limit = 30s; // a full run takes about five seconds

[[noreturn]] void exec_child(const std::vector<std::string>& argv)
{
    // A SIGQUIT test must not leave a core file behind, and SIGPIPE must reach the
    // program at its default, whatever the test runner set.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    std::signal(SIGPIPE, SIG_DFL);

    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

int wait_with_limit(pid_t pid, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return status;
}

std::string temporary_file()
{
    char path[] = "/tmp/lowlevel-demo-run-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        throw std::runtime_error("cannot create a temporary file");
    }
    close(fd);
    return path;
}

void redirect(const std::string& path, int target, int flags)
{
    const int fd = open(path.c_str(), flags);
    dup2(fd, target);
    close(fd);
}

// Appends whatever `fd` has ready (it is non-blocking).
void drain(int fd, std::string& into)
{
    char buffer[4096];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) {
        into.append(buffer, static_cast<std::size_t>(count));
    }
}

} // namespace

program_result run_detached(const std::vector<std::string>& argv,
                            const std::vector<std::string>& environment, output_to output)
{
    const std::string out_path = temporary_file();
    const std::string err_path = temporary_file();
    int readerless[2] = {-1, -1}; // a pipe that never has a reader, for gone_reader
    if (pipe(readerless) != 0) {
        throw std::runtime_error("cannot make a pipe");
    }
    close(readerless[0]);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        redirect("/dev/null", STDIN_FILENO, O_RDONLY);
        redirect(err_path, STDERR_FILENO, O_WRONLY | O_TRUNC);
        if (output == output_to::gone_reader) {
            dup2(readerless[1], STDOUT_FILENO);
        } else if (output == output_to::nowhere) {
            close(STDOUT_FILENO);
        } else {
            redirect(output == output_to::file ? out_path : "/dev/full", STDOUT_FILENO,
                     O_WRONLY | O_TRUNC);
        }
        close(readerless[1]);
        for (const std::string& entry : environment) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        exec_child(argv);
    }
    close(readerless[1]);
    program_result result;
    result.status = wait_with_limit(pid, run_limit);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return result;
}

terminal_run::terminal_run(const std::vector<std::string>& argv, bool output_to_terminal,
                           const std::vector<int>& ignored_signals, bool controlling)
{
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    tcgetattr(slave_, &settings_at_start);
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        throw std::runtime_error("cannot make pipes");
    }
    pid = fork();
    if (pid == 0) {
        setsid();
        if (controlling) {
            ioctl(slave_, TIOCSCTTY, 0);
        }
        dup2(slave_, STDIN_FILENO);
        dup2(output_to_terminal ? slave_ : out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        for (const int fd : {master_, slave_, out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
            close(fd);
        }
        for (const int signal_number : ignored_signals) {
            std::signal(signal_number, SIG_IGN);
        }
        exec_child(argv);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_ = out_pipe[0];
    err_ = err_pipe[0];
    for (const int fd : {master_, out_, err_}) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
}

terminal_run::~terminal_run()
{
    if (status == -1 && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (const int fd : {master_, slave_, out_, err_}) {
        close(fd);
    }
}

bool terminal_run::read_until(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) {
            return false;
        }
        const short typing = typed_.empty() ? 0 : POLLOUT;
        pollfd fds[] = {{master_, short(POLLIN | typing), 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
        poll(fds, std::size(fds), static_cast<int>(std::min(left, 20ms).count()));
        type_what_fits();
        drain(master_, screen);
        drain(out_, out);
        drain(err_, err);
    }
    return true;
}

bool terminal_run::read_until_output_has(std::string_view text, std::chrono::milliseconds limit)
{
    return read_until([&] { return (out + screen).find(text) != std::string::npos; }, limit);
}

void terminal_run::type(std::string_view keys)
{
    typed_ += keys;
    type_what_fits();
}

void terminal_run::type_what_fits()
{
    const ssize_t count = typed_.empty() ? 0 : write(master_, typed_.data(), typed_.size());
    if (count < 0 && errno != EAGAIN) {
        throw std::runtime_error("cannot type at the terminal");
    }
    typed_.erase(0, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
}

int terminal_run::wait_for_exit(std::chrono::milliseconds limit)
{
    read_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
        return -1;
    }
    // Whatever the program wrote just before it ended.
    read_until([] { return false; }, 50ms);
    return status;
}

termios terminal_run::settings() const
{
    termios now{};
    tcgetattr(slave_, &now);
    return now;
}

int terminal_run::unread_input() const
{
    int count = 0;
    ioctl(slave_, FIONREAD, &count);
    return count;
}

pid_t terminal_run::foreground() const
{
    return tcgetpgrp(master_);
}

void terminal_run::make_input_non_blocking()
{
    fcntl(slave_, F_SETFL, fcntl(slave_, F_GETFL) | O_NONBLOCK); // the program's stdin too
}

std::string as_on_terminal(std::string_view text)
{
    std::string shown;
    for (const char c : text) {
        if (c == '\n') {
            shown += '\r';
        }
        shown += c;
    }
    return shown;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
