/* Opens a top-level X11 window of the class CLASS and keeps it open until killed: stands in
 * for the main product's window in the start-up test.
 *   --nest N        reparents the window N frames below the root, as a reparenting window
 *                   manager does (the common ones nest a client two or three levels deep)
 *   --client-list   names the window in the root's _NET_CLIENT_LIST, as an EWMH window
 *                   manager does */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <xcb/xcb.h>

static xcb_window_t CreateWindow(xcb_connection_t* connection, const xcb_screen_t* screen,
                                 xcb_window_t parent) {
    xcb_window_t window = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, parent, 0, 0, 100, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, NULL);
    return window;
}

int main(int argc, char** argv) {
    int nest = 0;
    int clientList = 0;
    int i = 1;
    for (; i < argc - 1; ++i) {
        if (strcmp(argv[i], "--nest") == 0 && i + 1 < argc - 1) {
            nest = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--client-list") == 0) {
            clientList = 1;
        } else {
            break;
        }
    }
    if (i != argc - 1) {
        fprintf(stderr, "usage: %s [--nest N] [--client-list] CLASS\n", argv[0]);
        return 2;
    }
    const char* className = argv[i];

    xcb_connection_t* connection = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(connection)) return 1;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    xcb_window_t window = CreateWindow(connection, screen, screen->root);
    char wmClass[256];
    size_t instanceLength = strlen("product") + 1;
    memcpy(wmClass, "product", instanceLength);
    size_t classLength = strnlen(className, sizeof wmClass - instanceLength - 1) + 1;
    memcpy(wmClass + instanceLength, className, classLength);
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS,
                        XCB_ATOM_STRING, 8, (uint32_t)(instanceLength + classLength), wmClass);

    xcb_window_t frame = screen->root;
    for (int level = 0; level < nest; ++level) {
        frame = CreateWindow(connection, screen, frame);
        xcb_map_window(connection, frame);
    }
    if (nest > 0) xcb_reparent_window(connection, window, frame, 0, 0);
    if (clientList) {
        static const char kName[] = "_NET_CLIENT_LIST";
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, sizeof kName - 1, kName), NULL);
        if (!atom) return 1;
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, screen->root, atom->atom,
                            XCB_ATOM_WINDOW, 32, 1, &window);
        free(atom);
    }
    xcb_map_window(connection, window);
    /* A round trip: once it returns the server has made the window, so another client's
     * lookup finds it. */
    free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), NULL));
    puts("ready");
    fflush(stdout);
    pause();
    return 0;
}
