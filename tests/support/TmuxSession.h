// A real terminal for a test: a detached tmux session on a tmux server of
// its own, running one shell command in a window of a given size. The test
// types with send-keys and reads the screen with capture-pane.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace lumo::test {

class TmuxSession
{
public:
    // `command` runs under /bin/sh in a `columns` x `lines` window.
    TmuxSession(const std::string& command, int columns, int lines);
    ~TmuxSession();

    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    static bool Available();

    // The visible screen, one string per line, trailing blanks cut; with
    // `history`, every line since the start, wrapped lines joined.
    std::vector<std::string> Screen(bool history = false) const;
    // The visible screen with its colours and attributes as escape sequences.
    std::string ScreenWithAttributes() const;
    // Polls the screen until `ready` holds for it; false after `timeout`.
    bool WaitForScreen(const std::function<bool(const std::vector<std::string>&)>& ready,
                       std::chrono::seconds timeout) const;
    void SendKeys(const std::string& keys) const;
    void Resize(int columns, int lines) const;
    // A tmux format of the pane: "#{alternate_on}", "#{cursor_flag}".
    std::string Query(const std::string& format) const;

private:
    std::string Tmux(const std::string& arguments) const;

    std::string socket_;
};

// `text` quoted for /bin/sh.
std::string ShellQuote(const std::string& text);

} // namespace lumo::test
