#pragma once
// Plays a script of a person's actions against the running app, without a
// browser: after each step the app runs until idle, the screen is printed as
// text and a PNG screenshot is written to a folder. One step per line:
//
//   tap <name>            a button, bar button or field by name or title
//   type <name> <text>    replaces the field's text (the rest of the line)
//   row <n> [<section>]   selects a table row, scrolling it into view first
//                         when it is out of sight
//   scroll down | up      the screen's list moves a page (keeping a row of the
//                         last page in sight)
//   scroll to top | to bottom   ... to either end
//   scroll <points>       ... by that many points (negative: upwards)
//   alert <button>        answers the alert on screen
//   back                  the navigation bar's back button
//   scan <type> <code>    the camera sees a code of that symbology (ean13,
//                         ean8, upce, code128, code39, code39mod43, code93,
//                         qr, aztec, pdf417, itf, or the camera's own name)
//   picture <file>        the camera sees a PNG or JPEG picture (read by zbar)
//   photo <file>          what the camera's photos show from now on (a PNG or
//                         JPEG path, or a picture in the app's bundle): the
//                         photo picker's shutter ("Take Photo") takes it
//   push <json>           a remote notification with that payload reaches
//                         the phone (shown if in front, then to the app)
//   background            the person leaves the app: it resigns active and
//                         enters the background, as the system does
//   foreground            ... and comes back: it enters the foreground and
//                         becomes active
//   wait                  only lets the app run until idle
//   # ...                 a comment; blank lines are skipped
//
// A step that is refused (nothing of that name, input ignored, no alert)
// stops the script. Main thread only.

#include <iosfwd>
#include <string>

#include "app/AppDriver.h"

namespace almavel {

struct ScriptResult {
    bool ok = true;
    int steps = 0;
    // The failed step and why, when !ok.
    std::string error;
};

// `shotsDir` is created when missing; screenshots are named
// "<step number, two digits>-<verb>.png", the launch's screen being 00. An
// empty `shotsDir` takes none (the screens are still printed).
ScriptResult playScript(std::istream& script, std::ostream& out, const std::string& shotsDir, AppDriver& driver);

}  // namespace almavel
