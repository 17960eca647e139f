#include "app/window/sounds.h"

#include "platform/resources.h"

#include <alsa/asoundlib.h>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace app {

namespace {

void Put16(std::string& out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}
void Put32(std::string& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v & 0xFFFF));
    Put16(out, static_cast<uint16_t>(v >> 16));
}

uint32_t Get32(std::string_view d, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(d[at])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(d[at + 1])) << 8) |
           (static_cast<uint32_t>(static_cast<unsigned char>(d[at + 2])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(d[at + 3])) << 24);
}
uint16_t Get16(std::string_view d, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(d[at]) |
                                 (static_cast<unsigned char>(d[at + 1]) << 8));
}

// Fills `wave` (44 header bytes + `dataBytes`) with a clip: tones that fade out.
// `tone(t)` gives the frequency at t seconds.
void MakeClip(char* wave, int channels, size_t dataBytes, double (*tone)(double)) {
    const int rate = 22050;
    std::string out = "RIFF";
    Put32(out, static_cast<uint32_t>(36 + dataBytes));
    out += "WAVEfmt ";
    Put32(out, 16);
    Put16(out, 1); // PCM
    Put16(out, static_cast<uint16_t>(channels));
    Put32(out, rate);
    Put32(out, static_cast<uint32_t>(rate * channels * 2));
    Put16(out, static_cast<uint16_t>(channels * 2));
    Put16(out, 16);
    out += "data";
    Put32(out, static_cast<uint32_t>(dataBytes));
    size_t frames = dataBytes / static_cast<size_t>(channels * 2);
    double phase = 0;
    for (size_t i = 0; i < frames; ++i) {
        double t = static_cast<double>(i) / rate;
        phase += 2 * M_PI * tone(t) / rate;
        double envelope = std::exp(-3.0 * t) * std::min(1.0, t * 200.0);
        auto sample = static_cast<int16_t>(12000.0 * envelope * std::sin(phase));
        for (int c = 0; c < channels; ++c) Put16(out, static_cast<uint16_t>(sample));
    }
    out.resize(44 + dataBytes, '\0');
    std::memcpy(wave, out.data(), out.size());
}

double Chime(double t) {
    return t < 0.45 ? 880.0 : (t < 0.9 ? 1108.7 : 1318.5);
}
double Buzz(double t) {
    return t < 0.5 ? 330.0 : 220.0;
}

// One long-lived player thread: a delivery only hands it the clip, so a burst of outcomes
// costs no thread each. The newest clip wins; one still playing is cut off.
struct Player {
    std::mutex mutex; // guards `next` and `started`
    std::condition_variable wake;
    std::string_view next;
    bool started = false;
    std::atomic<unsigned> generation{0};
};

Player& TheP() {
    static Player* player = new Player; // never destroyed: its thread runs until the process ends
    return *player;
}

void Quiet(const char*, int, const char*, int, const char*, ...) {}

void PlayNow(std::string_view data, unsigned generation) {
    static const bool silenced = (snd_lib_error_set_handler(&Quiet), true); // no device is no news
    (void)silenced;
    WaveFormat format;
    if (!ParseWave(data, format)) return;
    if (TheP().generation != generation) return;
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return; // no device: silent
    if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                           static_cast<unsigned>(format.channels),
                           static_cast<unsigned>(format.sampleRate), 1, 200000) == 0) {
        size_t frameBytes = static_cast<size_t>(format.channels * 2);
        size_t frames = format.samples.size() / frameBytes;
        size_t done = 0;
        while (done < frames && TheP().generation == generation) {
            size_t chunk = std::min<size_t>(1024, frames - done);
            snd_pcm_sframes_t n =
                snd_pcm_writei(pcm, format.samples.data() + done * frameBytes, chunk);
            if (n < 0) n = snd_pcm_recover(pcm, static_cast<int>(n), 1) == 0 ? 0 : -1;
            if (n < 0) break;
            done += static_cast<size_t>(n);
        }
        if (TheP().generation == generation)
            snd_pcm_drain(pcm);
        else
            snd_pcm_drop(pcm); // cut off by a newer clip
    }
    snd_pcm_close(pcm);
}

} // namespace

bool ParseWave(std::string_view d, WaveFormat& f) {
    if (d.size() < 44 || d.substr(0, 4) != "RIFF" || d.substr(8, 8) != "WAVEfmt ") return false;
    if (Get16(d, 20) != 1) return false;
    f.channels = Get16(d, 22);
    f.sampleRate = static_cast<int>(Get32(d, 24));
    f.bitsPerSample = Get16(d, 34);
    if (d.substr(36, 4) != "data") return false;
    f.dataBytes = Get32(d, 40);
    if (44 + f.dataBytes > d.size()) return false;
    f.samples = d.substr(44, f.dataBytes);
    return f.channels > 0 && f.bitsPerSample == 16;
}

constexpr size_t kOkBytes = 119292;
constexpr size_t kBadBytes = 44092;
// Plain arrays: they are never destroyed, so a clip still playing on its thread when the
// program ends never reads freed memory.
char okWave[44 + kOkBytes];
char badWave[44 + kBadBytes];

void RegisterSounds() {
    static const bool once = [] {
        MakeClip(okWave, 2, kOkBytes, Chime);
        MakeClip(badWave, 1, kBadBytes, Buzz);
        return platform::RegisterResource("OKSOUND", "WAVE",
                                          std::string_view(okWave, sizeof(okWave))) &&
               platform::RegisterResource("BADSOUND", "WAVE",
                                          std::string_view(badWave, sizeof(badWave)));
    }();
    (void)once;
}

void PlayResourceSound(const char* name) {
    std::string_view data;
    if (!platform::FindResource(name, "wave", data)) return;
    Player& player = TheP();
    std::lock_guard<std::mutex> lock(player.mutex);
    ++player.generation; // cuts off the clip playing now
    player.next = data;
    if (!player.started) {
        try {
            std::thread([&player] {
                std::unique_lock<std::mutex> wait(player.mutex);
                for (;;) {
                    player.wake.wait(wait, [&] { return !player.next.empty(); });
                    std::string_view clip = player.next;
                    player.next = {};
                    unsigned generation = player.generation;
                    wait.unlock();
                    PlayNow(clip, generation);
                    wait.lock();
                }
            }).detach();
            player.started = true;
        } catch (...) {
            // no thread for sounds: the deliveries they belong to are not affected
            return;
        }
    }
    player.wake.notify_one();
}

} // namespace app
