#include "platform/windowlookup.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <QGuiApplication>

#include "platform/codepage.h"

namespace platform {
namespace {

template <typename T>
using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

// True when one of `windows` has the class `wanted`: the class part of WM_CLASS
// ("instance\0class\0"), ignoring letter case. The requests go out together, so a whole
// batch costs one round trip to the server.
bool AnyHasClass(xcb_connection_t* connection, const std::vector<xcb_window_t>& windows,
                 const QString& wanted) {
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(windows.size());
    for (xcb_window_t window : windows)
        cookies.push_back(
            xcb_get_property(connection, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256));
    bool found = false;
    // Every reply is collected, even after a match, so none is left waiting in the queue.
    for (xcb_get_property_cookie_t cookie : cookies) {
        XcbReply<xcb_get_property_reply_t> reply(
            xcb_get_property_reply(connection, cookie, nullptr), &std::free);
        if (!reply || found) continue;
        const char* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
        int length = xcb_get_property_value_length(reply.get());
        const void* separator = std::memchr(value, '\0', length);
        if (!separator) continue;
        const char* klass = static_cast<const char*>(separator) + 1;
        int classLength = length - static_cast<int>(klass - value);
        while (classLength > 0 && klass[classLength - 1] == '\0') --classLength;
        found = QString::fromLatin1(klass, classLength).compare(wanted, Qt::CaseInsensitive) == 0;
    }
    return found;
}

// The children of all `windows`, asked for together.
std::vector<xcb_window_t> ChildrenOf(xcb_connection_t* connection,
                                     const std::vector<xcb_window_t>& windows) {
    std::vector<xcb_query_tree_cookie_t> cookies;
    cookies.reserve(windows.size());
    for (xcb_window_t window : windows) cookies.push_back(xcb_query_tree(connection, window));
    std::vector<xcb_window_t> children;
    for (xcb_query_tree_cookie_t cookie : cookies) {
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(connection, cookie, nullptr),
                                              &std::free);
        if (!tree) continue;
        xcb_window_t* first = xcb_query_tree_children(tree.get());
        children.insert(children.end(), first, first + xcb_query_tree_children_length(tree.get()));
    }
    return children;
}

// The client windows an EWMH window manager lists on the root; none without such a manager.
std::vector<xcb_window_t> ClientList(xcb_connection_t* connection, xcb_window_t root) {
    static constexpr char kName[] = "_NET_CLIENT_LIST";
    XcbReply<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 1, sizeof kName - 1, kName),
                              nullptr),
        &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE) return {};
    XcbReply<xcb_get_property_reply_t> list(
        xcb_get_property_reply(
            connection,
            xcb_get_property(connection, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1 << 20),
            nullptr),
        &std::free);
    if (!list || list->format != 32) return {};
    const auto* first = static_cast<const xcb_window_t*>(xcb_get_property_value(list.get()));
    return {first, first + xcb_get_property_value_length(list.get()) / 4};
}

}  // namespace

bool TopLevelWindowExists(const AnsiString& className) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return false;
    const QString wanted = ToUnicode(className);
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(
        xcb_connect(nullptr, nullptr), &xcb_disconnect);
    if (xcb_connection_has_error(connection.get())) return false;
    const xcb_setup_t* setup = xcb_get_setup(connection.get());
    for (auto screens = xcb_setup_roots_iterator(setup); screens.rem; xcb_screen_next(&screens)) {
        const xcb_window_t root = screens.data->root;
        if (AnyHasClass(connection.get(), ClientList(connection.get(), root), wanted)) return true;
        // Without a window manager's list, or with a stale one, the whole tree is searched:
        // a reparenting window manager puts each client window inside its frames, as deep
        // as it likes. One round trip per level.
        for (std::vector<xcb_window_t> level = ChildrenOf(connection.get(), {root}); !level.empty();
             level = ChildrenOf(connection.get(), level))
            if (AnyHasClass(connection.get(), level, wanted)) return true;
    }
    return false;
}

}  // namespace platform
