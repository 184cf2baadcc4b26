#include "TmuxSession.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace lumo::test {

namespace {

std::string Run(const std::string& command)
{
    std::string output;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run: " + command);
    }
    std::array<char, 4096> buffer{};
    size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        output.append(buffer.data(), n);
    }
    ::pclose(pipe);
    return output;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(std::move(line));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return lines;
}

} // namespace

std::string ShellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

bool TmuxSession::Available()
{
    return std::system("command -v tmux >/dev/null 2>&1") == 0;
}

TmuxSession::TmuxSession(const std::string& command, int columns, int lines)
{
    static std::atomic<int> sessions{0};
    socket_ = "lumo-test-" + std::to_string(::getpid()) + "-" + std::to_string(sessions++);
    // No user configuration; history enough for every line of a run. The
    // limit is set before the pane exists: a pane keeps the limit it was
    // made with.
    Tmux("-f /dev/null start-server \\; set-option -g history-limit 100000 \\; new-session -d -x " +
         std::to_string(columns) + " -y " + std::to_string(lines) + " -s test " + ShellQuote(command));
}

TmuxSession::~TmuxSession()
{
    Tmux("kill-server");
}

std::string TmuxSession::Tmux(const std::string& arguments) const
{
    return Run("tmux -L " + socket_ + " " + arguments + " 2>/dev/null");
}

std::vector<std::string> TmuxSession::Screen(bool history) const
{
    return Lines(Tmux(std::string("capture-pane -p -t test") + (history ? " -J -S -" : "")));
}

std::string TmuxSession::ScreenWithAttributes() const
{
    return Tmux("capture-pane -p -e -t test");
}

bool TmuxSession::WaitForScreen(const std::function<bool(const std::vector<std::string>&)>& ready,
                                std::chrono::seconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready(Screen())) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ready(Screen());
}

void TmuxSession::SendKeys(const std::string& keys) const
{
    Tmux("send-keys -t test " + keys);
}

void TmuxSession::Resize(int columns, int lines) const
{
    Tmux("resize-window -t test -x " + std::to_string(columns) + " -y " + std::to_string(lines));
}

std::string TmuxSession::Query(const std::string& format) const
{
    auto text = Tmux("display-message -p -t test " + ShellQuote(format));
    text.erase(text.find_last_not_of('\n') + 1);
    return text;
}

} // namespace lumo::test
