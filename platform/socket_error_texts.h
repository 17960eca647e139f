// The texts of socket error numbers (Windows Sockets numbering), as each socket layer words
// them: the event-driven layer and the blocking layer have worded most numbers differently
// since the Windows build, and stored texts and logs keep those words.
#pragma once

namespace platform {

struct SocketErrorText {
    int code;
    const char* eventDriven; // null: the event-driven layer has no text for it
    const char* blocking;    // null: the blocking layer has no text for it
};

// The entry for `code`, or null.
const SocketErrorText* FindSocketErrorText(int code);

} // namespace platform
