// How promptly a window answers the window manager's pings (_NET_WM_PING), under $DISPLAY.
//
// Pings WINDOW every INTERVAL_MS for SECONDS as a window manager would, and takes the answers
// the client sends back to the root window (StructureNotify there), so no window manager
// is needed. Prints the pings answered, the answers' delays and the longest time without one.
// Usage: kestrival_ping_bench WINDOW SECONDS [INTERVAL_MS]
#include <xcb/xcb.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

// Answers still on their way when the pinging stops get this long to arrive.
constexpr std::chrono::seconds kStragglers {2};

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t {XCB_ATOM_NONE};
    std::free(reply);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: kestrival_ping_bench WINDOW SECONDS [INTERVAL_MS]\n");
        return 2;
    }
    const auto window = static_cast<xcb_window_t>(std::strtoul(argv[1], nullptr, 0));
    const auto length = std::chrono::milliseconds(static_cast<long>(std::atof(argv[2]) * 1000));
    const std::chrono::milliseconds interval(argc > 3 ? std::atol(argv[3]) : 100);

    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "kestrival_ping_bench: cannot connect to the X display\n");
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_atom_t protocols = atom(connection, "WM_PROTOCOLS");
    const xcb_atom_t ping = atom(connection, "_NET_WM_PING");
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);

    std::vector<Clock::time_point> sent;
    std::vector<Ms> delays;
    std::vector<Clock::time_point> answers;
    const Clock::time_point start = Clock::now();
    Clock::time_point nextPing = start;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= start + length + kStragglers)
            break;
        if (now >= nextPing && now < start + length) {
            xcb_client_message_event_t event {};
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 32;
            event.window = window;
            event.type = protocols;
            // The ping's timestamp is its number, so each answer names its ping.
            event.data.data32[0] = ping;
            event.data.data32[1] = static_cast<std::uint32_t>(sent.size());
            event.data.data32[2] = window;
            xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&event));
            xcb_flush(connection);
            sent.push_back(now);
            nextPing += interval;
        }
        pollfd fd {xcb_get_file_descriptor(connection), POLLIN, 0};
        poll(&fd, 1, 5);
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
            const auto *message = reinterpret_cast<const xcb_client_message_event_t *>(event);
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE && message->type == protocols
                && message->data.data32[0] == ping && message->data.data32[2] == window
                && message->data.data32[1] < sent.size()) {
                answers.push_back(Clock::now());
                delays.push_back(answers.back() - sent[message->data.data32[1]]);
            }
            std::free(event);
        }
        if (xcb_connection_has_error(connection))
            break;
    }
    xcb_disconnect(connection);

    // The longest stretch with pings out and no answer coming back, the run's ends included.
    Ms longestGap {0};
    Clock::time_point previous = start;
    answers.push_back(std::min(Clock::now(), start + length));
    for (const Clock::time_point answer : answers) {
        longestGap = std::max(longestGap, Ms(answer - previous));
        previous = answer;
    }
    std::sort(delays.begin(), delays.end());
    const auto within = [&](double ms) {
        return std::count_if(delays.begin(), delays.end(), [ms](Ms d) { return d.count() <= ms; });
    };
    std::printf("pings sent: %zu every %lld ms; answered: %zu, within 100 ms: %td, within 1 s: %td\n", sent.size(),
                static_cast<long long>(interval.count()), delays.size(), within(100), within(1000));
    if (!delays.empty())
        std::printf("answer delay: median %.1f ms, max %.1f ms\n", delays[delays.size() / 2].count(),
                    delays.back().count());
    std::printf("longest time without an answer: %.0f ms\n", longestGap.count());
    return 0;
}
