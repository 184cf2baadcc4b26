#include "ProcessRunner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <regex>
#include <stdexcept>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lumo::test {

ProcessRunner::ProcessRunner(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& env)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> argvStore{program};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    // A given entry replaces an inherited one of the same name: getenv finds
    // the first.
    const auto sameName = [](const std::string& a, const std::string& b) {
        const auto nameEnd = a.find('=');
        return nameEnd != std::string::npos && b.compare(0, nameEnd + 1, a, 0, nameEnd + 1) == 0;
    };
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string inherited(*e);
        if (std::none_of(env.begin(), env.end(),
                         [&](const std::string& given) { return sameName(given, inherited); })) {
            envStore.push_back(inherited);
        }
    }
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStore) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        // The test process may block or ignore signals; the child starts clean.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        // Dies with the test: a child left running would keep a test
        // network namespace (and its interfaces) alive.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] { ReadOutput(fd); });
}

ProcessRunner::~ProcessRunner()
{
    if (!status_) {
        kill(pid_, SIGKILL);
        int raw = 0;
        waitpid(pid_, &raw, 0);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

void ProcessRunner::Signal(int signal) const
{
    kill(pid_, signal);
}

void ProcessRunner::ReadOutput(int fd)
{
    char buffer[4096];
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::lock_guard lock(mutex_);
        partial_.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t eol; (eol = partial_.find('\n', start)) != std::string::npos; start = eol + 1) {
            lines_.push_back(partial_.substr(start, eol - start));
        }
        partial_.erase(0, start);
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard lock(mutex_);
    if (!partial_.empty()) {
        lines_.push_back(partial_);
        partial_.clear();
    }
    closed_ = true;
    changed_.notify_all();
}

bool ProcessRunner::WaitForLine(const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    size_t checked = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        for (; checked < lines_.size(); ++checked) {
            if (match(lines_[checked])) {
                return true;
            }
        }
        if (closed_) {
            return false;
        }
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && checked == lines_.size()) {
            return false;
        }
    }
}

bool ProcessRunner::WaitForText(const std::string& text, std::chrono::milliseconds timeout)
{
    return WaitForLine([&text](const std::string& line) { return line.find(text) != std::string::npos; }, timeout);
}

std::optional<int> ProcessRunner::Wait(std::chrono::milliseconds timeout)
{
    if (status_) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int raw = 0;
    while (true) {
        const pid_t done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &raw, 0);
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
            if (reader_.joinable()) {
                reader_.join();
            }
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
    if (reader_.joinable()) {
        reader_.join();
    }
    return status_;
}

std::vector<std::string> ProcessRunner::Lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> ProcessRunner::Messages() const
{
    std::vector<std::string> result;
    for (const auto& line : Lines()) {
        result.push_back(WithoutTimestamp(line));
    }
    return result;
}

std::string ProcessRunner::Output() const
{
    std::string all;
    for (const auto& line : Lines()) {
        all += line;
        all += '\n';
    }
    return all;
}

std::string WithoutTimestamp(const std::string& line)
{
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )");
    std::smatch m;
    if (std::regex_search(line, m, stamp)) {
        return line.substr(static_cast<size_t>(m.length(0)));
    }
    return line;
}

} // namespace lumo::test
