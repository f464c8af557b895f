// The Windows dialogs in one process: the waits' input filter, start-up, the run in virtual
// time, nested runs and the about entry. A driver thread acts as the user while the dialog's
// own modal loop runs on the main thread.
#include "dialogs/win32/pump_clock.h"
#include "dialogs/win32/upgradedlg.h"
#include "resources/resource.h"
#include "support.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <direct.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace dlg = kestrival::dialogs;
namespace ver = kestrival::version;
namespace vt = kestrival::version::testing;

const DWORD kMainThread = GetCurrentThreadId();

// The program readies the progress bar's class at start-up.
const bool kControlsReady = [] {
    const INITCOMMONCONTROLSEX controls {sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    return InitCommonControlsEx(&controls) != FALSE;
}();

std::wstring text_of(HWND window)
{
    wchar_t buffer[256] = {};
    GetWindowTextW(window, buffer, 256);
    return buffer;
}

// A window of the main thread with this caption, once there is one.
HWND wait_for_window(const std::wstring &caption)
{
    for (int i = 0; i < 1000; ++i) {
        struct Search {
            const std::wstring &caption;
            HWND found = nullptr;
        } search {caption};
        EnumThreadWindows(
            kMainThread,
            [](HWND w, LPARAM p) {
                auto *s = reinterpret_cast<Search *>(p);
                if (IsWindowVisible(w) && text_of(w) == s->caption)
                    s->found = w;
                return s->found ? FALSE : TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        Sleep(10);
    }
    ADD_FAILURE() << "no window captioned as expected";
    return nullptr;
}

// Waits up to 10 s for `done`.
bool eventually(const std::function<bool()> &done)
{
    for (int i = 0; i < 1000 && !done(); ++i)
        Sleep(10);
    return done();
}

void press(HWND dialog, int id) { PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

// The messages a plain window is given of those the test posts.
const UINT kInput[] = {WM_KEYDOWN,       WM_CHAR,       WM_SYSKEYDOWN, WM_LBUTTONDOWN, WM_MOUSEWHEEL,
                       WM_NCLBUTTONDOWN, WM_SYSCOMMAND, WM_CLOSE,      WM_CONTEXTMENU, WM_POINTERDOWN};
std::vector<UINT> g_received;
LRESULT CALLBACK recording_proc(HWND w, UINT m, WPARAM wp, LPARAM lp)
{
    if (m >= WM_USER || std::find(std::begin(kInput), std::end(kInput), m) != std::end(kInput))
        g_received.push_back(m);
    return m == WM_CLOSE || m == WM_SYSCOMMAND ? 0 : DefWindowProcW(w, m, wp, lp);
}

TEST(MessagePumpClock, DropsPostedInputForGoodKeepsTheRestAndAQuitAndNeverReturnsEarly)
{
    const WNDCLASSW wc {0, recording_proc, 0, 0, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr, nullptr, L"rec"};
    RegisterClassW(&wc);
    HWND window = CreateWindowW(L"rec", L"", WS_OVERLAPPEDWINDOW, 0, 0, 50, 50, nullptr, nullptr, nullptr, nullptr);
    const UINT input[] = {WM_KEYDOWN,       WM_CHAR,       WM_SYSKEYDOWN, WM_LBUTTONDOWN, WM_MOUSEWHEEL,
                          WM_NCLBUTTONDOWN, WM_SYSCOMMAND, WM_CLOSE,      WM_CONTEXTMENU, WM_POINTERDOWN};
    for (UINT m : input)
        PostMessageW(window, m, 0, 0);
    PostMessageW(window, WM_USER, 0, 0);
    PostQuitMessage(7);

    dlg::MessagePumpClock clock;
    const auto deadline = clock.now() + 60ms;
    std::thread waker([&] { // a message mid-wait must not end it early
        Sleep(40);
        PostMessageW(window, WM_USER + 2, 0, 0);
    });
    clock.waitUntil(deadline);
    EXPECT_GE(clock.now(), deadline);
    waker.join();
    EXPECT_EQ(g_received, (std::vector<UINT> {WM_USER, WM_USER + 2}));

    // Input the worker's time brings is dropped too, and what it throws reaches the caller.
    EXPECT_THROW(dlg::run_off_interface_thread([&] {
                     PostMessageW(window, WM_KEYUP, 0, 0);
                     PostMessageW(window, WM_USER + 1, 0, 0);
                     Sleep(50);
                     throw std::runtime_error("disk gone");
                 }),
                 std::runtime_error);
    EXPECT_EQ(g_received, (std::vector<UINT> {WM_USER, WM_USER + 2, WM_USER + 1}));

    MSG left;
    ASSERT_TRUE(PeekMessageW(&left, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(left.message, static_cast<UINT>(WM_QUIT)) << "only the quit is still queued";
    EXPECT_EQ(left.wParam, 7u);
    EXPECT_FALSE(PeekMessageW(&left, nullptr, 0, 0, PM_REMOVE));
    DestroyWindow(window);
}

// Virtual time: a wait returns at once with the clock at its deadline.
struct VirtualClock final : dlg::RunClock {
    TimePoint t {};
    std::function<void()> onWait;
    TimePoint now() override { return t; }
    void waitUntil(TimePoint deadline) override
    {
        t = std::max(t, deadline);
        if (onWait)
            onWait();
    }
};

struct Message {
    std::string text;
    bool owned;
};

class UpgradeDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vt::write_file(dir.file("tsetting.ini"), "[DB]\r\nVersion=20240101\r\n");
        vt::write_file(dir.file("HarrowglimmerPatch.dat"), "");
        ASSERT_TRUE(vt::set_last_write(dir.file("HarrowglimmerPatch.dat"), 1741089600)); // 2025-03-04 12:00 UTC
        ASSERT_EQ(_wchdir(vt::native(dir.path()).c_str()), 0);
        seams.settingsPath = [this] { return std::optional(dir.file("tsetting.ini")); };
        seams.clock = &clock;
        seams.notify = [this](std::string_view text, HWND owner) {
            messages.push_back({std::string(text), owner != nullptr});
            if (onMessage)
                onMessage();
        };
        seams.write = [this](const std::string &path, std::string_view stamp) {
            writes.push_back(std::string(stamp));
            clock.t += 5s; // a slow disk
            return failWrite ? ver::WriteResult {ver::WriteError::System, 5, "denied"}
                             : ver::write_installed_version(path, stamp);
        };
    }
    void TearDown() override
    {
        if (driver.joinable())
            driver.join();
        _wchdir(L"C:\\");
    }

    // The dialog's window, once it is shown.
    HWND shown() { return wait_for_window(L"Kestrival"); }

    vt::ScratchDir dir;
    VirtualClock clock;
    dlg::UpgradeDlgSeams seams;
    std::vector<Message> messages;
    std::function<void()> onMessage;
    std::vector<std::string> writes;
    bool failWrite = false;
    std::thread driver;
};

TEST_F(UpgradeDlgTest, StartUpFailuresShowTheirOneMessageAndNeverTheDialog)
{
    struct Row {
        bool settings, package;
        const char *message;
    };
    for (const Row &row :
         {Row {false, true, "获取升级信息失败,请检查是否在安装目录运行"}, Row {true, false, "打开升级包失败"},
          Row {false, false, "获取升级信息失败,请检查是否在安装目录运行"}}) {
        if (!row.settings)
            std::filesystem::remove(vt::native(dir.file("tsetting.ini")));
        if (!row.package)
            std::filesystem::remove(vt::native(dir.file("HarrowglimmerPatch.dat")));
        messages.clear();
        onMessage = [] {
            EXPECT_FALSE(FindWindowW(nullptr, L"Kestrival") && IsWindowVisible(FindWindowW(nullptr, L"Kestrival")));
        };
        CUpgradeDlg dialog(seams);
        EXPECT_EQ(dialog.DoModal(), CUpgradeDlg::kStartupFailed);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text, row.message);
        EXPECT_FALSE(messages[0].owned);
        SetUp();
    }
}

TEST_F(UpgradeDlgTest, WithoutASettingsPathNothingIsCheckedAndThePressDoesNothing)
{
    seams.settingsPath = [] { return std::optional<std::string>(); };
    std::filesystem::remove(vt::native(dir.file("HarrowglimmerPatch.dat")));
    driver = std::thread([this] {
        HWND dialog = shown();
        EXPECT_EQ(text_of(GetDlgItem(dialog, IDC_VERSION)), L"");
        press(dialog, IDOK);
        press(dialog, IDCANCEL);
    });
    CUpgradeDlg dialog(seams);
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(writes.empty());
}

TEST_F(UpgradeDlgTest, TheRunStampsFirstCountsFromThePressIgnoresTheUserAndEndsAfterItsBox)
{
    const auto pressed = clock.t;
    CUpgradeDlg dialog(seams);
    std::vector<std::tuple<std::wstring, LRESULT, long long>> before; // text, bar, ms since the press
    clock.onWait = [&] {
        HWND bar = GetDlgItem(dialog.m_hWnd, IDC_PROGRESS);
        before.emplace_back(text_of(GetDlgItem(dialog.m_hWnd, IDC_VERSION)), SendMessageW(bar, PBM_GETPOS, 0, 0),
                            std::chrono::duration_cast<std::chrono::milliseconds>(clock.t - pressed).count());
        // Sent, these pass any input filter; none may act during the timetable.
        SendMessageW(dialog.m_hWnd, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
        SendMessageW(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        SendMessageW(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    };
    driver = std::thread([this] { press(shown(), IDOK); });
    EXPECT_EQ(dialog.DoModal(), IDOK);

    EXPECT_EQ(writes, std::vector<std::string> {"20250304"});
    EXPECT_EQ(vt::read_file(dir.file("tsetting.ini")), "[DB]\r\nVersion=20250304\r\n");
    ASSERT_EQ(before.size(), 100u);
    using Before = std::tuple<std::wstring, LRESULT, long long>;
    EXPECT_EQ(before[0], (Before {L"Check Ver Info...", 0, 5000})) << "the 5 s write is part of the first pause";
    EXPECT_EQ(before[11], (Before {L"Check Ver Info...", 11, 11400}));
    EXPECT_EQ(before[12], (Before {L"Unzip files...", 12, 12400}));
    EXPECT_EQ(before[25], (Before {L"Unzip files...", 25, 25800}));
    EXPECT_EQ(before[26], (Before {L"Patch files...", 26, 26000}));
    EXPECT_EQ(before[99], (Before {L"Patch files...", 99, 94000}));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "升级完成");
    EXPECT_FALSE(messages[0].owned);
}

TEST_F(UpgradeDlgTest, AFailedWriteIsReportedInAnOwnedBoxAndTheDialogStays)
{
    failWrite = true;
    CUpgradeDlg dialog(seams);
    clock.onWait = [] { ADD_FAILURE() << "no timetable after a failed write"; };
    driver = std::thread([&] {
        HWND window = shown();
        press(window, IDOK);
        ASSERT_TRUE(eventually([&] { return !messages.empty(); }));
        EXPECT_EQ(text_of(GetDlgItem(window, IDC_VERSION)), L"20240101");
        press(window, IDCANCEL);
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "写入版本信息失败");
    EXPECT_TRUE(messages[0].owned);
    EXPECT_EQ(vt::read_file(dir.file("tsetting.ini")), "[DB]\r\nVersion=20240101\r\n");
}

TEST_F(UpgradeDlgTest, UnderTheCompletionBoxCloseWaitsAndAFurtherRunNestsEndingTheDialogOnce)
{
    CUpgradeDlg dialog(seams);
    onMessage = [&] {
        if (messages.size() != 1)
            return;
        SendMessageW(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        SendMessageW(dialog.m_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_TRUE(IsWindowVisible(dialog.m_hWnd)) << "still open under the box";
        SendMessageW(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_TRUE(IsWindowVisible(dialog.m_hWnd)) << "the outer box is still up";
    };
    driver = std::thread([this] { press(shown(), IDOK); });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(writes.size(), 2u);
    EXPECT_EQ(messages.size(), 2u);
}

TEST_F(UpgradeDlgTest, TheWindowMenuEndsInTheAboutEntryWhoseCommandOpensTheOwnedAboutBox)
{
    CUpgradeDlg dialog(seams);
    driver = std::thread([&] {
        HWND window = shown();
        HMENU menu = GetSystemMenu(window, FALSE);
        const int count = GetMenuItemCount(menu);
        ASSERT_GE(count, 2);
        EXPECT_EQ(GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
        EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
        wchar_t entry[64] = {};
        GetMenuStringW(menu, count - 1, entry, 64, MF_BYPOSITION);
        EXPECT_STREQ(entry, L"关于 Kestrival(&A)...");

        for (WPARAM command : {WPARAM {0x0010}, WPARAM {0x001F}}) {
            PostMessageW(window, WM_SYSCOMMAND, command, 0);
            HWND about = wait_for_window(L"关于 Kestrival");
            EXPECT_EQ(GetWindow(about, GW_OWNER), window);
            EXPECT_FALSE(IsWindowEnabled(window));
            press(window, IDOK); // a screen reader's press under the box
            press(about, IDCANCEL);
            ASSERT_TRUE(eventually([&] { return IsWindowEnabled(window) != FALSE; }));
        }
        press(window, IDCANCEL);
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_TRUE(writes.empty());
}

} // namespace
