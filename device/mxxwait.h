// A nested wait loop for library users that block on the GUI thread: while it runs, device events
// are held back and delivered in order when the next one arrives afterwards.
#pragma once

class MXXWait {
public:
    // Runs one pass of the event loop (user input excluded, at most 100 ms); returns 0.
    static int wait(int code, int value1, int value2);
    static bool idleLoopActive();

private:
    static int m_nest_depth;  // GUI thread only
};
