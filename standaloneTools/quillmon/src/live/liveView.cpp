#include "liveView.h"

#include "terminfo.h"

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include <curses.h>
#include <langinfo.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

namespace quillLive {

namespace {

// What the handler of a signal that ends the process needs, set before the
// view takes the terminal: a handler may use none of ncurses.
struct TerminalRestore
{
    termios saved{};
    bool haveSaved = false;
    char reset[256]{};
    size_t resetLength = 0;
    std::atomic<int> heldFd{-1};
    struct sigaction previous[NSIG]
    {
    };
    bool installed[NSIG]{};
};
TerminalRestore gRestore;
constexpr int CRASH_SIGNALS[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
// The other signals whose default action ends the process; SIGINT, SIGTERM
// and SIGHUP end the run, SIGPIPE is ignored. The real-time ones too.
constexpr int ENDING_SIGNALS[] = {
    SIGQUIT,   SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO, SIGSYS, SIGTRAP, SIGPWR,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

void OnFatalSignal(int signal)
{
    if (gRestore.haveSaved) {
        ::tcsetattr(STDOUT_FILENO, TCSANOW, &gRestore.saved);
    }
    ssize_t written = ::write(STDOUT_FILENO, gRestore.reset, gRestore.resetLength);
    (void)written;
    if (const int fd = gRestore.heldFd.load(); fd >= 0) {
        CopyToStandardOutput(fd);
    }
    // The handler was reset on entry: the signal's own action now ends the
    // process (a core where one is due), and the shell sees 128 + signal.
    ::raise(signal);
}

// Only where the signal would end the process: one inherited as ignored, or
// handled by someone else, stays so; a crash is always caught.
void Catch(int signal, bool onlyDefault)
{
    struct sigaction current
    {
    };
    if (::sigaction(signal, nullptr, &current) != 0 || (onlyDefault && current.sa_handler != SIG_DFL)) {
        return;
    }
    struct sigaction action
    {
    };
    action.sa_handler = OnFatalSignal;
    action.sa_flags = SA_RESETHAND;
    ::sigemptyset(&action.sa_mask);
    gRestore.installed[signal] = ::sigaction(signal, &action, &gRestore.previous[signal]) == 0;
}

constexpr short FAULT_COLOUR = 1;
constexpr int KEY_WAIT_MS = 100;

} // namespace

struct LiveView::Terminal
{
    SCREEN* screen = nullptr;
};

bool OutputIsTerminal()
{
    return ::isatty(STDOUT_FILENO) == 1;
}

LiveView::LiveView(const quillModel::MonitorRun& run, uint32_t domainId, double periodSec)
    : run_(run)
    , domainId_(domainId)
    , period_(periodSec)
{
    // Before any other thread runs: ncurses writes UTF-8 only under a
    // locale that says so. Only the character type: numbers stay as the
    // log and the report write them.
    std::setlocale(LC_CTYPE, "");
    const char* codeset = ::nl_langinfo(CODESET);
    utf8_ = codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
    if (const std::string refusal = TerminalRefusal(std::getenv("TERM")); !refusal.empty()) {
        throw std::runtime_error(refusal);
    }
}

LiveView::~LiveView()
{
    End();
    if (held_) {
        held_->Release();
    }
}

void LiveView::Start()
{
    held_ = std::make_unique<HeldLog>();
    gRestore.haveSaved = ::tcgetattr(STDOUT_FILENO, &gRestore.saved) == 0;
    terminal_ = std::make_unique<Terminal>();
    terminal_->screen = newterm(nullptr, stdout, stdin);
    if (terminal_->screen == nullptr) {
        terminal_.reset();
        throw std::runtime_error("--live cannot drive this terminal");
    }
    keys_ = ::isatty(STDIN_FILENO) == 1;
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    timeout(KEY_WAIT_MS);
    const char* noColor = std::getenv("NO_COLOR");
    colour_ = (noColor == nullptr || *noColor == '\0') && has_colors();
    if (colour_) {
        start_color();
        use_default_colors();
        init_pair(FAULT_COLOUR, COLOR_RED, -1);
    }

    const std::string reset = ResetSequence() + "\n";
    gRestore.resetLength = std::min(reset.size(), sizeof gRestore.reset);
    std::memcpy(gRestore.reset, reset.data(), gRestore.resetLength);
    gRestore.heldFd.store(held_->Descriptor());
    for (const int signal : CRASH_SIGNALS) {
        Catch(signal, false);
    }
    for (const int signal : ENDING_SIGNALS) {
        Catch(signal, true);
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        Catch(signal, true);
    }

    started_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] { Loop(); });
}

void LiveView::Loop()
{
    // Its own line in top -H: what the view itself costs.
    ::pthread_setname_np(::pthread_self(), "quillLive");
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock lock(stopMutex_);
            if (stop_) {
                return;
            }
            if (!keys_) {
                stopChanged_.wait_for(lock, std::chrono::milliseconds(KEY_WAIT_MS), [this] { return stop_; });
                if (stop_) {
                    return;
                }
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= next) {
            Refresh(std::chrono::duration<double>(now - started_).count());
            Paint();
            next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period_);
            if (next <= now) {
                next = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(period_);
            }
        }
        if (keys_) {
            HandleKey(); // waits up to KEY_WAIT_MS for one
        }
    }
}

