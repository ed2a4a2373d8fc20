// The modem model on the fake serial line: the program's writes reach the
// model on the fake's virtual clock, and its replies become readable when
// they would have crossed a 115200 baud line and the PC's receiver FIFO.
//
//   sim::ModemConfig cfg;            // every option of the modem
//   cfg.type_letter = 'S';
//   SimPeer modem(cfg);
//   fake::add_port(3, &modem);
//   ... run the program ...
//   modem.m.flash(), modem.m.transcript(), modem.m.counters()
#pragma once

#include <mutex>

#include "fake/fake_platform.h"
#include "model/modem.h"

struct SimPeer : fake::Peer {
    sim::Modem m;
    std::mutex mu; // the loader thread and the GUI thread take turns on the port

    explicit SimPeer(sim::ModemConfig cfg = {}) : m(std::move(cfg)) {}

    static sim::usec us(uint64_t ms) { return static_cast<sim::usec>(ms) * 1000; }

    void on_bytes(const uint8_t *p, size_t n, uint64_t now_ms) override {
        std::lock_guard<std::mutex> lock(mu);
        m.receive(p, n, us(now_ms));
    }
    void on_priority_char(char c, uint64_t now_ms) override {
        std::lock_guard<std::mutex> lock(mu);
        m.priority_char(c, us(now_ms));
    }
    size_t available(uint64_t now_ms) override {
        std::lock_guard<std::mutex> lock(mu);
        return m.available(us(now_ms));
    }
    size_t take(uint8_t *out, size_t n, uint64_t now_ms) override {
        std::lock_guard<std::mutex> lock(mu);
        return m.take(out, n, us(now_ms));
    }
};
