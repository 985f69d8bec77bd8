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

// The class part of WM_CLASS ("instance\0class\0"), empty when the window has none.
QString WindowClass(xcb_connection_t* connection, xcb_window_t window) {
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection,
                               xcb_get_property(connection, 0, window, XCB_ATOM_WM_CLASS,
                                                XCB_ATOM_STRING, 0, 256),
                               nullptr),
        &std::free);
    if (!reply) return {};
    const char* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
    int length = xcb_get_property_value_length(reply.get());
    const void* separator = std::memchr(value, '\0', length);
    if (!separator) return {};
    const char* klass = static_cast<const char*>(separator) + 1;
    int classLength = length - static_cast<int>(klass - value);
    while (classLength > 0 && klass[classLength - 1] == '\0') --classLength;
    return QString::fromLatin1(klass, classLength);
}

std::vector<xcb_window_t> Children(xcb_connection_t* connection, xcb_window_t window) {
    XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr),
        &std::free);
    if (!tree) return {};
    xcb_window_t* children = xcb_query_tree_children(tree.get());
    return {children, children + xcb_query_tree_children_length(tree.get())};
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
        // A reparenting window manager puts each client window inside a frame, so the
        // client's class may sit one level below the root's children.
        for (xcb_window_t top : Children(connection.get(), screens.data->root)) {
            if (WindowClass(connection.get(), top).compare(wanted, Qt::CaseInsensitive) == 0)
                return true;
            for (xcb_window_t client : Children(connection.get(), top))
                if (WindowClass(connection.get(), client).compare(wanted, Qt::CaseInsensitive) ==
                    0)
                    return true;
        }
    }
    return false;
}

}  // namespace platform
