// Runs the whole 94-second upgrade timetable of the Windows edition on the real clock and
// reports how late each change reached the screen (the paint that shows it) and the CPU the
// run cost.
#include "bench/timetable/report.h"
#include "dialogs/upgrade_run.h"
#include "dialogs/win32/pump_clock.h"
#include "dialogs/win32/upgradedlg.h"
#include "resources/resource.h"
#include "version/constants.h"
#include "version/windows/win_file.h"

#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace kestrival::bench;
namespace dlg = kestrival::dialogs;
namespace ver = kestrival::version;

constexpr UINT kSettleMs = 500;

Ms cpu_time()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ms = [](const FILETIME &t) {
        return Ms(static_cast<double>((ULONGLONG {t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e4);
    };
    return ms(kernel) + ms(user);
}

// What the run shows, stamped as it reaches the screen.
struct Bench {
    Run run;
    Ms cpuAtPress {};
    std::vector<std::string> messages;
    CUpgradeDlg *dialog = nullptr;
};

Bench *g_bench = nullptr;

// Stamps a bar position when it is set and when painted, and a status text when painted. Wine's
// static paints a new text inside WM_SETTEXT, leaving nothing to repaint: that counts as painted.
LRESULT CALLBACK stamp_changes(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR)
{
    const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
    Stamps &stamps = g_bench->run.stamps;
    if (id == IDC_PROGRESS && (message == WM_PAINT || message == PBM_STEPIT || message == PBM_SETPOS)) {
        const int position = static_cast<int>(SendMessageW(window, PBM_GETPOS, 0, 0));
        stamp_first(message == WM_PAINT ? stamps.barShown : stamps.barSet, position);
    } else if (id == IDC_VERSION
               && (message == WM_PAINT || (message == WM_SETTEXT && !GetUpdateRect(window, nullptr, FALSE)))) {
        wchar_t text[256] = {};
        GetWindowTextW(window, text, 256);
        stamp_first(stamps.textShown, ver::to_utf8(text));
    }
    return result;
}

// Once the dialog has been up and painted for a while: watch its status and bar, press "升级".
void CALLBACK press(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(nullptr, timer);
    const HWND dialog = g_bench->dialog->m_hWnd;
    for (const int id : {IDC_VERSION, IDC_PROGRESS})
        SetWindowSubclass(GetDlgItem(dialog, id), stamp_changes, static_cast<UINT_PTR>(id), 0);
    g_bench->cpuAtPress = cpu_time();
    g_bench->run.press = Clock::now();
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
}

// An installation in a fresh temporary folder, entered as the working directory; the settings
// file's path, or none.
std::optional<std::wstring> make_installation()
{
    wchar_t base[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, base))
        return std::nullopt;
    const std::wstring dir = std::wstring(base) + L"kestrival-bench-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    const auto put = [&](std::string_view name, std::string_view bytes) {
        HANDLE f
            = CreateFileW((dir + ver::to_wide(name)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        const bool ok = f != INVALID_HANDLE_VALUE
            && WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)
            && written == bytes.size();
        if (f != INVALID_HANDLE_VALUE)
            CloseHandle(f);
        return ok;
    };
    if (!CreateDirectoryW(dir.c_str(), nullptr) || !put(ver::kSettingsFileName, "[DB]\r\nVersion=20240102\r\n")
        || !put(ver::kPackageFileName, "patch") || !SetCurrentDirectoryW(dir.c_str()))
        return std::nullopt;
    return dir + ver::to_wide(ver::kSettingsFileName);
}

void remove_installation(const std::wstring &settings)
{
    const std::wstring dir = settings.substr(0, settings.find_last_of(L'\\') + 1);
    SetCurrentDirectoryW(L"\\");
    for (const std::string_view name : {ver::kSettingsFileName, ver::kPackageFileName})
        DeleteFileW((dir + ver::to_wide(name)).c_str());
    RemoveDirectoryW(dir.c_str());
}

const char *system_name()
{
    using Version = const char *(__cdecl *)();
    const auto wine = reinterpret_cast<Version>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    static std::string name = wine ? std::string("Wine ") + wine() : "Windows";
    return name.c_str();
}

} // namespace

int main()
{
    _setmode(_fileno(stdout), _O_BINARY);
    const INITCOMMONCONTROLSEX controls {sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const std::optional<std::wstring> settings = make_installation();
    if (!settings) {
        std::fprintf(stderr, "timetable bench: can't make an installation in a temporary folder\n");
        return 2;
    }
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    std::printf("Timetable bench: %s, %s, %lu CPUs\n", date, system_name(), system.dwNumberOfProcessors);
    std::printf("Pressing \"升级\" on the upgrade dialog; the run takes 94 s...\n");
    std::fflush(stdout);

    Bench bench;
    g_bench = &bench;
    StampingClock<dlg::MessagePumpClock> clock;
    dlg::UpgradeDlgSeams seams;
    seams.clock = &clock;
    seams.settingsPath = [path = ver::to_utf8(*settings)] { return std::optional<std::string>(path); };
    seams.notify = [&](std::string_view text, HWND) {
        bench.run.done = Clock::now();
        bench.run.cpu = cpu_time() - bench.cpuAtPress;
        bench.messages.emplace_back(text);
    };
    CUpgradeDlg dialog(seams);
    bench.dialog = &dialog;
    SetTimer(nullptr, 0, kSettleMs, press);
    const INT_PTR result = dialog.DoModal();
    remove_installation(*settings);
    if (result != IDOK || !clock.start || bench.messages != std::vector<std::string> {std::string(dlg::kMsgDone)}) {
        std::fprintf(stderr, "timetable bench: the run did not complete (result %d, %zu messages%s%s)\n",
                     static_cast<int>(result), bench.messages.size(), bench.messages.empty() ? "" : ": ",
                     bench.messages.empty() ? "" : bench.messages.front().c_str());
        return 1;
    }
    bench.run.start = *clock.start;
    print_report(bench.run);
    return 0;
}
