/* Asks the X11 window WINDOW (decimal id) to close, as a window manager's close box does:
 * sends it the WM_DELETE_WINDOW message. Without a window manager, tests have no close box. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <xcb/xcb.h>

static xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, (uint16_t)strlen(name), name), NULL);
    xcb_atom_t atom = reply ? reply->atom : XCB_ATOM_NONE;
    free(reply);
    return atom;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s WINDOW\n", argv[0]);
        return 2;
    }
    xcb_connection_t* connection = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(connection)) {
        fprintf(stderr, "no X display\n");
        return 1;
    }
    xcb_client_message_event_t message;
    memset(&message, 0, sizeof message);
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = (xcb_window_t)strtoul(argv[1], NULL, 10);
    message.type = Atom(connection, "WM_PROTOCOLS");
    message.data.data32[0] = Atom(connection, "WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_void_cookie_t sent = xcb_send_event_checked(connection, 0, message.window,
                                                     XCB_EVENT_MASK_NO_EVENT,
                                                     (const char*)&message);
    /* Waits for the server's answer, so the message is delivered before this client goes. */
    xcb_generic_error_t* error = xcb_request_check(connection, sent);
    const int failed = error != NULL;
    if (failed) fprintf(stderr, "the X server refused the message: error %d\n", error->error_code);
    free(error);
    xcb_disconnect(connection);
    return failed;
}