void LiveView::Refresh(double seconds)
{
    std::vector<quillModel::ReaderSnapshot> readers;
    for (const auto& tally : run_.Tallies()) {
        readers.push_back(tally->Snapshot());
    }
    auto verdict = quillModel::Judge(readers, run_.Settings().failOn, 0);
    frame_ = history_.Update(readers, seconds, std::move(verdict));
}

LayoutRequest LiveView::Request() const
{
    LayoutRequest request;
    request.columns = lastColumns_;
    request.sort = sort_;
    request.utf8 = utf8_;
    request.domainId = domainId_;
    return request;
}

void LiveView::Paint()
{
    lastColumns_ = static_cast<size_t>(std::max(COLS, 1));
    LayoutRequest request = Request();
    request.lines = static_cast<size_t>(std::max(LINES, 1));
    request.scroll = scroll_;
    request.lastLog = held_->Last();
    request.heldLogs = held_->Count();
    const auto lines = Layout(frame_, request);
    erase();
    for (size_t i = 0; i < lines.size(); ++i) {
        attr_t attributes = A_NORMAL;
        switch (lines[i].kind) {
        case ScreenLine::Kind::Header:
            attributes = A_BOLD;
            break;
        case ScreenLine::Kind::Headings:
            attributes = A_REVERSE;
            break;
        case ScreenLine::Kind::FaultRow:
            attributes = A_BOLD | (colour_ ? COLOR_PAIR(FAULT_COLOUR) : A_NORMAL);
            break;
        case ScreenLine::Kind::Footer:
            attributes = A_DIM;
            break;
        case ScreenLine::Kind::Row:
        case ScreenLine::Kind::Blank:
            break;
        }
        attrset(attributes);
        // The last cell of the last line may refuse to be written (the
        // cursor cannot move past it); the line is drawn all the same.
        mvaddstr(static_cast<int>(i), 0, lines[i].text.c_str());
    }
    attrset(A_NORMAL);
    refresh();
}

bool LiveView::HandleKey()
{
    const int key = getch();
    if (key == ERR) {
        return false;
    }
    const size_t rows = frame_.rows.size();
    const size_t page = RowLines(static_cast<size_t>(std::max(LINES, 1)));
    const size_t last = rows > page ? rows - page : 0;
    switch (key) {
    case 'q':
    case 'Q':
        // Exactly as Ctrl-C: the stop handler, the exit report, --fail-on.
        ::kill(::getpid(), SIGINT);
        break;
    case 's':
    case 'S':
        sort_ = NextSort(sort_);
        break;
    case 'j':
    case KEY_DOWN:
        scroll_ = std::min(scroll_ + 1, last);
        break;
    case 'k':
    case KEY_UP:
        scroll_ = scroll_ > 0 ? scroll_ - 1 : 0;
        break;
    case ' ':
    case KEY_NPAGE:
        scroll_ = std::min(scroll_ + page, last);
        break;
    case KEY_PPAGE:
        scroll_ = scroll_ > page ? scroll_ - page : 0;
        break;
    case 'g':
    case KEY_HOME:
        scroll_ = 0;
        break;
    case 'G':
    case KEY_END:
        scroll_ = last;
        break;
    case KEY_RESIZE:
        break;
    default:
        return true;
    }
    Paint();
    return true;
}

void LiveView::End()
{
    if (thread_.joinable()) {
        {
            std::lock_guard lock(stopMutex_);
            stop_ = true;
        }
        stopChanged_.notify_all();
        thread_.join();
    }
    if (!terminal_) {
        return;
    }
    endwin();
    delscreen(terminal_->screen);
    terminal_.reset();
    for (int signal = 1; signal < NSIG; ++signal) {
        if (gRestore.installed[signal]) {
            ::sigaction(signal, &gRestore.previous[signal], nullptr);
            gRestore.installed[signal] = false;
        }
    }
    gRestore.heldFd.store(-1);
}

void LiveView::Finish(const quillModel::Period* period)
{
    End();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const auto frame = history_.Update(run_.FinalReaders(), seconds, run_.FinalVerdict(), period);
    LayoutRequest request = Request();
    request.final = true;
    std::string text;
    for (const auto& line : Layout(frame, request)) {
        text += line.text + "\n";
    }
    std::cout << text << std::flush;
    if (held_) {
        held_->Release();
    }
}

} // namespace quillLive
