// Reads another program's windows for the end-to-end scripts, from inside the same Wine session.
// Output is UTF-8, one tab-separated line per visible window, front to back:
//   W  caption  class  enabled  owner's caption  pid
//   C  parent's caption  id  class  text  [position  lower  upper]   (the last three: a progress bar)
// Usage: win_probe list
//        win_probe watch UNTIL SECONDS   each line that changed, after the Unix time in ms,
//                                        until a window UNTIL shows (else exit 1)
//        win_probe hold FILE             FILE held with no sharing until stdin ends
//        win_probe close CAPTION         the window's close box, as a window manager gives it
#include <windows.h>

#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using std::chrono::duration_cast;
using std::chrono::system_clock;

// Long enough for a program busy painting; a hung one must not hang the probe.
constexpr UINT kReplyTimeoutMs = 2000;

// The program's texts hold no tab or line break, which would break the line format.
std::string utf8(const std::wstring &text)
{
    std::string out(text.size() * 3, '\0');
    out.resize(
        static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                                     static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

LRESULT ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam = 0)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kReplyTimeoutMs, &result))
        return -1;
    return static_cast<LRESULT>(result);
}

// Through the window's own thread, as a screen reader gets it.
std::string text_of(HWND window)
{
    wchar_t text[1024] = {};
    const LRESULT length = ask(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    // A static showing a resource by number (an icon) holds the number after 0xFFFF.
    if (length >= 2 && text[0] == 0xFFFF)
        return "#" + std::to_string(text[1]);
    return length < 0 ? "?" : utf8(std::wstring(text, static_cast<std::size_t>(length)));
}

std::wstring class_of(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

std::vector<std::string> list_windows()
{
    std::vector<HWND> windows;
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            reinterpret_cast<std::vector<HWND> *>(param)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    std::vector<std::string> lines;
    for (HWND window : windows) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (!IsWindowVisible(window))
            continue;
        const std::string caption = text_of(window);
        const HWND owner = GetWindow(window, GW_OWNER);
        lines.push_back("W\t" + caption + "\t" + utf8(class_of(window)) + "\t" + (IsWindowEnabled(window) ? "1" : "0")
                        + "\t" + (owner ? text_of(owner) : "") + "\t" + std::to_string(pid));
        for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            if (!IsWindowVisible(child))
                continue;
            std::string line = "C\t" + caption + "\t" + std::to_string(GetDlgCtrlID(child)) + "\t"
                + utf8(class_of(child)) + "\t" + text_of(child);
            if (_wcsicmp(class_of(child).c_str(), PROGRESS_CLASSW) == 0)
                for (const auto &[message, wParam] :
                     {std::pair<UINT, WPARAM> {PBM_GETPOS, 0}, {PBM_GETRANGE, TRUE}, {PBM_GETRANGE, FALSE}})
                    line += "\t" + std::to_string(ask(child, message, wParam));
            lines.push_back(line);
        }
    }
    return lines;
}

// Looks every 20 ms for `seconds`, printing each line unlike the last look's, after the Unix
// time in ms when `stamped`, until a window `until` shows (0), or the time is up (1).
int watch(const std::string &until, double seconds, bool stamped = true)
{
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    std::vector<std::string> last;
    for (;;) {
        const std::vector<std::string> lines = list_windows();
        // Wall-clock time, which the calling script can read too.
        const auto unixMs = duration_cast<std::chrono::milliseconds>(system_clock::now().time_since_epoch()).count();
        bool shown = false;
        for (const std::string &line : lines) {
            if (std::find(last.begin(), last.end(), line) == last.end())
                std::printf("%s%s\n", stamped ? (std::to_string(unixMs) + "\t").c_str() : "", line.c_str());
            shown = shown || line.rfind("W\t" + until + "\t", 0) == 0;
        }
        std::fflush(stdout);
        last = lines;
        if (shown || GetTickCount64() >= deadline)
            return shown ? 0 : 1;
        Sleep(20);
    }
}

int hold(const std::wstring &path)
{
    if (CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)
        == INVALID_HANDLE_VALUE)
        return 1;
    std::printf("held\n");
    std::fflush(stdout);
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) { }
    return 0; // the file is let go as the probe ends
}

} // namespace

int main()
{
    // Wide, since the narrow arguments come in the system code page, which can't hold every caption.
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    _setmode(_fileno(stdout), _O_BINARY);
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    const auto arg = [&](int i) { return i < argc ? std::wstring(argv[i]) : std::wstring(); };
    if (mode == L"list") {
        watch("\n", 0, false); // a caption no window has: one look
        return 0;
    }
    if (mode == L"watch" && argc >= 4)
        return watch(utf8(arg(2)), std::wcstod(argv[3], nullptr));
    if (mode == L"hold" && argc == 3)
        return hold(arg(2));
    // What Wine makes of a window manager's close request.
    if (mode == L"close" && argc == 3)
        return PostMessageW(FindWindowW(nullptr, argv[2]), WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
    std::fprintf(stderr, "usage: win_probe list | watch UNTIL SECONDS | hold FILE | close CAPTION\n");
    return 2;
}
