#include "HeadlessChromium.h"

#include <array>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using nlohmann::json;

namespace lumo::test {

namespace {

constexpr auto ANSWER_TIMEOUT = std::chrono::seconds(60);
// The browser reads commands on this descriptor and answers on the next.
constexpr int COMMAND_FD = 3;
constexpr int ANSWER_FD = 4;

std::string DecodeBase64(const std::string& text)
{
    std::array<int, 256> value{};
    value.fill(-1);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        value[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
    }
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        const int v = value[static_cast<unsigned char>(c)];
        if (v < 0) {
            continue; // padding
        }
        bits = (bits << 6U) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> static_cast<unsigned>(count)) & 0xFFU);
        }
    }
    return out;
}

std::string ConsoleText(const json& params)
{
    std::string text;
    for (const auto& arg : params.value("args", json::array())) {
        text += text.empty() ? "" : " ";
        text += arg.contains("value")
                    ? (arg["value"].is_string() ? arg["value"].get<std::string>() : arg["value"].dump())
                    : arg.value("description", "");
    }
    return text;
}

} // namespace

HeadlessChromium::HeadlessChromium()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "lumo-chromium-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a profile directory for chromium");
    }
    profileDir_ = pattern;
    std::array<int, 2> commands{};
    std::array<int, 2> answers{};
    if (pipe2(commands.data(), O_CLOEXEC) != 0 || pipe2(answers.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make the pipes to chromium");
    }
    // A network namespace with nothing up in it: the page cannot reach
    // anything, whatever it asks for. Without root, in a user namespace too.
    std::vector<std::string> args{"unshare", "--net"};
    if (geteuid() != 0) {
        args.emplace_back("--map-root-user");
    }
    for (const char* arg :
         {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync", "--hide-scrollbars",
          "--window-size=1400,1000", "--remote-debugging-pipe"}) {
        args.emplace_back(arg);
    }
    args.push_back("--user-data-dir=" + profileDir_);
    args.emplace_back("about:blank");
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // dup2 leaves the copies open across exec; the originals close.
        const int commandEnd = fcntl(commands[0], F_DUPFD_CLOEXEC, 10);
        const int answerEnd = fcntl(answers[1], F_DUPFD_CLOEXEC, 10);
        dup2(commandEnd, COMMAND_FD);
        dup2(answerEnd, ANSWER_FD);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(commands[0]);
    close(answers[1]);
    toBrowser_ = commands[1];
    fromBrowser_ = answers[0];
    const json target = Call("Target.createTarget", {{"url", "about:blank"}}, false);
    session_ = Call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}, false)["sessionId"];
    for (const char* domain : {"Runtime.enable", "Log.enable", "Network.enable", "Page.enable"}) {
        Call(domain);
    }
}

HeadlessChromium::~HeadlessChromium()
{
    if (toBrowser_ >= 0) {
        close(toBrowser_);
    }
    if (fromBrowser_ >= 0) {
        close(fromBrowser_);
    }
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(profileDir_, ignored);
}

json HeadlessChromium::Call(const std::string& method, const json& params, bool inSession)
{
    const int id = nextId_++;
    json message{{"id", id}, {"method", method}, {"params", params}};
    if (inSession) {
        message["sessionId"] = session_;
    }
    const std::string text = message.dump() + '\0';
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = write(toBrowser_, text.data() + sent, text.size() - sent);
        if (n <= 0) {
            throw std::runtime_error("chromium does not take commands (is Debian's chromium installed?)");
        }
        sent += static_cast<std::size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + ANSWER_TIMEOUT;
    for (;;) {
        json answer = NextMessage(deadline);
        if (answer.value("id", 0) != id) {
            Record(answer);
            continue;
        }
        if (answer.contains("error")) {
            throw std::runtime_error(method + " failed: " + answer["error"].dump());
        }
        return answer["result"];
    }
}

json HeadlessChromium::NextMessage(std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const std::size_t end = buffer_.find('\0');
        if (end != std::string::npos) {
            json message = json::parse(buffer_.substr(0, end));
            buffer_.erase(0, end + 1);
            return message;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        pollfd ready{fromBrowser_, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error("chromium did not answer in time");
        }
        std::array<char, 65536> chunk{};
        const ssize_t n = read(fromBrowser_, chunk.data(), chunk.size());
        if (n <= 0) {
            throw std::runtime_error("chromium closed its pipe (is Debian's chromium installed?)");
        }
        buffer_.append(chunk.data(), static_cast<std::size_t>(n));
    }
}

void HeadlessChromium::Record(const json& event)
{
    const std::string method = event.value("method", "");
    const json params = event.value("params", json::object());
    if (method == "Network.requestWillBeSent") {
        visit_.requests.push_back(params["request"]["url"]);
    } else if (method == "Runtime.consoleAPICalled" && params.value("type", "") == "error") {
        visit_.consoleErrors.push_back(ConsoleText(params));
    } else if (method == "Runtime.exceptionThrown") {
        const json& details = params["exceptionDetails"];
        visit_.consoleErrors.push_back(details.contains("exception")
                                           ? details["exception"].value("description", details.value("text", ""))
                                           : details.value("text", ""));
    } else if (method == "Log.entryAdded" && params["entry"].value("level", "") == "error") {
        visit_.consoleErrors.push_back(params["entry"].value("text", ""));
    } else if (method == "Page.javascriptDialogOpening") {
        visit_.dialogs.push_back(params.value("message", ""));
        Call("Page.handleJavaScriptDialog", {{"accept", true}});
    } else if (method == "Page.loadEventFired") {
        loaded_ = true;
    }
}

PageVisit HeadlessChromium::Open(const std::string& path)
{
    visit_ = PageVisit{};
    loaded_ = false;
    Call("Page.navigate", {{"url", "file://" + path}});
    const auto deadline = std::chrono::steady_clock::now() + ANSWER_TIMEOUT;
    while (!loaded_) {
        Record(NextMessage(deadline));
    }
    // Errors logged by the page's last scripts arrive with the next answer.
    Evaluate("0");
    return visit_;
}

json HeadlessChromium::Evaluate(const std::string& expression)
{
    const json result = Call("Runtime.evaluate",
                             {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
    if (result.contains("exceptionDetails")) {
        throw std::runtime_error("the page could not evaluate " + expression + ": " +
                                 result["exceptionDetails"].dump());
    }
    return result["result"].value("value", json());
}

void HeadlessChromium::Screenshot(const std::string& pngPath)
{
    const json metrics = Call("Page.getLayoutMetrics");
    const json& size = metrics["cssContentSize"];
    const json shot =
        Call("Page.captureScreenshot",
             {{"format", "png"},
              {"captureBeyondViewport", true},
              {"clip", {{"x", 0}, {"y", 0}, {"width", size["width"]}, {"height", size["height"]}, {"scale", 1}}}});
    std::ofstream(pngPath, std::ios::binary) << DecodeBase64(shot["data"].get<std::string>());
}

} // namespace lumo::test
