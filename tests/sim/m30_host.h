// A simulated M30 served on an ephemeral loopback port, and a raw host's transfer-buffer download.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "host.h"
#include "mxx/m30_records.h"
#include "sim/m30_model.h"

namespace test {

inline sim::Options quiet_instrument(const std::string &address = "127.0.0.1", int port = 0) {
    sim::Options o = sim::in_process_options();
    o.address = address;
    o.port = port;
    return o;
}

struct M30Sim {
    explicit M30Sim(sim::M30Options m30, sim::Options options = quiet_instrument())
        : instrument(options), model(instrument, m30) {
        std::string error;
        started = instrument.start(&error);
        EXPECT_TRUE(started) << error;
    }
    sim::Instrument instrument;
    sim::M30Model model;
    bool started = false;
};

template <typename Record>
Bytes bytes_of(const Record &r) {
    auto *p = reinterpret_cast<const uint8_t *>(&r);
    return Bytes(p, p + sizeof r);
}

template <typename T>
T read_at(const Bytes &b, size_t at) {
    T v{};
    if (at + sizeof v <= b.size()) std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

// The answer to one command, its events skipped.
inline std::optional<Bytes> ask(Host &host, uint16_t code, uint16_t param, const Bytes &payload) {
    host.command(code, param, payload);
    while (auto f = host.next())
        if (mxx_frame_code(f->data()) == code + MXX_RESPONSE_OFFSET) return f;
    return std::nullopt;
}

struct Download {
    bool ok = false;
    int32_t results[3] = {};  // R1 to R3 of the prepare answer
    Bytes data;
    std::vector<uint32_t> chunks;  // lengths, the closing 0 included
};

// Info, prepare, then chunk requests from the offset received so far until an empty chunk.
inline Download download(Host &host, uint32_t kind, uint32_t sub, int32_t a0, int32_t a1 = 0) {
    Download d;
    auto info = ask(host, 8410, 3000, bytes_of(int32_t{0}));
    if (!info || mxx_frame_status(info->data())) return d;
    uint32_t handle = read_at<M30_txbuf_info>(payload_of(*info), 0).handle;
    M30_txbuf_prepare_request request{kind, sub, {a0, a1, 0, 0}, {}};
    auto prepared = ask(host, 8411, 20000, bytes_of(request));
    if (!prepared || mxx_frame_status(prepared->data())) return d;
    for (size_t i = 0; i < 3; ++i)
        d.results[i] = read_at<int32_t>(payload_of(*prepared), 4 + 4 * i);
    for (;;) {
        M30_txbuf_chunk_request get{static_cast<uint32_t>(d.data.size()), handle, sub};
        auto chunk = ask(host, 8412, 3000, bytes_of(get));
        if (!chunk || mxx_frame_status(chunk->data())) return d;
        Bytes payload = payload_of(*chunk);
        uint32_t length = read_at<uint32_t>(payload, 0);
        d.chunks.push_back(length);
        if (length == 0 || payload.size() != 8 + length) break;
        d.data.insert(d.data.end(), payload.begin() + 8, payload.end());
    }
    d.ok = d.chunks.back() == 0;
    return d;
}

}  // namespace test
