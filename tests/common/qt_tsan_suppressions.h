// Included once by the main of a test program that runs Qt event loops on several threads.
//
// Qt is not built with ThreadSanitizer: its thread and event-queue hand-overs happen in code the
// sanitizer cannot see, so calls that Qt (and GLib under its event loop) make are not tracked.
// Races in our own code are still reported.
#pragma once

extern "C" const char *__tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libglib-2.0.so.0\n";
}
