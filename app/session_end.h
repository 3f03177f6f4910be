#pragma once

class Engine;

// Windows ends the user's session or shuts the system down by telling the application, from
// inside its event loop, that it is about to quit, and ends the process soon after: the
// exchange thread is then stopped in order, as the exit button does (the link closed with
// the normal close code, every client closed). Every other end of the loop announces itself
// after the loop has returned, and the caller winds the thread up.
void stop_at_session_end(Engine &engine);
