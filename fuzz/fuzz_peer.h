// A device on the virtual bus whose every answer comes from the fuzzer's
// input: for each IN transfer a selector byte (low bits 0: the transfer
// fails, 1: it is stalled) and a length byte, then that many bytes. OUT
// transfers are taken whole. Once the input is spent every transfer fails,
// so each run ends.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "sim/sim_bus.h"

class fuzz_peer : public sim_peer {
public:
    const std::uint8_t* data;
    std::size_t size;

    fuzz_peer(const std::uint8_t* d, std::size_t n) : data(d), size(n) {}

    bool control(int, std::uint8_t, const std::uint8_t setup[8], std::uint8_t* buf,
                 std::uint32_t length, std::uint32_t* done, std::uint32_t* error) override
    {
        if (setup[0] & 0x80)
            return answer(buf, length, done, error);
        return take(length, done, error);
    }
    bool bulk(int, std::uint8_t, std::uint8_t pipe, std::uint8_t* buf, std::uint32_t length,
              std::uint32_t* done, std::uint32_t* error) override
    {
        if (pipe & 0x80)
            return answer(buf, length, done, error);
        return take(length, done, error);
    }
    bool get_feature(int, std::uint8_t, std::uint8_t* report, std::uint32_t length) override
    {
        std::uint32_t done = 0, error = 0;
        if (length == 0 || !answer(report + 1, length - 1, &done, &error))
            return false;
        std::memset(report + 1 + done, 0, length - 1 - done);
        return true;
    }
    bool set_feature(int, std::uint8_t, const std::uint8_t*, std::uint32_t length) override
    {
        std::uint32_t done = 0, error = 0;
        return take(length, &done, &error);
    }

private:
    bool take(std::uint32_t length, std::uint32_t* done, std::uint32_t* error)
    {
        if (size == 0) {
            *error = 121;
            return false;
        }
        *done = length;
        return true;
    }
    bool answer(std::uint8_t* buf, std::uint32_t length, std::uint32_t* done, std::uint32_t* error)
    {
        if (size < 2) {
            size = 0;
            *error = 121;
            return false;
        }
        const std::uint8_t sel = data[0];
        std::uint32_t n = data[1];
        data += 2;
        size -= 2;
        if ((sel & 3) == 0) {
            *error = 121;
            return false;
        }
        if ((sel & 3) == 1) {
            *error = 31;
            return false;
        }
        // Selector bit 2: the length byte counts in units of 4, to reach
        // whole reports.
        if (sel & 4)
            n *= 4;
        n = std::min<std::uint32_t>({n, length, static_cast<std::uint32_t>(size)});
        std::memcpy(buf, data, n);
        data += n;
        size -= n;
        *done = n;
        return true;
    }
};
