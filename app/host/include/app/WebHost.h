#pragma once
// The phone in a browser page: serves the running app at
// http://127.0.0.1:<port>/ (loopback only). The page shows the screen (the
// renderer's PNG) in a phone frame and lays over every control a
// transparent, keyboard-focusable element named after it (buttons and rows
// as buttons, fields as real inputs); it follows the app through
// server-sent events (/events) and sends a person's input back (/tap,
// /type, /row, /alert, /back, and /scroll for the wheel, a drag over the
// screen and the arrow, page, Home and End keys), which the app refuses
// while it ignores interaction events. A tap, text, row or alert answer may
// name the screen it was aimed at (`screen`, as /state gave it); it is
// refused once another screen shows. Refusals are worded in Spanish, as the
// page is. A side panel shows the console and the device's
// sensors (/sensor/...: incoming notification, background / foreground,
// camera picture, photo picked).
//
// Only the loopback's names are answered (app/WebServer.h: one I/O thread
// for every connection, time-outs, a connection cap). Everything that
// touches the app is sent to the main queue and answered from there, and a
// main-run-loop timer publishes the screen when it changes, which wakes the
// event-stream listeners. start() and stop() on the main thread; the main
// run loop must run for input to be answered.

#include <memory>
#include <string>

#include "app/AppDriver.h"
#include "app/WebServer.h"

namespace almavel {

class WebHost {
public:
    explicit WebHost(AppDriver driver, WebServerLimits limits = {});
    ~WebHost();
    WebHost(const WebHost&) = delete;
    WebHost& operator=(const WebHost&) = delete;

    // Listens on 127.0.0.1:`port` (0: any free port) and returns the port.
    // Throws std::runtime_error when the port cannot be had.
    int start(int port);
    // Closes the listener and every connection and joins the I/O thread.
    void stop();

    std::size_t openConnections() const;

    // Publishes the screen now when it changed (the timer does this on its
    // own a few times a second). Main thread.
    void refresh();

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace almavel
