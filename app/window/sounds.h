// The two short clips played after each delivery, generated as PCM WAVE data and kept as
// the program's resources "OKSOUND" and "BADSOUND" (type "WAVE"), and their player.
#pragma once

#include <string_view>

namespace app {

// Registers both clips (idempotent). Success: 16-bit stereo 22 050 Hz, 119 292 data bytes;
// failure: 16-bit mono 22 050 Hz, 44 092 data bytes.
void RegisterSounds();

// Plays a "WAVE" resource asynchronously; a clip still playing is cut off. Silent when the
// resource, the sound device or the data is missing.
void PlayResourceSound(const char* name);

// The canonical-form fields of a WAVE clip, for checks: false when it is not one.
struct WaveFormat {
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    size_t dataBytes = 0;
    std::string_view samples;
};
bool ParseWave(std::string_view data, WaveFormat& format);

} // namespace app
