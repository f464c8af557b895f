// The upgrade run: the timetable and what a press does.
#include "dialogs/upgrade_run.h"

#include "version/package_stamp.h"
#include "version/settings_path.h"

#include <array>
#include <cstdio>

namespace kestrival::dialogs {

namespace {

using std::chrono::milliseconds;

// Indexed by i mod 10; one block of ten steps is 9.4 s, the whole run 94 s.
constexpr std::array<milliseconds, 10> kPauses {
    milliseconds(1000), milliseconds(1000), milliseconds(1000), milliseconds(2000), milliseconds(1000),
    milliseconds(1000), milliseconds(200),  milliseconds(200),  milliseconds(1000), milliseconds(1000),
};

// The first step of each later phase.
constexpr int kFirstUnzipStep = 11;
constexpr int kFirstPatchStep = 25;

} // namespace

milliseconds pause_before_step(int i) { return kPauses[static_cast<std::size_t>(i) % kPauses.size()]; }

std::string_view phase_text_for_step(int i)
{
    if (i >= kFirstPatchStep)
        return "Patch files...";
    if (i >= kFirstUnzipStep)
        return "Unzip files...";
    return {};
}

std::string_view initial_phase_text() { return "Check Ver Info..."; }

void run_timetable(RunClock &clock, RunView &view, RunClock::TimePoint start)
{
    view.setStatus(initial_phase_text());
    view.prepareBar();
    RunClock::TimePoint deadline = start;
    for (int i = 0; i < kRunSteps; ++i) {
        deadline += pause_before_step(i);
        clock.waitUntil(deadline);
        if (const std::string_view text = phase_text_for_step(i); !text.empty())
            view.setStatus(text);
        view.stepBar();
    }
}

void use_own_settings_calls(SettingsPathLookup &settingsPath, SettingsWriter &write)
{
    if (!settingsPath)
        settingsPath = version::build_settings_path;
    if (!write)
        write = [](const std::string &path, std::string_view stamp) {
            return version::write_installed_version(path, stamp);
        };
}

void UpgradeRun::press(RunHost &host)
{
    // A screen reader's press reaches the button even under a modal box.
    if (m_running || host.blockedByModalBox())
        return;
    const std::optional<std::string> settingsPath = host.settingsPath();
    if (!settingsPath)
        return;
    host.closePopups();

    // The timeline counts from the press, so the write's own time doesn't delay it.
    const RunClock::TimePoint pressed = host.clock().now();
    m_running = true;
    host.runStarted();
    version::WriteResult written;
    host.offInterfaceThread([&] { written = host.write(*settingsPath, version::make_package_date_stamp()); });
    if (!written) {
        m_running = false;
        // The box keeps the program's one text; the reason goes where an administrator looks.
        std::fprintf(stderr, "Kestrival: %s\n", written.error.c_str());
        host.showOwnedMessage(kMsgWriteFailed);
        return;
    }
    run_timetable(host.clock(), host.view(), pressed);
    m_running = false;

    // The box leaves the dialog usable, so a further run may start and end inside it; only
    // the outermost run ends the dialog.
    ++m_openCompletionBoxes;
    host.showUnownedMessage(kMsgDone);
    --m_openCompletionBoxes;
    if (m_openCompletionBoxes == 0)
        host.accept();
}

} // namespace kestrival::dialogs
