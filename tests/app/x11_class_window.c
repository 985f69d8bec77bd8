/* Opens a top-level X11 window of the class given as the first argument and keeps it open
 * until killed: stands in for the main product's window in the start-up test. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <xcb/xcb.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s CLASS\n", argv[0]);
        return 2;
    }
    xcb_connection_t* connection = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(connection)) return 1;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    xcb_window_t window = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 100, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, NULL);
    char wmClass[256];
    size_t instanceLength = strlen("product") + 1;
    memcpy(wmClass, "product", instanceLength);
    size_t classLength = strnlen(argv[1], sizeof wmClass - instanceLength - 1) + 1;
    memcpy(wmClass + instanceLength, argv[1], classLength);
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS,
                        XCB_ATOM_STRING, 8, (uint32_t)(instanceLength + classLength), wmClass);
    xcb_map_window(connection, window);
    /* A round trip: once it returns the server has made the window, so another client's
     * lookup finds it. */
    free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), NULL));
    puts("ready");
    fflush(stdout);
    pause();
    return 0;
}
