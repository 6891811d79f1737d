// A small Standard MIDI File reader for tests: header, tracks and events
// with absolute ticks, and the time of a tick through the file's tempo map.
#ifndef KADENZO_TESTS_SMF_READER_H
#define KADENZO_TESTS_SMF_READER_H

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace smf {

struct Event {
    std::uint32_t tick;
    std::uint8_t status;  // 0xFF meta, 0xF0 / 0xF7 sysex or escape, else a channel status
    std::uint8_t metaType = 0;
    std::vector<std::uint8_t> data;  // after status (and meta type) and length
};

struct File {
    int format = -1;
    int division = 0;
    std::vector<std::vector<Event> > tracks;

    // Seconds at a tick from the tempo events of track 0 (120 BPM before the first).
    double seconds(std::uint32_t tick) const {
        double at = 0.0;
        std::uint32_t from = 0, micros = 500000;
        for (const Event& e : tracks.at(0)) {
            if (e.status != 0xFF || e.metaType != 0x51) continue;
            if (e.tick >= tick) break;
            at += (e.tick - from) * (micros * 1e-6) / division;
            from = e.tick;
            micros = (e.data[0] << 16) | (e.data[1] << 8) | e.data[2];
        }
        return at + (tick - from) * (micros * 1e-6) / division;
    }
};

inline File parse(const std::vector<std::uint8_t>& b) {
    std::size_t p = 0;
    auto need = [&](std::size_t n) {
        if (p + n > b.size()) throw std::runtime_error("truncated MIDI file");
    };
    auto u32 = [&] {
        need(4);
        const std::uint32_t v = (b[p] << 24) | (b[p + 1] << 16) | (b[p + 2] << 8) | b[p + 3];
        p += 4;
        return v;
    };
    auto u16 = [&] {
        need(2);
        const std::uint32_t v = (b[p] << 8) | b[p + 1];
        p += 2;
        return v;
    };
    auto varlen = [&] {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            need(1);
            const std::uint8_t c = b[p++];
            v = (v << 7) | (c & 0x7F);
            if (!(c & 0x80)) return v;
        }
        throw std::runtime_error("variable-length quantity longer than 4 bytes");
    };
    auto tag = [&](const char* t) {
        need(4);
        if (!std::equal(t, t + 4, b.begin() + p)) throw std::runtime_error("missing chunk tag");
        p += 4;
    };

    File f;
    tag("MThd");
    if (u32() != 6) throw std::runtime_error("bad header length");
    f.format = static_cast<int>(u16());
    const std::uint32_t tracks = u16();
    f.division = static_cast<int>(u16());
    for (std::uint32_t t = 0; t < tracks; ++t) {
        tag("MTrk");
        const std::size_t end = p + u32();
        if (end > b.size()) throw std::runtime_error("track runs past the file");
        std::vector<Event> events;
        std::uint32_t tick = 0;
        std::uint8_t running = 0;
        bool ended = false;
        while (p < end) {
            tick += varlen();
            need(1);
            Event e;
            e.tick = tick;
            std::uint8_t status = b[p];
            if (status < 0x80) {
                if (!running) throw std::runtime_error("data byte without status");
                status = running;
            } else {
                ++p;
            }
            e.status = status;
            if (status == 0xFF) {
                need(1);
                e.metaType = b[p++];
                const std::uint32_t n = varlen();
                need(n);
                e.data.assign(b.begin() + p, b.begin() + p + n);
                p += n;
                if (e.metaType == 0x2F) ended = true;
            } else if (status == 0xF0 || status == 0xF7) {
                const std::uint32_t n = varlen();
                need(n);
                e.data.assign(b.begin() + p, b.begin() + p + n);
                p += n;
            } else {
                running = status;
                const int n = ((status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) ? 1 : 2;
                need(n);
                e.data.assign(b.begin() + p, b.begin() + p + n);
                p += n;
            }
            events.push_back(e);
        }
        if (!ended || events.back().metaType != 0x2F)
            throw std::runtime_error("track without end-of-track event last");
        f.tracks.push_back(events);
    }
    if (p != b.size()) throw std::runtime_error("bytes after the last track");
    return f;
}

}  // namespace smf

#endif
