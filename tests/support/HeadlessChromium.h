// Debian's chromium, headless, driven through the DevTools protocol over a
// pair of pipes (--remote-debugging-pipe: no port, no websocket client). It
// runs in a network namespace of its own with no interface up, so a page
// that asked for anything over the network would get nothing; every request,
// console error and dialog of the page is recorded.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sys/types.h>

namespace lumo::test {

// What a page did from its navigation to its load event.
struct PageVisit
{
    std::vector<std::string> requests;      // URLs, the page's own included
    std::vector<std::string> consoleErrors; // console.error, uncaught exceptions, errors the browser logged
    std::vector<std::string> dialogs;       // alert(), confirm(), prompt() messages
};

class HeadlessChromium
{
public:
    // Starts the browser with a fresh profile; a test failure (thrown) when
    // it does not answer.
    HeadlessChromium();
    ~HeadlessChromium(); // ends the browser and removes the profile

    HeadlessChromium(const HeadlessChromium&) = delete;
    HeadlessChromium& operator=(const HeadlessChromium&) = delete;

    // Opens the file at `path` (absolute) in the one tab, and waits for its
    // load event.
    PageVisit Open(const std::string& path);
    // The value of a JavaScript expression in the page (a promise is awaited).
    nlohmann::json Evaluate(const std::string& expression);
    // A PNG of the whole page.
    void Screenshot(const std::string& pngPath);

private:
    nlohmann::json Call(const std::string& method, const nlohmann::json& params = nlohmann::json::object(),
                        bool inSession = true);
    nlohmann::json NextMessage(std::chrono::steady_clock::time_point deadline);
    void Record(const nlohmann::json& event);

    pid_t pid_ = -1;
    int toBrowser_ = -1;
    int fromBrowser_ = -1;
    std::string profileDir_;
    std::string buffer_;
    std::string session_;
    int nextId_ = 1;
    PageVisit visit_;
    bool loaded_ = false;
};

} // namespace lumo::test
